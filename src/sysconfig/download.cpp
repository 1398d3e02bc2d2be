// Fetches a document by URI into a stream the runner has opened.
#include <errno.h>
#include <sys/stat.h>

#include <chrono>
#include <memory>

#include <glib.h>

#include <korvex/kcommon.h>

#include <curl/curl.h>

#include <korvex/owners.h>

#include "sysconfig_internal.h"
#include "temp_file.h"

using korvex::stream_write_error;

namespace {

struct CurlCleanup {
    void operator()(CURL *c) const noexcept { curl_easy_cleanup(c); }
};
using CurlPtr = std::unique_ptr<CURL, CurlCleanup>;

// A server that accepts the connection and then falls silent must not
// hold the agent's only thread; neither may one that sends a byte now and
// then for ever, nor a document of any size (a sparse file: URI costs its
// maker nothing).
constexpr SysconfigLimits default_limits{
    .connect_timeout_s = 30,
    .low_speed_time_s = 60,
    .total_time_s = 10 * 60,
    .max_document_bytes = 64L * 1024 * 1024,
    .version_check_s = 30,
};
constexpr long low_speed_limit_bytes_per_s = 1;

SysconfigLimits limits = default_limits;

// The options that bound a stalled or endless transfer; the name of the
// first one libcurl refuses, or nullptr.
const char *set_stall_limits(CURL *curl, CURLcode &code) {
    // Timeouts must not be delivered as signals to the agent.
    if ((code = curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L)) != CURLE_OK)
        return "NOSIGNAL";
    if ((code = curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, limits.connect_timeout_s)) !=
        CURLE_OK)
        return "CONNECTTIMEOUT";
    if ((code = curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, low_speed_limit_bytes_per_s)) !=
        CURLE_OK)
        return "LOW_SPEED_LIMIT";
    if ((code = curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, limits.low_speed_time_s)) !=
        CURLE_OK)
        return "LOW_SPEED_TIME";
    if ((code = curl_easy_setopt(curl, CURLOPT_TIMEOUT, limits.total_time_s)) != CURLE_OK)
        return "TIMEOUT";
    return nullptr;
}

// Where libcurl's data goes: the runner's stream, up to the size bound.
struct DocumentSink {
    FILE *stream;
    long written = 0;
    bool too_large = false;
    int write_errno = 0;
};

size_t write_document(char *data, size_t size, size_t count, void *user) {
    auto *sink = static_cast<DocumentSink *>(user);
    const size_t bytes = size * count;
    if (bytes > static_cast<size_t>(limits.max_document_bytes - sink->written)) {
        sink->too_large = true;
        return 0;
    }
    errno = 0;
    if (fwrite(data, 1, bytes, sink->stream) != bytes) {
        sink->write_errno = errno != 0 ? errno : EIO;
        return 0;
    }
    sink->written += static_cast<long>(bytes);
    return bytes;
}

struct CurlUrlCleanup {
    void operator()(CURLU *url) const noexcept { curl_url_cleanup(url); }
};
struct CurlFree {
    void operator()(char *text) const noexcept { curl_free(text); }
};

// libcurl reads a file: URI with a plain open() and read() of whatever it
// names: a directory reads as an empty document that would be applied as
// one, a FIFO without a writer blocks the agent's only thread in open()
// for good, and a device such as /dev/zero fills the working directory
// without end. A document is a regular file; anything else that exists
// is refused here. Missing files are left to libcurl's own failure.
bool names_something_else_than_a_file(const char *uri) {
    if (g_ascii_strncasecmp(uri, "file:", 5) != 0)
        return false;
    std::unique_ptr<CURLU, CurlUrlCleanup> url{curl_url()};
    if (!url || curl_url_set(url.get(), CURLUPART_URL, uri, 0) != CURLUE_OK)
        return false;
    char *raw_path = nullptr;
    if (curl_url_get(url.get(), CURLUPART_PATH, &raw_path, CURLU_URLDECODE) != CURLUE_OK)
        return false;
    std::unique_ptr<char, CurlFree> path{raw_path};
    struct stat status;
    return stat(path.get(), &status) == 0 && !S_ISREG(status.st_mode);
}

} // namespace

extern "C" int download_checks_response_code(const char *uri) {
    return g_ascii_strncasecmp(uri, "http", 4) == 0 || g_ascii_strncasecmp(uri, "ftp", 3) == 0;
}

extern "C" void kx_sysconfig_download_limits_set(long connect_timeout, long low_speed_time,
                                                 long total_time, long max_bytes,
                                                 long version_check) {
    const auto chosen = [](long value, long fallback) { return value > 0 ? value : fallback; };
    limits.connect_timeout_s = chosen(connect_timeout, default_limits.connect_timeout_s);
    limits.low_speed_time_s = chosen(low_speed_time, default_limits.low_speed_time_s);
    limits.total_time_s = chosen(total_time, default_limits.total_time_s);
    limits.max_document_bytes = chosen(max_bytes, default_limits.max_document_bytes);
    limits.version_check_s = chosen(version_check, default_limits.version_check_s);
}

