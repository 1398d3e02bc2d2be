// Owner of an interface list of kx_network_get_interfaces, and the lookup
// by name the per-interface queries share.
#ifndef KORVEX_NETWORK_INTERFACE_LIST_H
#define KORVEX_NETWORK_INTERFACE_LIST_H

#include <korvex/network.h>

#include <memory>

namespace korvex::network {

struct InterfaceListDeleter {
    void operator()(GList *list) const { g_list_free_full(list, kx_network_interface_destroy); }
};
using InterfaceList = std::unique_ptr<GList, InterfaceListDeleter>;

// The first record called exactly name (case-sensitive), or nullptr.
const sigar_net_interface_config_t *find_interface(const InterfaceList &list, const char *name);

} // namespace korvex::network

#endif
