#include "interface_names.h"
#include "sigar.h"
#include "sigar_handle.h"

#include <net/if.h>
#include <net/if_arp.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

using korvex::sigar::DeviceLink;
using korvex::sigar::InterfaceEntry;
using korvex::sigar::InterfaceSnapshot;

namespace {

// Frees a half-built name array when building it fails part way.
void free_names(char **names, unsigned long count) {
    if (names == nullptr)
        return;
    for (unsigned long i = 0; i < count; ++i)
        std::free(names[i]);
    std::free(names);
}

sigar_uint64_t sigar_flags_of(unsigned int linux_flags) {
    struct FlagPair {
        unsigned int linux_flag;
        sigar_uint64_t sigar_flag;
    };
    static constexpr FlagPair pairs[] = {
        {IFF_UP, SIGAR_IFF_UP},
        {IFF_BROADCAST, SIGAR_IFF_BROADCAST},
        {IFF_DEBUG, SIGAR_IFF_DEBUG},
        {IFF_LOOPBACK, SIGAR_IFF_LOOPBACK},
        {IFF_POINTOPOINT, SIGAR_IFF_POINTOPOINT},
        {IFF_NOTRAILERS, SIGAR_IFF_NOTRAILERS},
        {IFF_RUNNING, SIGAR_IFF_RUNNING},
        {IFF_NOARP, SIGAR_IFF_NOARP},
        {IFF_PROMISC, SIGAR_IFF_PROMISC},
        {IFF_ALLMULTI, SIGAR_IFF_ALLMULTI},
        {IFF_MULTICAST, SIGAR_IFF_MULTICAST},
        {IFF_SLAVE, SIGAR_IFF_SLAVE},
        {IFF_MASTER, SIGAR_IFF_MASTER},
        {IFF_DYNAMIC, SIGAR_IFF_DYNAMIC},
    };
    sigar_uint64_t flags = 0;
    for (const FlagPair &pair : pairs) {
        if ((linux_flags & pair.linux_flag) != 0)
            flags |= pair.sigar_flag;
    }
    return flags;
}

const char *type_name_of(unsigned short hardware_type) {
    switch (hardware_type) {
    case ARPHRD_ETHER:
        return "Ethernet";
    case ARPHRD_LOOPBACK:
        return "Local Loopback";
    case ARPHRD_PPP:
        return "Point-to-Point Protocol";
    case ARPHRD_TUNNEL:
        return "IPIP Tunnel";
    case ARPHRD_SIT:
        return "IPv6-in-IPv4";
    case ARPHRD_IEEE80211:
        return "IEEE 802.11";
    default:
        return "UNSPEC";
    }
}

int scope_of(const in6_addr &address) {
    if (IN6_IS_ADDR_LOOPBACK(&address))
        return SIGAR_IPV6_ADDR_LOOPBACK;
    if (IN6_IS_ADDR_LINKLOCAL(&address))
        return SIGAR_IPV6_ADDR_LINKLOCAL;
    if (IN6_IS_ADDR_SITELOCAL(&address))
        return SIGAR_IPV6_ADDR_SITELOCAL;
    if (IN6_IS_ADDR_V4COMPAT(&address))
        return SIGAR_IPV6_ADDR_COMPATv4;
    if (IN6_IS_ADDR_MULTICAST(&address))
        return SIGAR_IPV6_ADDR_MULTICAST;
    return SIGAR_IPV6_ADDR_ANY;
}

void set_ipv4(sigar_net_address_t &target, in_addr address) {
    target.family = SIGAR_AF_INET;
    target.addr.in = address.s_addr;
}

void copy_text(char *target, std::size_t capacity, std::string_view text) {
    std::size_t length = text.size() < capacity ? text.size() : capacity - 1;
    std::memcpy(target, text.data(), length);
    target[length] = '\0';
}

// Fills what the kernel's per-device ioctls tell (SIOCGIFHWADDR,
// SIOCGIFMTU, SIOCGIFTXQLEN), from the link records of the same reading:
// one dump answers for every device at once, where the ioctls cost a
// system call and a name lookup each. Aliases ("eth0:1") answer for their
// device. 0, or ENXIO when there is no such device.
int read_device_details(const DeviceLink *device, sigar_net_interface_config_t &config) {
    if (device == nullptr)
        return ENXIO;
    copy_text(config.type, sizeof config.type, type_name_of(device->hardware_type));
    std::memcpy(config.hwaddr.addr.mac, device->mac.data(), device->mac.size());
    config.hwaddr.family = SIGAR_AF_LINK;
    config.mtu = device->mtu;
    config.tx_queue_len = device->tx_queue_len;
    // Linux answers SIOCGIFMETRIC with 0 for every device (the field is
    // unused), which tools show as 1; asking cost a system call per
    // interface and a fifth of a whole enumeration.
    config.metric = 1;
    return 0;
}

void fill_addresses(const InterfaceEntry &entry, sigar_net_interface_config_t &config) {
    if (entry.ipv4) {
        set_ipv4(config.address, entry.ipv4->address);
        set_ipv4(config.netmask, entry.ipv4->netmask);
        if (entry.ipv4->broadcast)
            set_ipv4(config.broadcast, *entry.ipv4->broadcast);
        if (entry.ipv4->destination)
            set_ipv4(config.destination, *entry.ipv4->destination);
    }
    if (entry.ipv6) {
        config.address6.family = SIGAR_AF_INET6;
        std::memcpy(config.address6.addr.in6, entry.ipv6->address.s6_addr,
                    sizeof config.address6.addr.in6);
        config.prefix6_length = entry.ipv6->prefix_length;
        config.scope6 = scope_of(entry.ipv6->address);
    }
}

} // namespace

