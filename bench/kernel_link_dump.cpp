#include "kernel_link_dump.h"

#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

namespace korvex::bench {

namespace {

class Socket {
public:
    Socket() : fd_(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE)) {}
    ~Socket() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Socket(const Socket &) = delete;
    Socket &operator=(const Socket &) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

} // namespace

// One dump of `type` read to its end; the number of `record` messages.
int dump_every(std::uint16_t type, std::uint16_t record) {
    Socket socket;
    if (socket.get() < 0)
        return -1;
    struct {
        nlmsghdr header;
        ifinfomsg fixed;
        rtattr mask_attribute;
        std::uint32_t mask;
    } request{};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = type;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = 1;
    request.fixed.ifi_family = AF_UNSPEC;
    request.mask_attribute.rta_type = IFLA_EXT_MASK;
    request.mask_attribute.rta_len = RTA_LENGTH(sizeof request.mask);
    request.mask = RTEXT_FILTER_SKIP_STATS;
    if (::send(socket.get(), &request, sizeof request, 0) < 0)
        return -1;

    std::vector<char> buffer(32 * 1024);
    int records = 0;
    while (true) {
        const ssize_t received = ::recv(socket.get(), buffer.data(), buffer.size(), 0);
        if (received <= 0)
            return -1;
        int remaining = static_cast<int>(received);
        for (auto *header = reinterpret_cast<const nlmsghdr *>(buffer.data());
             NLMSG_OK(header, remaining); header = NLMSG_NEXT(header, remaining)) {
            if (header->nlmsg_type == NLMSG_DONE)
                return records;
            if (header->nlmsg_type == NLMSG_ERROR)
                return -1;
            if (header->nlmsg_type == record)
                ++records;
        }
    }
}

int dump_every_link() { return dump_every(RTM_GETLINK, RTM_NEWLINK); }

int dump_every_address() { return dump_every(RTM_GETADDR, RTM_NEWADDR); }

} // namespace korvex::bench
