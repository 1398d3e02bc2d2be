#include "interface_snapshot.h"

#include <ifaddrs.h>
#include <net/if.h>

#include <bit>
#include <cerrno>
#include <memory>

namespace korvex::sigar {

namespace {

struct IfaddrsDeleter {
    void operator()(ifaddrs *list) const { freeifaddrs(list); }
};
using IfaddrsList = std::unique_ptr<ifaddrs, IfaddrsDeleter>;

in_addr ipv4_of(const sockaddr *address)
{
    return reinterpret_cast<const sockaddr_in *>(address)->sin_addr;
}

bool is_ipv4(const sockaddr *address)
{
    return address != nullptr && address->sa_family == AF_INET;
}

int prefix_length_of(const sockaddr *netmask)
{
    if (netmask == nullptr || netmask->sa_family != AF_INET6)
        return 0;
    const auto &bytes = reinterpret_cast<const sockaddr_in6 *>(netmask)->sin6_addr.s6_addr;
    int length = 0;
    for (unsigned char byte : bytes)
        length += std::popcount(static_cast<unsigned int>(byte));
    return length;
}

}  // namespace

int InterfaceSnapshot::take(InterfaceSnapshot &snapshot)
{
    ifaddrs *raw = nullptr;
    if (getifaddrs(&raw) != 0)
        return errno != 0 ? errno : EIO;
    IfaddrsList list(raw);

    InterfaceSnapshot taken;
    for (const ifaddrs *item = list.get(); item != nullptr; item = item->ifa_next) {
        if (item->ifa_name == nullptr)
            continue;
        InterfaceEntry &entry = taken.entry_for(item->ifa_name);
        entry.link_flags = item->ifa_flags;
        const sockaddr *address = item->ifa_addr;
        if (address == nullptr)
            continue;  // a link without hardware address (tun)

        if (address->sa_family == AF_INET && !entry.ipv4) {
            // The first address of a label is its primary one, the one
            // SIOCGIFADDR would give.
            Ipv4Assignment ipv4;
            ipv4.address = ipv4_of(address);
            if (is_ipv4(item->ifa_netmask))
                ipv4.netmask = ipv4_of(item->ifa_netmask);
            // getifaddrs puts the local address in the broadcast/peer slot
            // when the kernel has neither; that means "none".
            const sockaddr *other_end = item->ifa_ifu.ifu_broadaddr;
            if (is_ipv4(other_end) && ipv4_of(other_end).s_addr != ipv4.address.s_addr) {
                if ((item->ifa_flags & IFF_POINTOPOINT) != 0)
                    ipv4.destination = ipv4_of(other_end);
                else if ((item->ifa_flags & IFF_BROADCAST) != 0)
                    ipv4.broadcast = ipv4_of(other_end);
            }
            entry.ipv4 = ipv4;
        } else if (address->sa_family == AF_INET6 && !entry.ipv6) {
            Ipv6Assignment ipv6;
            ipv6.address = reinterpret_cast<const sockaddr_in6 *>(address)->sin6_addr;
            ipv6.prefix_length = prefix_length_of(item->ifa_netmask);
            entry.ipv6 = ipv6;
        }
    }
    snapshot = std::move(taken);
    return 0;
}

InterfaceEntry &InterfaceSnapshot::entry_for(const char *name)
{
    auto [position, inserted] = entries_.try_emplace(name);
    if (inserted)
        names_.emplace_back(name);
    return position->second;
}

const InterfaceEntry *InterfaceSnapshot::find(std::string_view name) const
{
    auto position = entries_.find(std::string(name));
    return position == entries_.end() ? nullptr : &position->second;
}

}  // namespace korvex::sigar
