// Fetches a document by URI into a stream the runner has opened.
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
