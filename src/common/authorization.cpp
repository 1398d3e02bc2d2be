// PolicyKit authorization of every request and the error domain used for
// every D-Bus error of the agents.
#include <dbus/dbus-glib-lowlevel.h>
#include <polkit/polkit.h>

#include <korvex/kcommon.h>
#include <korvex/kcommon_dbus.h>

#include "glib_handles.h"

using korvex::ErrorPtr;
using korvex::GCharPtr;
using korvex::ObjectPtr;

extern "C" {

GQuark korvex_error_quark(void)
{
    return g_quark_from_static_string("korvex-error-quark");
}

gboolean check_authorization(const char *action, GError **error, DBusGMethodInvocation *context)
{
    if (context == nullptr) {
        g_printerr("Context is not set!\n");
        return FALSE;
    }

    GCharPtr sender(dbus_g_method_get_sender(context));
    ObjectPtr<PolkitSubject> subject(polkit_system_bus_name_new(sender.get()));

    GError *raw_error = nullptr;
    ObjectPtr<PolkitAuthority> authority(polkit_authority_get_sync(nullptr, &raw_error));
    ErrorPtr authority_error(raw_error);
    if (!authority) {
        g_printerr("Error in obtaining authority\n");
        return FALSE;
    }

    raw_error = nullptr;
    ObjectPtr<PolkitAuthorizationResult> result(polkit_authority_check_authorization_sync(
        authority.get(), subject.get(), action, nullptr,
        POLKIT_CHECK_AUTHORIZATION_FLAGS_ALLOW_USER_INTERACTION, nullptr, &raw_error));
    ErrorPtr check_error(raw_error);
    if (check_error) {
        g_printerr("Error in checking authorization: %s\n", check_error->message);
        g_set_error(error, korvex_error_quark(), KX_RES_NOT_AUTHORIZED, "%s",
                    check_error->message);
        return FALSE;
    }

    const bool authorized = result && polkit_authorization_result_get_is_authorized(result.get());
    if (authorized)
        return TRUE;

    g_set_error(error, korvex_error_quark(), KX_RES_NOT_AUTHORIZED, "%s",
                kx_result_to_str(KX_RES_NOT_AUTHORIZED));
    g_printerr("Caller is not authorized for action %s\n", action);
    return FALSE;
}

void korvex_reply_refusal(DBusGMethodInvocation *context, GError **error)
{
    ErrorPtr owned(*error);
    *error = nullptr;
    if (context == nullptr)
        return;
    if (!owned) {
        owned.reset(g_error_new(korvex_error_quark(), KX_RES_NOT_AUTHORIZED,
                                "%s: authorization could not be checked",
                                kx_result_to_str(KX_RES_NOT_AUTHORIZED)));
    }
    dbus_g_method_return_error(context, owned.get());
}

void korvex_reply_result_error(DBusGMethodInvocation *context, int code)
{
    ErrorPtr error(g_error_new(korvex_error_quark(), code, "%s", kx_result_to_str(code)));
    dbus_g_method_return_error(context, error.get());
}

} // extern "C"
