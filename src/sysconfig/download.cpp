// Fetches a document by URI into a stream the runner has opened.
#include <errno.h>
#include <sys/stat.h>

#include <chrono>
#include <string>
#include <string_view>
#include <memory>

#include <glib.h>

#include <korvex/kcommon.h>

#include <curl/curl.h>

#include <korvex/owners.h>
#include <korvex/text.h>

#include "reasons.h"
#include "sysconfig_internal.h"
#include "temp_file.h"

using korvex::stream_write_error;
using korvex::sysconfig::because;
using korvex::sysconfig::shown_uri;

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

// The status line of the last response ("HTTP/1.1 404 Not Found"), which
// says in words what a response code outside 2xx means.
size_t keep_status_line(char *data, size_t size, size_t count, void *user) {
    const std::string_view line{data, size * count};
    if (line.starts_with("HTTP/")) {
        auto *status_line = static_cast<std::string *>(user);
        *status_line = line.substr(0, line.find_first_of("\r\n"));
    }
    return size * count;
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

int korvex::sysconfig::sysconfig_os_download(const char *uri, FILE *stream, std::string *reason) {
    static constexpr char step[] = "sysconfig_os_download";

    if (uri == nullptr || stream == nullptr)
        return because(reason, static_cast<int>(KX_RES_BAD_ARGUMENT), std::string{"no URI given"});

    const int init = kx_curl_init();
    if (init != 0)
        return because(reason, init, std::string{"libcurl could not be set up"});

    // What the log and the reason show: never a password the URI holds.
    const std::string shown = shown_uri(uri);
    const std::string cannot = "cannot download " + shown + ": ";
    if (names_something_else_than_a_file(uri)) {
        kx_log(KX_LOG_WARNING, "%s: URI '%s' does not name a regular file", step, shown.c_str());
        return because(reason, static_cast<int>(KX_RES_DOWNLOAD_FAILED),
                       cannot + "it does not name a regular file");
    }

    CurlPtr curl{curl_easy_init()};
    if (!curl)
        return because(reason, static_cast<int>(KX_RES_SYSTEM_ERROR), cannot + "no libcurl handle");

    CURLcode code = curl_easy_setopt(curl.get(), CURLOPT_URL, uri);
    if (code != CURLE_OK) {
        kx_log(KX_LOG_WARNING, "%s: curl_easy_setopt of URI '%s' failed. (%d): %s", step,
               shown.c_str(), static_cast<int>(code), curl_easy_strerror(code));
        return because(reason, static_cast<int>(KX_RES_SYSTEM_ERROR),
                       cannot + curl_easy_strerror(code));
    }
    DocumentSink sink{stream};
    std::string status_line;
    code = curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, write_document);
    if (code == CURLE_OK)
        code = curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &sink);
    if (code != CURLE_OK) {
        kx_log(KX_LOG_WARNING, "%s: curl_easy_setopt of WRITEDATA '%p' failed. (%d)", step,
               static_cast<void *>(stream), static_cast<int>(code));
        return because(reason, static_cast<int>(KX_RES_SYSTEM_ERROR),
                       cannot + curl_easy_strerror(code));
    }
    const char *refused = set_stall_limits(curl.get(), code);
    if (refused == nullptr &&
        ((code = curl_easy_setopt(curl.get(), CURLOPT_HEADERFUNCTION, keep_status_line)) !=
             CURLE_OK ||
         (code = curl_easy_setopt(curl.get(), CURLOPT_HEADERDATA, &status_line)) != CURLE_OK))
        refused = "HEADERFUNCTION";
    if (refused != nullptr) {
        kx_log(KX_LOG_WARNING, "%s: curl_easy_setopt of %s failed. (%d)", step, refused,
               static_cast<int>(code));
        return because(reason, static_cast<int>(KX_RES_SYSTEM_ERROR),
                       cannot + curl_easy_strerror(code));
    }

    const auto started = std::chrono::steady_clock::now();
    code = curl_easy_perform(curl.get());
    if (sink.too_large) {
        kx_log(KX_LOG_WARNING, "%s: document of URI '%s' is larger than %ld bytes; given up", step,
               shown.c_str(), limits.max_document_bytes);
        return because(reason, static_cast<int>(KX_RES_DOWNLOAD_FAILED),
                       cannot + "the document is larger than " +
                           std::to_string(limits.max_document_bytes) + " bytes");
    }
    if (sink.write_errno == 0 && code == CURLE_OK)
        sink.write_errno = stream_write_error(stream);
    if (sink.write_errno != 0) {
        kx_log(KX_LOG_ERR, "%s: Unable to write the document of URI '%s': %s", step, shown.c_str(),
               g_strerror(sink.write_errno));
        return because(
            reason, static_cast<int>(KX_RES_SYSTEM_ERROR),
            cannot + "writing it to the working directory failed: " + g_strerror(sink.write_errno));
    }
    // The stall limit gives the same code, but never this late; libcurl's
    // own clock may fire the total limit a little before ours reaches it.
    if (code == CURLE_OPERATION_TIMEDOUT &&
        std::chrono::steady_clock::now() - started >=
            std::chrono::seconds{limits.total_time_s} - std::chrono::milliseconds{500}) {
        kx_log(KX_LOG_WARNING, "%s: download of URI '%s' took longer than %ld s in all; given up",
               step, shown.c_str(), limits.total_time_s);
        return because(reason, static_cast<int>(KX_RES_DOWNLOAD_FAILED),
                       cannot + "it took longer than " + std::to_string(limits.total_time_s) +
                           " s in all");
    }
    if (code != CURLE_OK) {
        kx_log(KX_LOG_WARNING, "%s: curl request for URI '%s' failed. (%d): %s", step,
               shown.c_str(), static_cast<int>(code), curl_easy_strerror(code));
        return because(reason, static_cast<int>(KX_RES_DOWNLOAD_FAILED),
                       cannot + curl_easy_strerror(code));
    }

    if (download_checks_response_code(uri)) {
        long response = 0;
        curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &response);
        if (response < 200 || response > 299) {
            // A status line is the server's text: bounded and escaped too.
            const std::string said = status_line.empty() ? "response " + std::to_string(response)
                                                         : korvex::printable(status_line);
            kx_log(KX_LOG_WARNING, "%s: curl request for URI '%s' got response %ld: %s", step,
                   shown.c_str(), response, said.c_str());
            return because(reason, static_cast<int>(KX_RES_DOWNLOAD_FAILED), cannot + said);
        }
    }
    return KX_RES_OK;
}

