// The process skeleton of every agent: log set-up, the system bus, the one
// agent object, its well-known name and the main loop.
#include <libintl.h>

#include <dbus/dbus-glib-lowlevel.h>
#include <dbus/dbus.h>

#include <korvex/kcommon.h>
#include <korvex/kcommon_dbus.h>

#include "glib_handles.h"
#include "requests_internal.h"

using korvex::ConnectionPtr;
using korvex::ErrorPtr;
using korvex::MainLoopPtr;
using korvex::ObjectPtr;

namespace {

DBusHandlerResult reply_error(DBusConnection *connection, DBusMessage *message, const char *name,
                              const char *text) {
    DBusMessage *error = dbus_message_new_error(message, name, text);
    if (error == nullptr)
        return DBUS_HANDLER_RESULT_NEED_MEMORY;
    dbus_connection_send(connection, error, nullptr);
    dbus_message_unref(error);
    return DBUS_HANDLER_RESULT_HANDLED;
}

// dbus-glib answers Properties calls by itself, from the object's GObject
// properties and without any PolicyKit check, whenever they do not reach
// the agent's own Get and Set: GetAll always, and Get or Set with any
// other signature than theirs. So every such call is refused here, before
// dbus-glib sees it, and a caller can read or write only through the
// authorized Get and Set.
DBusHandlerResult refuse_unchecked_properties(DBusConnection *connection, DBusMessage *message) {
    if (dbus_message_is_method_call(message, DBUS_INTERFACE_PROPERTIES, "GetAll"))
        return reply_error(connection, message, DBUS_ERROR_UNKNOWN_METHOD,
                           "GetAll is not offered; read each property with Get");
    if (dbus_message_is_method_call(message, DBUS_INTERFACE_PROPERTIES, "Get") &&
        !dbus_message_has_signature(message, "ss"))
        return reply_error(connection, message, DBUS_ERROR_INVALID_ARGS,
                           "Get takes an interface and a property name (ss)");
    if (dbus_message_is_method_call(message, DBUS_INTERFACE_PROPERTIES, "Set") &&
        !dbus_message_has_signature(message, "ssv"))
        return reply_error(connection, message, DBUS_ERROR_INVALID_ARGS,
                           "Set takes an interface, a property name and a value (ssv)");
    return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
}

// A caller that leaves the bus takes its pending checks with it.
void note_departures(DBusMessage *message) {
    if (!dbus_message_is_signal(message, DBUS_INTERFACE_DBUS, "NameOwnerChanged") ||
        !dbus_message_has_sender(message, DBUS_SERVICE_DBUS))
        return;
    const char *name = nullptr;
    const char *old_owner = nullptr;
    const char *new_owner = nullptr;
    if (dbus_message_get_args(message, nullptr, DBUS_TYPE_STRING, &name, DBUS_TYPE_STRING,
                              &old_owner, DBUS_TYPE_STRING, &new_owner, DBUS_TYPE_INVALID) &&
        name[0] == ':' && new_owner[0] == '\0')
        korvex::detail::caller_left(name);
}

DBusHandlerResult filter_messages(DBusConnection *connection, DBusMessage *message, void *) {
    note_departures(message);
    return refuse_unchecked_properties(connection, message);
}

// Cancelling the checks of a caller that left races polkitd ending them
// itself (the caller's own authentication agent went with it), and polkit's
// client warns of every cancellation polkitd no longer knew. That is one
// line per pending check, up to sixteen per departing caller, that says
// nothing: those are dropped, everything else goes to GLib's own handler.
void quiet_late_cancellations(const gchar *domain, GLogLevelFlags level, const gchar *message,
                              gpointer data) {
    if (message != nullptr && g_str_has_prefix(message, "Error cancelling authorization check: "))
        return;
    g_log_default_handler(domain, level, message, data);
}

int startup_failure(const char *format, GError *raw_error) {
    ErrorPtr error(raw_error);
    g_printerr(gettext(format), error ? error->message : "unknown error");
    return 1;
}

} // namespace

extern "C" int run_dbus_server(const char *bus_name, const char *object_path) {
    kx_log_init(bus_name, KX_LOG_DEBUG, 0);
    g_log_set_handler(nullptr, G_LOG_LEVEL_WARNING, quiet_late_cancellations, nullptr);

    MainLoopPtr loop(g_main_loop_new(nullptr, FALSE));

    GError *error = nullptr;
    ConnectionPtr connection(dbus_g_bus_get(DBUS_BUS_SYSTEM, &error));
    if (!connection)
        return startup_failure("Failed to open connection to bus: %s\n", error);

    DBusConnection *bus = dbus_g_connection_get_connection(connection.get());
    dbus_connection_add_filter(bus, filter_messages, nullptr, nullptr);
    // Sent without waiting: the reply would only say the rule is in place.
    dbus_bus_add_match(bus,
                       "type='signal',sender='org.freedesktop.DBus',"
                       "interface='org.freedesktop.DBus',member='NameOwnerChanged',arg2=''",
                       nullptr);

    ObjectPtr<GObject> object(G_OBJECT(g_object_new(korvex_get_type(), nullptr)));
    dbus_g_connection_register_g_object(connection.get(), object_path, object.get());

    ObjectPtr<DBusGProxy> driver(dbus_g_proxy_new_for_name(connection.get(), DBUS_SERVICE_DBUS,
                                                           DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS));

    guint reply = 0;
    if (!dbus_g_proxy_call(driver.get(), "RequestName", &error, G_TYPE_STRING, bus_name,
                           G_TYPE_UINT, 0u, G_TYPE_INVALID, G_TYPE_UINT, &reply, G_TYPE_INVALID))
        return startup_failure("Failed to get name: %s\n", error);

    switch (reply) {
    case DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER:
        mainloop_track_children(0);
        g_main_loop_run(loop.get());
        return 0;
    case DBUS_REQUEST_NAME_REPLY_IN_QUEUE:
        g_printerr("%s", gettext("Looks like another server of this type is already running: "
                                 "Reply in queue\n"));
        return 1;
    case DBUS_REQUEST_NAME_REPLY_EXISTS:
        g_printerr("%s", gettext("Looks like another server of this type is already running: "
                                 "Reply exists\n"));
        return 1;
    case DBUS_REQUEST_NAME_REPLY_ALREADY_OWNER:
        g_printerr("%s", gettext("We are already running\n"));
        return 1;
    default:
        g_printerr("%s", gettext("Unspecified error\n"));
        return 1;
    }
}
