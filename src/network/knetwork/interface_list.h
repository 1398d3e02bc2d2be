// The lookup by name the per-interface queries share.
#ifndef KORVEX_NETWORK_INTERFACE_LIST_H
#define KORVEX_NETWORK_INTERFACE_LIST_H

#include <korvex/network.h>

namespace korvex::network {

// The first record called exactly name (case-sensitive), or nullptr.
const sigar_net_interface_config_t *find_interface(const InterfaceList &list, const char *name);

} // namespace korvex::network

#endif