const SysconfigLimits &sysconfig_limits() { return limits; }

extern "C" int sysconfig_os_download(const char *uri, FILE *stream) {
    static constexpr char step[] = "sysconfig_os_download";

    if (uri == nullptr || stream == nullptr)
        return KX_RES_BAD_ARGUMENT;

    const int init = kx_curl_init();
    if (init != 0)
        return init;

    if (names_something_else_than_a_file(uri)) {
        kx_log(KX_LOG_WARNING, "%s: URI '%s' does not name a regular file", step, uri);
        return KX_RES_DOWNLOAD_FAILED;
    }

    CurlPtr curl{curl_easy_init()};
    if (!curl)
        return KX_RES_SYSTEM_ERROR;

    CURLcode code = curl_easy_setopt(curl.get(), CURLOPT_URL, uri);
    if (code != CURLE_OK) {
        kx_log(KX_LOG_WARNING, "%s: curl_easy_setopt of URI '%s' failed. (%d)", step, uri,
               static_cast<int>(code));
        return KX_RES_SYSTEM_ERROR;
    }
    DocumentSink sink{stream};
    code = curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, write_document);
    if (code == CURLE_OK)
        code = curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &sink);
    if (code != CURLE_OK) {
        kx_log(KX_LOG_WARNING, "%s: curl_easy_setopt of WRITEDATA '%p' failed. (%d)", step,
               static_cast<void *>(stream), static_cast<int>(code));
        return KX_RES_SYSTEM_ERROR;
    }
    if (const char *refused = set_stall_limits(curl.get(), code); refused != nullptr) {
        kx_log(KX_LOG_WARNING, "%s: curl_easy_setopt of %s failed. (%d)", step, refused,
               static_cast<int>(code));
        return KX_RES_SYSTEM_ERROR;
    }

    const auto started = std::chrono::steady_clock::now();
    code = curl_easy_perform(curl.get());
    if (sink.too_large) {
        kx_log(KX_LOG_WARNING, "%s: document of URI '%s' is larger than %ld bytes; given up", step,
               uri, limits.max_document_bytes);
        return KX_RES_DOWNLOAD_FAILED;
    }
    if (sink.write_errno == 0 && code == CURLE_OK)
        sink.write_errno = stream_write_error(stream);
    if (sink.write_errno != 0) {
        kx_log(KX_LOG_ERR, "%s: Unable to write the document of URI '%s': %s", step, uri,
               g_strerror(sink.write_errno));
        return KX_RES_SYSTEM_ERROR;
    }
    // The stall limit gives the same code, but never this late; libcurl's
    // own clock may fire the total limit a little before ours reaches it.
    if (code == CURLE_OPERATION_TIMEDOUT &&
        std::chrono::steady_clock::now() - started >=
            std::chrono::seconds{limits.total_time_s} - std::chrono::milliseconds{500}) {
        kx_log(KX_LOG_WARNING, "%s: download of URI '%s' took longer than %ld s in all; given up",
               step, uri, limits.total_time_s);
        return KX_RES_DOWNLOAD_FAILED;
    }
    if (code != CURLE_OK) {
        kx_log(KX_LOG_WARNING, "%s: curl request for URI '%s' failed. (%d)", step, uri,
               static_cast<int>(code));
        return KX_RES_DOWNLOAD_FAILED;
    }

    if (download_checks_response_code(uri)) {
        long response = 0;
        curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &response);
        if (response < 200 || response > 299) {
            kx_log(KX_LOG_WARNING, "%s: curl request for URI '%s' got response %ld", step, uri,
                   response);
            return KX_RES_DOWNLOAD_FAILED;
        }
    }
    return KX_RES_OK;
}

int korvex::sysconfig::fetch_document(const char *uri, std::string_view prefix, const char *step,
                                      std::optional<TempFile> &document) {
    std::optional<OpenTempFile> file = open_temp_file(prefix, step);
    if (!file)
        return KX_RES_SYSTEM_ERROR;
    const int rc = sysconfig_os_download(uri, file->stream.get());
    const int close_errno = close_stream(file->stream) ? 0 : errno;
    if (rc != KX_RES_OK) {
        kx_log(KX_LOG_ERR, "%s: Unable to download file from uri %s", step, uri);
        return rc;
    }
    // A failed close can lose the end of the document; applying what is
    // left would apply only part of it.
    if (close_errno != 0) {
        kx_log(KX_LOG_ERR, "%s: Unable to write downloaded file: %s", step,
               g_strerror(close_errno));
        return KX_RES_SYSTEM_ERROR;
    }
    document = std::move(file->file);
    return KX_RES_OK;
}
