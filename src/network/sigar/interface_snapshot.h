// One reading of every interface and address of the network namespace,
// taken from the kernel's link and address dumps as getifaddrs takes it,
// kept by name (links and alias labels), together with what the
// per-device ioctls would tell about each link.
#ifndef KORVEX_SIGAR_INTERFACE_SNAPSHOT_H
#define KORVEX_SIGAR_INTERFACE_SNAPSHOT_H

#include <netinet/in.h>

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace korvex::sigar {

struct Ipv4Assignment {
    in_addr address{};
    in_addr netmask{};
    std::optional<in_addr> broadcast;
    std::optional<in_addr> destination;
};

struct Ipv6Assignment {
    in6_addr address{};
    int prefix_length = 0;
};

struct InterfaceEntry {
    unsigned int link_flags = 0; // Linux IFF_* bits
    std::optional<Ipv4Assignment> ipv4;
    std::optional<Ipv6Assignment> ipv6;
};

// A device's link as SIOCGIFHWADDR, SIOCGIFMTU and SIOCGIFTXQLEN give it.
struct DeviceLink {
    unsigned short hardware_type = 0;   // ARPHRD_*
    std::array<unsigned char, 6> mac{}; // leading bytes of the link address, zero when shorter
    unsigned int mtu = 0;
    unsigned int tx_queue_len = 0;
};

class InterfaceSnapshot {
public:
    // 0 and *snapshot filled, or an errno.
    static int take(InterfaceSnapshot &snapshot);

    // Exact, case-sensitive match; nullptr when the name is not there.
    const InterfaceEntry *find(std::string_view name) const;

    // The link of the device that the interface ioctls would answer for
    // under `name`: an alias label ("eth0:1") answers for its device
    // ("eth0"). nullptr when there is no such device.
    const DeviceLink *device_link(std::string_view name) const;

private:
    int read();
    InterfaceEntry &entry_for(const std::string &name);

    std::unordered_map<std::string, InterfaceEntry> entries_;
    std::unordered_map<std::string, DeviceLink> devices_;
};

} // namespace korvex::sigar

#endif
