#include "sigar.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdio>

extern "C" SIGAR_DECLARE(int)
    sigar_net_address_to_string(sigar_t * /*sigar*/, sigar_net_address_t *address, char *addr_str) {
    if (addr_str == nullptr)
        return EINVAL;
    addr_str[0] = '\0';
    if (address == nullptr)
        return EINVAL;

    switch (address->family) {
    case SIGAR_AF_INET:
        if (inet_ntop(AF_INET, &address->addr.in, addr_str, SIGAR_INET6_ADDRSTRLEN) == nullptr) {
            addr_str[0] = '\0';
            return errno;
        }
        return SIGAR_OK;
    case SIGAR_AF_INET6:
        if (inet_ntop(AF_INET6, address->addr.in6, addr_str, SIGAR_INET6_ADDRSTRLEN) == nullptr) {
            addr_str[0] = '\0';
            return errno;
        }
        return SIGAR_OK;
    case SIGAR_AF_LINK: {
        const unsigned char *mac = address->addr.mac;
        std::snprintf(addr_str, SIGAR_INET6_ADDRSTRLEN, "%02X:%02X:%02X:%02X:%02X:%02X", mac[0],
                      mac[1], mac[2], mac[3], mac[4], mac[5]);
        return SIGAR_OK;
    }
    case SIGAR_AF_UNSPEC:
        // SIGAR renders an address that was never set as the zero one.
        std::snprintf(addr_str, SIGAR_INET6_ADDRSTRLEN, "0.0.0.0");
        return SIGAR_OK;
    default:
        return EINVAL;
    }
}
