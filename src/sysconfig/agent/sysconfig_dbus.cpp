// sysconfig-dbus: puts libksysconfig on the system bus. A run may end long
// after its handler returned (puppet runs), so each run carries a
// PendingCall that the completion callback answers and frees.
#include <cstdlib>
#include <memory>

#include <korvex/kcommon.h>
#include <korvex/kcommon_dbus.h>
#include <korvex/sysconfig.h>

#include "sysconfig_handlers.h"

namespace {

struct FreeDeleter {
    void operator()(char *p) const { std::free(p); }
};
using CText = std::unique_ptr<char, FreeDeleter>;

struct PendingCallDeleter {
    void operator()(PendingCall *call) const
    {
        g_free(call->key);
        g_free(call);
    }
};
using PendingCallPtr = std::unique_ptr<PendingCall, PendingCallDeleter>;

void reply_text(DBusGMethodInvocation *context, const char *text)
{
    dbus_g_method_return(context, text != nullptr ? text : "");
}

using RunFunction = uint32_t (*)(const char *, uint32_t, const char *, const char *,
                                 kx_sysconfig_cb, void *);

gboolean start_run(const char *action, RunFunction run, const char *document, guint flags,
                   const char *scheme, const char *key, DBusGMethodInvocation *context)
{
    if (!korvex_authorize(action, context))
        return FALSE;

    PendingCallPtr call(g_try_new0(PendingCall, 1));
    if (!call) {
        // Without a record the outcome could never be delivered; tell the
        // caller now rather than leaving it waiting for its time-out.
        korvex_reply_result_error(context, KX_RES_SYSTEM_ERROR);
        return FALSE;
    }
    call->context = context;
    call->key = g_strdup(key);

    const uint32_t rc = run(document, flags, scheme, key, result_cb, call.get());
    if (rc == 0) {
        // result_cb owns the record now, and may already have freed it.
        call.release();
        return TRUE;
    }
    korvex_reply_result_error(context, static_cast<int>(rc));
    return FALSE;
}

} // namespace

extern "C" {

PropertyRow properties[] = {
    {1, "uuid", "uuid", "Host UUID", G_PARAM_READABLE, 's'},
    {2, "hostname", "hostname", "Hostname", G_PARAM_READABLE, 's'},
    {3, "is_postboot_configured", "is_postboot_configured", "Set if agent is configured.",
     G_PARAM_READWRITE, 'u'},
    {4, "qmf-gen-no-crash", "qmf-gen-no-crash", "Dummy stat to stop qmf-gen from crashing.",
     G_PARAM_READABLE, 'i'},
    {0, nullptr, nullptr, nullptr, 0, '\0'},
};

void result_cb(void *user_data, int32_t rc)
{
    PendingCallPtr call(static_cast<PendingCall *>(user_data));
    if (rc != 0) {
        korvex_reply_result_error(call->context, rc);
        return;
    }
    CText status(kx_sysconfig_is_configured(call->key));
    reply_text(call->context, status.get());
}

gboolean Sysconfig_run_uri(Korvex *, const char *uri, guint flags, const char *scheme,
                           const char *key, DBusGMethodInvocation *context)
{
    return start_run("org.vaduderuvoziz.Sysconfig.run_uri", kx_sysconfig_run_uri, uri, flags,
                     scheme, key, context);
}

gboolean Sysconfig_run_string(Korvex *, const char *text, guint flags, const char *scheme,
                              const char *key, DBusGMethodInvocation *context)
{
    return start_run("org.vaduderuvoziz.Sysconfig.run_string", kx_sysconfig_run_string, text,
                     flags, scheme, key, context);
}

gboolean Sysconfig_query(Korvex *, const char *text, guint flags, const char *scheme,
                         DBusGMethodInvocation *context)
{
    if (!korvex_authorize("org.vaduderuvoziz.Sysconfig.query", context))
        return FALSE;
    CText data(kx_sysconfig_query(text, flags, scheme));
    reply_text(context, data.get());
    return TRUE;
}

gboolean Sysconfig_is_configured(Korvex *, const char *key, DBusGMethodInvocation *context)
{
    if (!korvex_authorize("org.vaduderuvoziz.Sysconfig.is_configured", context))
        return FALSE;
    CText status(kx_sysconfig_is_configured(key));
    reply_text(context, status.get());
    return TRUE;
}

} // extern "C"

int main()
{
#if !GLIB_CHECK_VERSION(2, 36, 0)
    g_type_init();
#endif
    return run_dbus_server("org.vaduderuvoziz.Sysconfig", "/org/vaduderuvoziz/Sysconfig");
}