extern "C" SIGAR_DECLARE(int)
    sigar_net_interface_list_get(sigar_t *sigar, sigar_net_interface_list_t *iflist) {
    if (sigar == nullptr || iflist == nullptr)
        return EINVAL;
    *iflist = {};

    // The records are read from the kernel's link and address dumps, which
    // also give the devices' order; a label that appears before SIOCGIFCONF
    // lists it is then listed but not found.
    InterfaceSnapshot snapshot;
    if (int error = InterfaceSnapshot::take(snapshot); error != 0)
        return error;
    std::vector<std::string> names;
    if (int error = korvex::sigar::list_interface_names(snapshot.device_names(),
                                                        snapshot.ipv4_addresses(), names);
        error != 0)
        return error;

    unsigned long count = names.size();
    // One slot more than needed, so an empty namespace still gets an array.
    auto **data = static_cast<char **>(std::calloc(count + 1, sizeof(char *)));
    if (data == nullptr)
        return ENOMEM;
    for (unsigned long i = 0; i < count; ++i) {
        data[i] = ::strdup(names[i].c_str());
        if (data[i] == nullptr) {
            free_names(data, i);
            return ENOMEM;
        }
    }

    iflist->number = count;
    iflist->size = count + 1;
    iflist->data = data;
    sigar->enumeration = std::move(snapshot);
    return SIGAR_OK;
}

extern "C" SIGAR_DECLARE(int)
    sigar_net_interface_list_destroy(sigar_t *sigar, sigar_net_interface_list_t *iflist) {
    if (sigar != nullptr)
        sigar->enumeration.reset();
    if (iflist == nullptr)
        return EINVAL;
    free_names(iflist->data, iflist->number);
    *iflist = {};
    return SIGAR_OK;
}

extern "C" SIGAR_DECLARE(int)
    sigar_net_interface_config_get(sigar_t *sigar, const char *name,
                                   sigar_net_interface_config_t *ifconfig) {
    if (sigar == nullptr || name == nullptr || ifconfig == nullptr)
        return EINVAL;

    sigar_net_interface_config_t config{};
    // Outside an enumeration every call reads afresh what the name needs,
    // its device and that device's addresses, as SIGAR's ioctls would.
    InterfaceSnapshot fresh;
    const InterfaceSnapshot *snapshot = nullptr;
    if (sigar->enumeration) {
        snapshot = &*sigar->enumeration;
    } else {
        if (int error = InterfaceSnapshot::take_device(fresh, name); error != 0)
            return error;
        snapshot = &fresh;
    }

    const InterfaceEntry *entry = snapshot->find(name);
    if (entry == nullptr)
        return ENXIO;

    copy_text(config.name, sizeof config.name, name);
    copy_text(config.description, sizeof config.description, name);
    config.flags = sigar_flags_of(entry->link_flags);
    if (int error = read_device_details(snapshot->device_link(name), config); error != 0)
        return error;
    fill_addresses(*entry, config);

    *ifconfig = config;
    return SIGAR_OK;
}
