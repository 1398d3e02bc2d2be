#include <korvex/network.h>

extern "C" void kx_network_start(const char *iface) { network_os_start(iface); }

extern "C" void kx_network_stop(const char *iface) { network_os_stop(iface); }

// The stop tool is spawned first; neither is waited for, so the two
// scripts may overlap, and the host's scripts serialise themselves.
extern "C" void kx_network_restart(const char *iface) {
    network_os_stop(iface);
    network_os_start(iface);
}
