// network-dbus: puts libknetwork on the system bus. Every request reads
// the interfaces afresh; start and stop only spawn the interface scripts
// and report the state seen right after. Changes are signalled on a second
// interface (interface_monitor.h).
#include <memory>
#include <string>
#include <vector>

#include <korvex/kcommon.h>
#include <korvex/kcommon_dbus.h>
#include <korvex/requests.h>
#include <korvex/network.h>

#include "interface_monitor.h"
#include "network_handlers.h"

using korvex::network::InterfaceList;

namespace {

guint32 interface_is_up(const char *iface) {
    uint64_t state = 0;
    kx_network_status(iface, &state);
    return static_cast<guint32>(state & 1u);
}

// Who brought an interface up or down is worth a line in the agent's log.
void log_change(const char *what, const std::string &iface, const korvex::Caller &caller) {
    kx_log(KX_LOG_INFO, "%s: %s of interface '%s' requested by uid %ld (pid %ld)", "network_dbus",
           what, iface.c_str(), static_cast<long>(caller.uid), static_cast<long>(caller.pid));
}

// Brings iface to the wanted state unless it is there already, and
// answers with the state seen afterwards.
gboolean change_state(const char *action, const char *what, bool want_up,
                      void (*change)(const char *), const char *iface,
                      DBusGMethodInvocation *context) {
    korvex::authorize(
        action, context,
        [what, want_up, change, iface = std::string(iface)](korvex::Request request) {
            guint32 up = interface_is_up(iface.c_str());
            if ((up != 0) != want_up) {
                log_change(what, iface, request.caller());
                change(iface.c_str());
                up = interface_is_up(iface.c_str());
            }
            std::move(request).reply_uint(up);
        });
    return TRUE;
}

// Both address queries fill a buffer of the caller's; 64 bytes hold either text.
gboolean reply_address(const char *action, char *(*get)(const char *, char *, size_t),
                       const char *iface, DBusGMethodInvocation *context) {
    korvex::authorize(action, context,
                      [get, iface = std::string(iface)](korvex::Request request) {
                          char buffer[64];
                          std::move(request).reply_text(get(iface.c_str(), buffer, sizeof buffer));
                      });
    return TRUE;
}

} // namespace

extern "C" {

PropertyRow properties[] = {
    KORVEX_HOST_PROPERTY_ROWS,
    KORVEX_QMF_GEN_PROPERTY_ROW(3),
    KORVEX_PROPERTY_ROWS_END,
};

gboolean Network_list(Korvex *, DBusGMethodInvocation *context) {
    korvex::authorize("org.vaduderuvoziz.Network.list", context, [](korvex::Request request) {
        InterfaceList list(kx_network_get_interfaces());
        std::vector<const char *> names;
        for (GList *item = list.get(); item != nullptr; item = item->next) {
            const auto *record = static_cast<const sigar_net_interface_config_t *>(item->data);
            names.push_back(kx_network_interface_get_name(record));
        }
        names.push_back(nullptr);
        std::move(request).reply_texts(names.data());
    });
    return TRUE;
}

gboolean Network_start(Korvex *, const char *iface, DBusGMethodInvocation *context) {
    return change_state("org.vaduderuvoziz.Network.start", "start", true, kx_network_start, iface,
                        context);
}

gboolean Network_stop(Korvex *, const char *iface, DBusGMethodInvocation *context) {
    return change_state("org.vaduderuvoziz.Network.stop", "stop", false, kx_network_stop, iface,
                        context);
}

gboolean Network_status(Korvex *, const char *iface, DBusGMethodInvocation *context) {
    korvex::authorize("org.vaduderuvoziz.Network.status", context,
                      [iface = std::string(iface)](korvex::Request request) {
                          std::move(request).reply_uint(interface_is_up(iface.c_str()));
                      });
    return TRUE;
}

gboolean Network_get_ip_address(Korvex *, const char *iface, DBusGMethodInvocation *context) {
    return reply_address("org.vaduderuvoziz.Network.get_ip_address", kx_network_get_ip_address,
                         iface, context);
}

gboolean Network_get_mac_address(Korvex *, const char *iface, DBusGMethodInvocation *context) {
    return reply_address("org.vaduderuvoziz.Network.get_mac_address", kx_network_get_mac_address,
                         iface, context);
}

} // extern "C"

int main() {
    korvex::network::monitor_interfaces("/org/vaduderuvoziz/Network");
    return run_dbus_server("org.vaduderuvoziz.Network", "/org/vaduderuvoziz/Network");
}