extern "C" int sysconfig_os_download(const char *uri, FILE *stream) {
    return korvex::sysconfig::sysconfig_os_download(uri, stream, nullptr);
}

int korvex::sysconfig::fetch_document(const char *uri, std::string_view prefix, const char *step,
                                      std::optional<TempFile> &document, std::string *reason) {
    std::optional<OpenTempFile> file = open_temp_file(prefix, step, reason);
    if (!file)
        return KX_RES_SYSTEM_ERROR;
    const int rc = sysconfig_os_download(uri, file->stream.get(), reason);
    const int close_errno = close_stream(file->stream) ? 0 : errno;
    if (rc != KX_RES_OK) {
        kx_log(KX_LOG_ERR, "%s: Unable to download file from uri %s", step,
               uri != nullptr ? shown_uri(uri).c_str() : "(null)");
        return rc;
    }
    // A failed close can lose the end of the document; applying what is
    // left would apply only part of it.
    if (close_errno != 0) {
        kx_log(KX_LOG_ERR, "%s: Unable to write downloaded file: %s", step,
               g_strerror(close_errno));
        return because(
            reason, static_cast<int>(KX_RES_SYSTEM_ERROR),
            "cannot download " + shown_uri(uri) +
                ": writing it to the working directory failed: " + g_strerror(close_errno));
    }
    document = std::move(file->file);
    return KX_RES_OK;
}
