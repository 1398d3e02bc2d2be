#include "interface_snapshot.h"

#include "route_dump.h"

#include <linux/if_addr.h>
#include <linux/if_link.h>
#include <linux/rtnetlink.h>
#include <net/if.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace korvex::sigar {

namespace {

// getifaddrs itself starts over whenever the interfaces changed while it
// read them; so does the snapshot, but not for ever.
constexpr int attempts_at_consistency = 16;

// A link as the address records refer to it, by interface index.
struct IndexedLink {
    std::string name;
    unsigned int flags = 0;
};

// One address as getifaddrs would have reported it: the slot for the
// address itself and the one it shares for the broadcast or peer address.
struct AddressSlot {
    bool set = false;
    in6_addr bytes{}; // an IPv4 address in the first four bytes
};

struct AddressRecord {
    AddressSlot address;
    AddressSlot other_end;
    std::string label;
};

// Hands each attribute to `visit` while it answers true.
template <typename Visit>
void for_each_attribute(const rtattr *first, int length, Visit visit) {
    for (const rtattr *attribute = first; RTA_OK(attribute, length) && visit(*attribute);
         attribute = RTA_NEXT(attribute, length)) {
    }
}

std::string text_of(const rtattr &attribute) {
    const char *data = static_cast<const char *>(RTA_DATA(&attribute));
    const std::size_t payload = RTA_PAYLOAD(&attribute);
    return std::string(data, strnlen(data, payload));
}

unsigned int number_of(const rtattr &attribute) {
    std::uint32_t value = 0;
    if (RTA_PAYLOAD(&attribute) >= sizeof value)
        std::memcpy(&value, RTA_DATA(&attribute), sizeof value);
    return value;
}

// The payload counts only when it is exactly one address of the family;
// otherwise the slot is set but stays zero, as getifaddrs leaves it.
AddressSlot slot_of(const rtattr &attribute, int family) {
    AddressSlot slot;
    slot.set = true;
    const std::size_t size = family == AF_INET ? 4 : 16;
    if (RTA_PAYLOAD(&attribute) == size)
        std::memcpy(&slot.bytes, RTA_DATA(&attribute), size);
    return slot;
}

// The attributes of one address message, in the order the kernel sends
// them and with the same slot shuffling as getifaddrs: a point-to-point
// address comes as IFA_ADDRESS (the peer) and IFA_LOCAL (this end), and an
// address without broadcast or peer leaves a copy of itself in the other
// slot.
AddressRecord address_record_of(const nlmsghdr &header, const ifaddrmsg &fixed) {
    AddressRecord record;
    for_each_attribute(IFA_RTA(&fixed), static_cast<int>(IFA_PAYLOAD(&header)),
                       [&](const rtattr &attribute) {
                           switch (attribute.rta_type) {
                           case IFA_ADDRESS:
                               (record.address.set ? record.other_end : record.address) =
                                   slot_of(attribute, fixed.ifa_family);
                               break;
                           case IFA_LOCAL:
                               if (record.address.set)
                                   record.other_end = record.address;
                               record.address = slot_of(attribute, fixed.ifa_family);
                               break;
                           case IFA_BROADCAST:
                               record.other_end = slot_of(attribute, fixed.ifa_family);
                               break;
                           case IFA_LABEL:
                               record.label = text_of(attribute);
                               break;
                           default:
                               break;
                           }
                           return true;
                       });
    return record;
}

in_addr ipv4_of(const AddressSlot &slot) {
    in_addr address{};
    std::memcpy(&address, &slot.bytes, sizeof address);
    return address;
}

in_addr ipv4_netmask(unsigned int prefix_length) {
    const unsigned int bits = std::min(prefix_length, 32u);
    in_addr mask{};
    mask.s_addr = bits == 0 ? 0 : htonl(~std::uint32_t{0} << (32 - bits));
    return mask;
}

Ipv4Assignment ipv4_assignment(const AddressRecord &record, unsigned int prefix_length,
                               unsigned int link_flags) {
    Ipv4Assignment ipv4;
    ipv4.address = ipv4_of(record.address);
    ipv4.netmask = ipv4_netmask(prefix_length);
    // The other slot holding the address itself means "none".
    if (record.other_end.set) {
        const in_addr other = ipv4_of(record.other_end);
        if (other.s_addr != ipv4.address.s_addr) {
            if ((link_flags & IFF_POINTOPOINT) != 0)
                ipv4.destination = other;
            else if ((link_flags & IFF_BROADCAST) != 0)
                ipv4.broadcast = other;
        }
    }
    return ipv4;
}

// The kernel sends the four attributes read here before the statistics and
// the per-family blocks that make up most of a record; the walk ends once
// it has them.
DeviceLink device_link_of(const nlmsghdr &header, const ifinfomsg &fixed, std::string &name) {
    DeviceLink link;
    link.hardware_type = fixed.ifi_type;
    int missing = 4;
    for_each_attribute(
        IFLA_RTA(&fixed), static_cast<int>(IFLA_PAYLOAD(&header)), [&](const rtattr &attribute) {
            switch (attribute.rta_type) {
            case IFLA_IFNAME:
                name = text_of(attribute);
                break;
            case IFLA_ADDRESS:
                std::memcpy(link.mac.data(), RTA_DATA(&attribute),
                            std::min<std::size_t>(RTA_PAYLOAD(&attribute), link.mac.size()));
                break;
            case IFLA_MTU:
                link.mtu = number_of(attribute);
                break;
            case IFLA_TXQLEN:
                link.tx_queue_len = number_of(attribute);
                break;
            default:
                return true;
            }
            return --missing > 0;
        });
    return link;
}

} // namespace

int InterfaceSnapshot::take(InterfaceSnapshot &snapshot) {
    return read_consistently(snapshot, std::nullopt);
}

