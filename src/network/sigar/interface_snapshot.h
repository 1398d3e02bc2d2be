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
#include <vector>

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

    // What take() would hold about `name` alone, read at the cost of one
    // device whatever the namespace holds: the device that the name names
    // (up to its first colon, as the interface ioctls read it) and that
    // device's addresses. Empty when there is no such device.
    static int take_device(InterfaceSnapshot &snapshot, std::string_view name);

    // Exact, case-sensitive match; nullptr when the name is not there.
    const InterfaceEntry *find(std::string_view name) const;

    // The link of the device that the interface ioctls would answer for
    // under `name`: an alias label ("eth0:1") answers for its device
    // ("eth0"). nullptr when there is no such device.
    const DeviceLink *device_link(std::string_view name) const;

    // The devices in the order of the kernel's link dump, which is the
    // order of /proc/net/dev.
    const std::vector<std::string> &device_names() const { return device_names_; }
    // How many IPv4 addresses the reading met, whatever their labels.
    std::size_t ipv4_addresses() const { return ipv4_addresses_; }

private:
    // Every device without `device`, else that one; read again while the
    // kernel reports that the interfaces changed during the reading.
    static int read_consistently(InterfaceSnapshot &snapshot,
                                 std::optional<std::string_view> device);
    int read(std::optional<std::string_view> device);
    InterfaceEntry &entry_for(const std::string &name);

    std::unordered_map<std::string, InterfaceEntry> entries_;
    std::unordered_map<std::string, DeviceLink> devices_;
    std::vector<std::string> device_names_;
    std::size_t ipv4_addresses_ = 0;
};

} // namespace korvex::sigar

#endif
