// One rtnetlink dump request and its answer, read the way getifaddrs reads
// it, on a socket owned by the reader.
#ifndef KORVEX_SIGAR_ROUTE_DUMP_H
#define KORVEX_SIGAR_ROUTE_DUMP_H

#include <linux/netlink.h>

#include <cstdint>
#include <functional>
#include <string_view>
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

    // The addresses of the interface with index `index` only, of every
    // family, each handed to `each`. The kernel filters them where it can
    // (strict checking, Linux 4.19 and later); older kernels answer with
    // every address, so `each` must still look at the index. Errors as for
    // dump(); ENODEV when the interface went away.
    int dump_addresses_of(int index, const std::function<void(const nlmsghdr &)> &each);

    // The one link the kernel finds under `name`, handed to `each`, with
    // `extension_mask` as for dump(). The kernel also finds a link under an
    // alternative name, so `each` must compare the name it gets. 0, ENODEV
    // when there is no such link, or an errno.
    int get_link(std::string_view name, std::uint32_t extension_mask,
                 const std::function<void(const nlmsghdr &)> &each);

private:
    int exchange(nlmsghdr &request, bool dump,
                 const std::function<void(const nlmsghdr &)> &each);

    UniqueFd socket_;
    std::uint32_t sequence_ = 0;
    std::vector<char> buffer_;
};

} // namespace korvex::sigar

#endif
