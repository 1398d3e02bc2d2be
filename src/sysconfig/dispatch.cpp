// Entry points of run and query requests. The public pair checks the key;
// the operating-system halves skip configured keys and choose the runner
// by scheme.
#include <glib.h>

#include <korvex/kcommon.h>
#include <korvex/owners.h>

#include "sysconfig_internal.h"

using korvex::MallocCharPtr;

namespace {

uint32_t dispatch_run(const char *uri, const char *text, uint32_t flags, const char *scheme,
                      const char *key, kx_sysconfig_cb callback, void *user_data) {
    MallocCharPtr status{kx_sysconfig_is_configured(key)};
    if (status && (flags & KX_SYSCONFIG_FLAG_FORCE) == 0) {
        if (callback != nullptr)
            callback(user_data, 0);
        return KX_RES_OK;
    }

    if (scheme == nullptr)
        return KX_RES_BAD_ARGUMENT;
    if (g_ascii_strcasecmp(scheme, "puppet") == 0)
        return static_cast<uint32_t>(run_puppet(uri, text, key, callback, user_data));
    if (g_ascii_strcasecmp(scheme, "augeas") == 0)
        return static_cast<uint32_t>(run_augeas(uri, text, key, callback, user_data));
    return KX_RES_BAD_ARGUMENT;
}

} // namespace

extern "C" uint32_t sysconfig_os_run_uri(const char *uri, uint32_t flags, const char *scheme,
                                         const char *key, kx_sysconfig_cb callback,
                                         void *user_data) {
    return dispatch_run(uri, nullptr, flags, scheme, key, callback, user_data);
}

extern "C" uint32_t sysconfig_os_run_string(const char *text, uint32_t flags, const char *scheme,
                                            const char *key, kx_sysconfig_cb callback,
                                            void *user_data) {
    return dispatch_run(nullptr, text, flags, scheme, key, callback, user_data);
}

extern "C" uint32_t kx_sysconfig_run_uri(const char *uri, uint32_t flags, const char *scheme,
                                         const char *key, kx_sysconfig_cb callback,
                                         void *user_data) {
    return check_key_sanity(key) != 0
               ? static_cast<uint32_t>(KX_RES_BAD_ARGUMENT)
               : sysconfig_os_run_uri(uri, flags, scheme, key, callback, user_data);
}

extern "C" uint32_t kx_sysconfig_run_string(const char *text, uint32_t flags, const char *scheme,
                                            const char *key, kx_sysconfig_cb callback,
                                            void *user_data) {
    return check_key_sanity(key) != 0
               ? static_cast<uint32_t>(KX_RES_BAD_ARGUMENT)
               : sysconfig_os_run_string(text, flags, scheme, key, callback, user_data);
}

extern "C" char *kx_sysconfig_query(const char *text, uint32_t flags, const char *scheme) {
    return sysconfig_os_query(text, flags, scheme);
}
