// One reading of every interface and address of the network namespace,
// taken with getifaddrs, kept by name in the kernel's enumeration order.
#ifndef KORVEX_SIGAR_INTERFACE_SNAPSHOT_H
#define KORVEX_SIGAR_INTERFACE_SNAPSHOT_H

#include <netinet/in.h>

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
    unsigned int link_flags = 0;  // Linux IFF_* bits
    std::optional<Ipv4Assignment> ipv4;
    std::optional<Ipv6Assignment> ipv6;
};

class InterfaceSnapshot {
public:
    // 0 and *snapshot filled, or the errno of getifaddrs.
    static int take(InterfaceSnapshot &snapshot);

    // Links in interface index order, then IPv4 alias labels (names that
    // only carry an address) in the order of their first address.
    const std::vector<std::string> &names() const { return names_; }

    // Exact, case-sensitive match; nullptr when the name is not there.
    const InterfaceEntry *find(std::string_view name) const;

private:
    InterfaceEntry &entry_for(const char *name);

    std::vector<std::string> names_;
    std::unordered_map<std::string, InterfaceEntry> entries_;
};

}  // namespace korvex::sigar

#endif
