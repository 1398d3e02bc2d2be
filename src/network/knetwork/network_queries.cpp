#include "interface_list.h"

#include <korvex/kcommon.h>

#include <cstdio>

using korvex::network::find_interface;
using korvex::network::InterfaceList;

extern "C" char *kx_network_get_mac_address(const char *iface, char *buf, size_t size) {
    if (buf == nullptr || size == 0)
        return buf;
    buf[0] = '\0';

    InterfaceList list(kx_network_get_interfaces());
    if (const auto *record = find_interface(list, iface)) {
        const unsigned char *mac = record->hwaddr.addr.mac;
        std::snprintf(buf, size, "%.2X:%.2X:%.2X:%.2X:%.2X:%.2X", mac[0], mac[1], mac[2], mac[3],
                      mac[4], mac[5]);
    }
    return buf;
}

extern "C" char *kx_network_get_ip_address(const char *iface, char *buf, size_t size) {
    if (buf == nullptr || size == 0)
        return buf;
    buf[0] = '\0';

    InterfaceList list(kx_network_get_interfaces());
    const auto *record = find_interface(list, iface);
    // An interface without IPv4 has an unset address, which SIGAR renders
    // as 0.0.0.0; only an absent interface reads as no address.
    if (record == nullptr)
        return buf;

    char scratch[SIGAR_INET6_ADDRSTRLEN] = "";
    sigar_net_address_t address = record->address;
    if (sigar_net_address_to_string(nullptr, &address, scratch) != SIGAR_OK)
        return buf; // nothing sensible was written
    kx_string_copy(buf, scratch, size);
    return buf;
}

extern "C" int kx_network_status(const char *iface, uint64_t *state) {
    InterfaceList list(kx_network_get_interfaces());
    const auto *record = find_interface(list, iface);
    if (record == nullptr)
        return 1;
    if (state != nullptr)
        *state = kx_network_interface_get_flags(record);
    return 0;
}
