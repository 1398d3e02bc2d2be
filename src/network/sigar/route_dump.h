// One rtnetlink dump request and its answer, read the way getifaddrs reads
// it, on a socket owned by the reader.
#ifndef KORVEX_SIGAR_ROUTE_DUMP_H
#define KORVEX_SIGAR_ROUTE_DUMP_H

#include <linux/netlink.h>

#include <cstdint>
#include <functional>
#include <vector>

#include <korvex/owners.h>

namespace korvex::sigar {

class RouteDumpReader {
public:
    // 0, or the errno of opening the netlink socket.
    int open();

    // Asks for every object of `type` (RTM_GETLINK, RTM_GETADDR) of every
    // address family and hands each message of the answer to `each`.
    // `extension_mask`, when not 0, is sent as IFLA_EXT_MASK. 0; EAGAIN
    // when the kernel reports that the objects changed during the dump, so
    // the answer may be inconsistent; or an errno.
    int dump(std::uint16_t type, std::uint32_t extension_mask,
             const std::function<void(const nlmsghdr &)> &each);

private:
    UniqueFd socket_;
    std::uint32_t sequence_ = 0;
    std::vector<char> buffer_;
};

} // namespace korvex::sigar

#endif