int InterfaceSnapshot::take_device(InterfaceSnapshot &snapshot, std::string_view name) {
    const std::string_view device = name.substr(0, name.find(':'));
    if (device.empty()) {
        snapshot = InterfaceSnapshot(); // "" and ":1" name no device
        return 0;
    }
    return read_consistently(snapshot, device);
}

int InterfaceSnapshot::read_consistently(InterfaceSnapshot &snapshot,
                                         std::optional<std::string_view> device) {
    for (int attempt = 1;; ++attempt) {
        InterfaceSnapshot taken;
        const int error = taken.read(device);
        if (error == 0) {
            snapshot = std::move(taken);
            return 0;
        }
        if (error != EAGAIN || attempt == attempts_at_consistency)
            return error;
    }
}

int InterfaceSnapshot::read(std::optional<std::string_view> device) {
    RouteDumpReader reader;
    if (int error = reader.open(); error != 0)
        return error;

    // Statistics are the bulk of a link record and nothing here reads them.
    // The links are kept in their order first and indexed once all are
    // there, so that the maps are made at their size at once.
    struct DumpedLink {
        int index;
        IndexedLink indexed;
        DeviceLink link;
    };
    std::vector<DumpedLink> dumped;
    auto add_link = [&](const nlmsghdr &header) {
        if (header.nlmsg_type != RTM_NEWLINK || header.nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg)))
            return;
        const auto &fixed = *static_cast<const ifinfomsg *>(NLMSG_DATA(&header));
        std::string name;
        DeviceLink link = device_link_of(header, fixed, name);
        // The kernel finds a link under an alternative name too; that link
        // is not the device called so.
        if (device && name != *device)
            return;
        dumped.push_back({fixed.ifi_index, IndexedLink{std::move(name), fixed.ifi_flags}, link});
    };
    int error = 0;
    if (!device) {
        error = reader.dump(RTM_GETLINK, RTEXT_FILTER_SKIP_STATS, add_link);
    } else {
        error = reader.get_link(*device, RTEXT_FILTER_SKIP_STATS, add_link);
        if (error == ENODEV || (error == 0 && dumped.empty()))
            return 0; // no such device: nothing to hold
    }
    if (error != 0)
        return error;

    std::unordered_map<int, IndexedLink> links(dumped.size());
    entries_.reserve(dumped.size());
    devices_.reserve(dumped.size());
    device_names_.reserve(dumped.size());
    for (DumpedLink &each : dumped) {
        const std::string &name = each.indexed.name;
        if (!name.empty()) {
            entry_for(name).link_flags = each.indexed.flags;
            devices_[name] = each.link;
            device_names_.push_back(name);
        }
        links[each.index] = std::move(each.indexed);
    }

    bool unknown_link = false;
    auto add_address = [&](const nlmsghdr &header) {
        if (header.nlmsg_type != RTM_NEWADDR || header.nlmsg_len < NLMSG_LENGTH(sizeof(ifaddrmsg)))
            return;
        const auto &fixed = *static_cast<const ifaddrmsg *>(NLMSG_DATA(&header));
        if (fixed.ifa_family != AF_INET && fixed.ifa_family != AF_INET6)
            return;
        const auto link = links.find(static_cast<int>(fixed.ifa_index));
        if (link == links.end()) {
            // Reading one device, the kernel may still send every address;
            // reading all, the address belongs to a link that appeared
            // after the link dump.
            unknown_link = unknown_link || !device;
            return;
        }
        if (fixed.ifa_family == AF_INET)
            ++ipv4_addresses_;
        const AddressRecord record = address_record_of(header, fixed);
        // A label answers for the device its name begins with, as the
        // kernel's per-name ioctls read it: the kernel accepts any label on
        // any device, and one naming another device is not that device's.
        if (!record.label.empty() &&
            std::string_view(record.label).substr(0, record.label.find(':')) != link->second.name)
            return;
        const std::string &name = record.label.empty() ? link->second.name : record.label;
        if (name.empty())
            return;
        InterfaceEntry &entry = entry_for(name);
        entry.link_flags = link->second.flags;
        if (!record.address.set)
            return;

        // The first address of a label is its primary one, the one
        // SIOCGIFADDR would give.
        if (fixed.ifa_family == AF_INET && !entry.ipv4) {
            entry.ipv4 = ipv4_assignment(record, fixed.ifa_prefixlen, link->second.flags);
        } else if (fixed.ifa_family == AF_INET6 && !entry.ipv6) {
            Ipv6Assignment ipv6;
            ipv6.address = record.address.bytes;
            ipv6.prefix_length = std::min<int>(fixed.ifa_prefixlen, 128);
            entry.ipv6 = ipv6;
        }
    };
    if (!device) {
        error = reader.dump(RTM_GETADDR, 0, add_address);
    } else {
        error = reader.dump_addresses_of(dumped.front().index, add_address);
        if (error == ENODEV) {
            *this = InterfaceSnapshot(); // gone since its link was read
            return 0;
        }
    }
    if (error != 0)
        return error;
    return unknown_link ? EAGAIN : 0;
}

InterfaceEntry &InterfaceSnapshot::entry_for(const std::string &name) {
    return entries_.try_emplace(name).first->second;
}

const InterfaceEntry *InterfaceSnapshot::find(std::string_view name) const {
    auto position = entries_.find(std::string(name));
    return position == entries_.end() ? nullptr : &position->second;
}

const DeviceLink *InterfaceSnapshot::device_link(std::string_view name) const {
    // The kernel cuts an ioctl's interface name at the first colon.
    auto position = devices_.find(std::string(name.substr(0, name.find(':'))));
    return position == devices_.end() ? nullptr : &position->second;
}

} // namespace korvex::sigar
