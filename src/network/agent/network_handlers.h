// Method handlers of the network agent, referenced by its object info.
#ifndef KORVEX_NETWORK_HANDLERS_H
#define KORVEX_NETWORK_HANDLERS_H

#include <korvex/kcommon_dbus.h>

#ifdef __cplusplus
extern "C" {
#endif

gboolean Network_list(Korvex *object, DBusGMethodInvocation *context);
gboolean Network_start(Korvex *object, const char *iface, DBusGMethodInvocation *context);
gboolean Network_stop(Korvex *object, const char *iface, DBusGMethodInvocation *context);
gboolean Network_status(Korvex *object, const char *iface, DBusGMethodInvocation *context);
gboolean Network_get_ip_address(Korvex *object, const char *iface, DBusGMethodInvocation *context);
gboolean Network_get_mac_address(Korvex *object, const char *iface, DBusGMethodInvocation *context);

#ifdef __cplusplus
}
#endif

#endif
