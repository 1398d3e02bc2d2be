// The PolicyKit authority of the process, the synchronous check kept for
// callers outside the agents' request road, and the error domain used for
// every D-Bus error of the agents.
#include <dbus/dbus-glib-lowlevel.h>
#include <polkit/polkit.h>

#include <memory>
#include <string>

#include <korvex/kcommon.h>
#include <korvex/kcommon_dbus.h>

#include <korvex/requests.h>

#include "glib_handles.h"
#include "requests_internal.h"

using korvex::ErrorPtr;
using korvex::GCharPtr;
using korvex::MainContextPtr;
using korvex::ObjectPtr;

namespace {

// polkit keeps one authority per process only while somebody holds it.
// Dropped after every check, it had to be built again for the next
// request: a new connection to the system bus (authentication, Hello) and
// a proxy that asks the bus for polkitd's owner and polkitd for its
// properties, several times the work of the check itself. So the agent
// holds it for its whole life; every request is still put to polkitd.
//
// The proxy learns of a restarted polkitd from the bus's owner-change
// signals. They are delivered on a context of their own, drained before
// each check, so a check always goes to the current polkitd even when the
// request was queued on the main loop ahead of the signal.
class HeldAuthority {
public:
    // A new reference, or null (error set) while no authority can be had;
    // then the next request tries again.
    PolkitAuthority *get(GError **error) {
        if (!authority_) {
            g_main_context_push_thread_default(signals_.get());
            authority_.reset(polkit_authority_get_sync(nullptr, error));
            g_main_context_pop_thread_default(signals_.get());
        }
        while (g_main_context_iteration(signals_.get(), FALSE)) {
        }
        return authority_ ? static_cast<PolkitAuthority *>(g_object_ref(authority_.get()))
                          : nullptr;
    }

private:
    MainContextPtr signals_{g_main_context_new()};
    ObjectPtr<PolkitAuthority> authority_;
};

} // namespace

PolkitAuthority *korvex::detail::process_authority(GError **error) {
    // Never destroyed: agents end by signal, and tearing down a bus
    // connection from an exit handler would race GLib's worker thread.
    static HeldAuthority *const held = new HeldAuthority;
    return held->get(error);
}

extern "C" {

GQuark korvex_error_quark(void) { return g_quark_from_static_string("korvex-error-quark"); }

// The synchronous form, for callers outside the agents' request road: the
// same refusals, texts and log lines as korvex::authorize, but it waits
// for polkitd and knows nothing of the caller's slots.
gboolean check_authorization(const char *action, GError **error, DBusGMethodInvocation *context) {
    if (context == nullptr) {
        g_printerr("Context is not set!\n");
        return FALSE;
    }

    GCharPtr sender(dbus_g_method_get_sender(context));
    ObjectPtr<PolkitSubject> subject(polkit_system_bus_name_new(sender.get()));

    GError *raw_error = nullptr;
    ObjectPtr<PolkitAuthority> authority(korvex::detail::process_authority(&raw_error));
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
        korvex::detail::log_refusal(std::string("Error in checking authorization: ") +
                                        check_error->message + " for action ",
                                    action, nullptr);
        g_propagate_error(error, korvex::detail::refusal_error(check_error->message));
        return FALSE;
    }
    if (result && polkit_authorization_result_get_is_authorized(result.get()))
        return TRUE;

    korvex::detail::log_refusal("Caller is not authorized for action ", action, nullptr);
    g_propagate_error(error, korvex::detail::refusal_error());
    return FALSE;
}

void korvex_reply_refusal(DBusGMethodInvocation *context, GError **error) {
    ErrorPtr owned(*error);
    *error = nullptr;
    if (context == nullptr)
        return;
    if (!owned) {
        owned.reset(g_error_new(korvex_error_quark(), KX_RES_NOT_AUTHORIZED,
                                "%s: authorization could not be checked",
                                kx_result_to_str(KX_RES_NOT_AUTHORIZED)));
    }
    korvex::detail::send_error(context, owned.get());
}

void korvex_reply_result_error(DBusGMethodInvocation *context, int code) {
    korvex::refuse_argument(context, code, {});
}

} // extern "C"
