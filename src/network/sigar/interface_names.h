// The interface names SIGAR lists on Linux, in its order.
#ifndef KORVEX_SIGAR_INTERFACE_NAMES_H
#define KORVEX_SIGAR_INTERFACE_NAMES_H

#include <cstddef>
#include <string>
#include <vector>

namespace korvex::sigar {

// First what SIOCGIFCONF returns (interfaces and alias labels with an IPv4
// address, one entry per address, in the kernel's order), each name once;
// then the `devices` not listed yet, in their order. SIGAR takes those from
// /proc/net/dev, which lists the devices in the order of the kernel's link
// dump: the caller has that dump already, and reading the file would make
// the kernel sum up every device's statistics. `ipv4_addresses`, the
// number of IPv4 addresses the caller saw, sizes the one SIOCGIFCONF call.
// Names are bytes as the kernel has them, not necessarily text. 0 and
// *names filled, or an errno.
int list_interface_names(const std::vector<std::string> &devices, std::size_t ipv4_addresses,
                         std::vector<std::string> &names);

} // namespace korvex::sigar

#endif
