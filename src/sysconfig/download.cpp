// Fetches a document by URI into a stream the runner has opened.
#include <sys/stat.h>

#include <memory>

#include <glib.h>

#include <korvex/kcommon.h>

#include "handles.h"
#include "sysconfig_internal.h"

using korvex::sysconfig::CurlPtr;

namespace {

// A server that accepts the connection and then falls silent must not
// hold the agent's only thread forever; a slow but moving transfer is
// never cut, so there is no cap on the total time.
constexpr long default_connect_timeout_s = 30;
constexpr long default_low_speed_time_s = 60;
constexpr long low_speed_limit_bytes_per_s = 1;

long connect_timeout_s = default_connect_timeout_s;
long low_speed_time_s = default_low_speed_time_s;

// The options that bound a stalled transfer; the name of the first one
// libcurl refuses, or nullptr.
const char *set_stall_limits(CURL *curl, CURLcode &code)
{
    // Timeouts must not be delivered as signals to the agent.
    if ((code = curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L)) != CURLE_OK)
        return "NOSIGNAL";
    if ((code = curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, connect_timeout_s)) != CURLE_OK)
        return "CONNECTTIMEOUT";
    if ((code = curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, low_speed_limit_bytes_per_s)) !=
        CURLE_OK)
        return "LOW_SPEED_LIMIT";
    if ((code = curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, low_speed_time_s)) != CURLE_OK)
        return "LOW_SPEED_TIME";
    return nullptr;
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
bool names_something_else_than_a_file(const char *uri)
{
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

extern "C" int download_checks_response_code(const char *uri)
{
    return g_ascii_strncasecmp(uri, "http", 4) == 0 || g_ascii_strncasecmp(uri, "ftp", 3) == 0;
}

extern "C" void kx_sysconfig_download_limits_set(long connect_timeout, long low_speed_time)
{
    connect_timeout_s = connect_timeout > 0 ? connect_timeout : default_connect_timeout_s;
    low_speed_time_s = low_speed_time > 0 ? low_speed_time : default_low_speed_time_s;
}

extern "C" int sysconfig_os_download(const char *uri, FILE *stream)
{
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
    code = curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, stream);
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

    code = curl_easy_perform(curl.get());
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
