#include "korvex/kcommon.h"

#include <curl/curl.h>
#include <mutex>

extern "C" int kx_curl_init(void) {
    // curl_global_init is not thread-safe and must not be repeated after
    // success; a failure is remembered rather than retried.
    static std::once_flag once;
    static CURLcode outcome = CURLE_FAILED_INIT;
    std::call_once(once, [] { outcome = curl_global_init(CURL_GLOBAL_DEFAULT); });
    return outcome == CURLE_OK ? KX_RES_OK : KX_RES_SYSTEM_ERROR;
}
