// The interface names SIGAR lists on Linux, in its order.
#ifndef KORVEX_SIGAR_INTERFACE_NAMES_H
#define KORVEX_SIGAR_INTERFACE_NAMES_H

#include <string>
#include <vector>

namespace korvex::sigar {

// First what SIOCGIFCONF returns (interfaces and alias labels with an IPv4
// address, one entry per address, in the kernel's order), each name once;
// then the devices of /proc/net/dev not listed yet, in their order there.
// Names are bytes as the kernel has them, not necessarily text. 0 and
// *names filled, or an errno.
int list_interface_names(std::vector<std::string> &names);

} // namespace korvex::sigar

#endif
