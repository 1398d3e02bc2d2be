// The process skeleton of every agent: log set-up, the system bus, the one
// agent object, its well-known name and the main loop.
#include <libintl.h>

#include <dbus/dbus-glib-lowlevel.h>
#include <dbus/dbus.h>

#include <korvex/kcommon.h>
#include <korvex/kcommon_dbus.h>

#include "glib_handles.h"

using korvex::ConnectionPtr;
using korvex::ErrorPtr;
using korvex::MainLoopPtr;
using korvex::ObjectPtr;

namespace {

// dbus-glib answers Properties.GetAll by itself from the object's GObject
// properties, without any PolicyKit check, so any caller could read what
// Get refuses it. Only Get and Set are offered, each authorized per
// property; GetAll is answered as the unknown method it is.
DBusHandlerResult refuse_get_all(DBusConnection *connection, DBusMessage *message, void *)
{
    if (!dbus_message_is_method_call(message, DBUS_INTERFACE_PROPERTIES, "GetAll"))
        return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
    DBusMessage *error = dbus_message_new_error(
        message, DBUS_ERROR_UNKNOWN_METHOD, "GetAll is not offered; read each property with Get");
    if (error == nullptr)
        return DBUS_HANDLER_RESULT_NEED_MEMORY;
    dbus_connection_send(connection, error, nullptr);
    dbus_message_unref(error);
    return DBUS_HANDLER_RESULT_HANDLED;
}

int startup_failure(const char *format, GError *raw_error)
{
    ErrorPtr error(raw_error);
    g_printerr(gettext(format), error ? error->message : "unknown error");
    return 1;
}

} // namespace

extern "C" int run_dbus_server(const char *bus_name, const char *object_path)
{
    kx_log_init(bus_name, KX_LOG_DEBUG, 0);

    MainLoopPtr loop(g_main_loop_new(nullptr, FALSE));

    GError *error = nullptr;
    ConnectionPtr connection(dbus_g_bus_get(DBUS_BUS_SYSTEM, &error));
    if (!connection)
        return startup_failure("Failed to open connection to bus: %s\n", error);

    dbus_connection_add_filter(dbus_g_connection_get_connection(connection.get()),
                               refuse_get_all, nullptr, nullptr);

    ObjectPtr<GObject> object(G_OBJECT(g_object_new(korvex_get_type(), nullptr)));
    dbus_g_connection_register_g_object(connection.get(), object_path, object.get());

    ObjectPtr<DBusGProxy> driver(dbus_g_proxy_new_for_name(
        connection.get(), DBUS_SERVICE_DBUS, DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS));

    guint reply = 0;
    if (!dbus_g_proxy_call(driver.get(), "RequestName", &error, G_TYPE_STRING, bus_name,
                           G_TYPE_UINT, 0u, G_TYPE_INVALID, G_TYPE_UINT, &reply,
                           G_TYPE_INVALID))
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
