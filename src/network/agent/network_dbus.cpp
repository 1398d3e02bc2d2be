// network-dbus: puts libknetwork on the system bus. Every request reads
// the interfaces afresh; start and stop only spawn the interface scripts
// and report the state seen right after.
#include <memory>

#include <korvex/kcommon.h>
#include <korvex/kcommon_dbus.h>
#include <korvex/network.h>

#include "network_handlers.h"

namespace {

struct InterfaceListDeleter {
    void operator()(GList *list) const { g_list_free_full(list, kx_network_interface_destroy); }
};
using InterfaceList = std::unique_ptr<GList, InterfaceListDeleter>;

struct StrvDeleter {
    void operator()(char **v) const { g_strfreev(v); }
};
using Strv = std::unique_ptr<char *, StrvDeleter>;

guint32 interface_is_up(const char *iface)
{
    uint64_t state = 0;
    kx_network_status(iface, &state);
    return static_cast<guint32>(state & 1u);
}

} // namespace

extern "C" {

PropertyRow properties[] = {
    {1, "uuid", "uuid", "Host UUID", G_PARAM_READABLE, 's'},
    {2, "hostname", "hostname", "Hostname", G_PARAM_READABLE, 's'},
    {3, "qmf-gen-no-crash", "qmf-gen-no-crash", "Dummy stat to stop qmf-gen from crashing.",
     G_PARAM_READABLE, 'i'},
    {0, nullptr, nullptr, nullptr, 0, '\0'},
};

gboolean Network_list(Korvex *, DBusGMethodInvocation *context)
{
    if (!korvex_authorize("org.vaduderuvoziz.Network.list", context))
        return FALSE;
    InterfaceList list(kx_network_get_interfaces());
    Strv names(g_new0(char *, g_list_length(list.get()) + 1));
    size_t i = 0;
    for (GList *item = list.get(); item != nullptr; item = item->next) {
        const auto *record = static_cast<const sigar_net_interface_config_t *>(item->data);
        names.get()[i++] = g_strdup(kx_network_interface_get_name(record));
    }
    dbus_g_method_return(context, names.get());
    return TRUE;
}

gboolean Network_start(Korvex *, const char *iface, DBusGMethodInvocation *context)
{
    if (!korvex_authorize("org.vaduderuvoziz.Network.start", context))
        return FALSE;
    guint32 up = interface_is_up(iface);
    if (up == 0) {
        kx_network_start(iface);
        up = interface_is_up(iface);
    }
    dbus_g_method_return(context, up);
    return TRUE;
}

gboolean Network_stop(Korvex *, const char *iface, DBusGMethodInvocation *context)
{
    if (!korvex_authorize("org.vaduderuvoziz.Network.stop", context))
        return FALSE;
    guint32 up = interface_is_up(iface);
    if (up != 0) {
        kx_network_stop(iface);
        up = interface_is_up(iface);
    }
    dbus_g_method_return(context, up);
    return TRUE;
}

gboolean Network_status(Korvex *, const char *iface, DBusGMethodInvocation *context)
{
    if (!korvex_authorize("org.vaduderuvoziz.Network.status", context))
        return FALSE;
    dbus_g_method_return(context, interface_is_up(iface));
    return TRUE;
}

gboolean Network_get_ip_address(Korvex *, const char *iface, DBusGMethodInvocation *context)
{
    if (!korvex_authorize("org.vaduderuvoziz.Network.get_ip_address", context))
        return FALSE;
    char buffer[64];
    dbus_g_method_return(context, kx_network_get_ip_address(iface, buffer, sizeof buffer));
    return TRUE;
}

gboolean Network_get_mac_address(Korvex *, const char *iface, DBusGMethodInvocation *context)
{
    if (!korvex_authorize("org.vaduderuvoziz.Network.get_mac_address", context))
        return FALSE;
    char buffer[32];
    dbus_g_method_return(context, kx_network_get_mac_address(iface, buffer, sizeof buffer));
    return TRUE;
}

} // extern "C"

int main()
{
#if !GLIB_CHECK_VERSION(2, 36, 0)
    g_type_init();
#endif
    return run_dbus_server("org.vaduderuvoziz.Network", "/org/vaduderuvoziz/Network");
}
