// Entry points of run and query requests. The public pair checks the key;
// the operating-system halves skip configured keys and choose the runner
// by scheme.
#include <glib.h>

#include <korvex/kcommon.h>
#include <korvex/owners.h>

#include "reasons.h"
#include "sysconfig_internal.h"

using korvex::MallocCharPtr;

namespace {

uint32_t dispatch_run(const char *uri, const char *text, uint32_t flags, const char *scheme,
                      const char *key, kx_sysconfig_cb callback, void *user_data,
                      std::string *reason) {
    using namespace korvex::sysconfig;
    MallocCharPtr status{kx_sysconfig_is_configured(key)};
    if (status && (flags & KX_SYSCONFIG_FLAG_FORCE) == 0) {
        if (callback != nullptr)
            callback(user_data, 0);
        return KX_RES_OK;
    }

    if (scheme != nullptr && g_ascii_strcasecmp(scheme, "puppet") == 0)
        return static_cast<uint32_t>(run_puppet(uri, text, key, callback, user_data, reason));
    if (scheme != nullptr && g_ascii_strcasecmp(scheme, "augeas") == 0)
        return static_cast<uint32_t>(run_augeas(uri, text, key, callback, user_data, reason));
    return because(reason, static_cast<uint32_t>(KX_RES_BAD_ARGUMENT), scheme_reason(scheme));
}

} // namespace

uint32_t korvex::sysconfig::run_document(const char *uri, const char *text, uint32_t flags,
                                         const char *scheme, const char *key,
                                         kx_sysconfig_cb callback, void *user_data,
                                         std::string *reason) {
    if (check_key_sanity(key, reason) != 0)
        return KX_RES_BAD_ARGUMENT;
    return dispatch_run(uri, text, flags, scheme, key, callback, user_data, reason);
}

std::string korvex::sysconfig::scheme_reason(const char *scheme) {
    return (scheme != nullptr ? "unknown scheme " + quoted(scheme) : "no scheme given") +
           ": the schemes are \"puppet\" and \"augeas\"";
}

extern "C" uint32_t sysconfig_os_run_uri(const char *uri, uint32_t flags, const char *scheme,
                                         const char *key, kx_sysconfig_cb callback,
                                         void *user_data) {
    return dispatch_run(uri, nullptr, flags, scheme, key, callback, user_data, nullptr);
}

extern "C" uint32_t sysconfig_os_run_string(const char *text, uint32_t flags, const char *scheme,
                                            const char *key, kx_sysconfig_cb callback,
                                            void *user_data) {
    return dispatch_run(nullptr, text, flags, scheme, key, callback, user_data, nullptr);
}

extern "C" uint32_t kx_sysconfig_run_uri(const char *uri, uint32_t flags, const char *scheme,
                                         const char *key, kx_sysconfig_cb callback,
                                         void *user_data) {
    return korvex::sysconfig::run_document(uri, nullptr, flags, scheme, key, callback, user_data,
                                           nullptr);
}

extern "C" uint32_t kx_sysconfig_run_string(const char *text, uint32_t flags, const char *scheme,
                                            const char *key, kx_sysconfig_cb callback,
                                            void *user_data) {
    return korvex::sysconfig::run_document(nullptr, text, flags, scheme, key, callback, user_data,
                                           nullptr);
}

extern "C" char *kx_sysconfig_query(const char *text, uint32_t flags, const char *scheme) {
    return sysconfig_os_query(text, flags, scheme);
}
