#include "route_dump.h"

#include <linux/if_link.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <net/if.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

namespace korvex::sigar {

namespace {

// The kernel fills dump answers up to the reader's buffer size, 32 kB at
// most; a buffer that large keeps the number of reads down.
constexpr std::size_t answer_buffer_size = 32 * 1024;

} // namespace

int RouteDumpReader::open() {
    socket_ = UniqueFd(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
    if (!socket_)
        return errno != 0 ? errno : EIO;
    buffer_.resize(answer_buffer_size);
    return 0;
}

int RouteDumpReader::dump(std::uint16_t type, std::uint32_t extension_mask,
                          const std::function<void(const nlmsghdr &)> &each) {
    // Without attributes the fixed part is the family byte alone, as
    // getifaddrs asks; IFLA_EXT_MASK must follow a whole ifinfomsg.
    struct alignas(NLMSG_ALIGNTO) Request {
        nlmsghdr header;
        ifinfomsg fixed;
        rtattr mask_attribute;
        std::uint32_t mask;
    } request{};
    static_assert(offsetof(Request, mask_attribute) == NLMSG_LENGTH(sizeof(ifinfomsg)));
    static_assert(offsetof(Request, mask) == offsetof(Request, mask_attribute) + RTA_LENGTH(0));

    request.header.nlmsg_type = type;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.fixed.ifi_family = AF_UNSPEC;
    std::size_t length = NLMSG_LENGTH(sizeof(rtgenmsg));
    if (extension_mask != 0) {
        length = NLMSG_LENGTH(sizeof(ifinfomsg));
        request.mask_attribute.rta_type = IFLA_EXT_MASK;
        request.mask_attribute.rta_len = RTA_LENGTH(sizeof request.mask);
        request.mask = extension_mask;
        length += RTA_SPACE(sizeof request.mask);
    }
    request.header.nlmsg_len = static_cast<std::uint32_t>(length);
    return exchange(request.header, true, each);
}

int RouteDumpReader::dump_addresses_of(int index,
                                       const std::function<void(const nlmsghdr &)> &each) {
    // Only a strictly checked request is filtered by the kernel; it must
    // then be a whole ifaddrmsg with nothing else set. A kernel without
    // strict checking refuses the option and answers with every address.
    const int on = 1;
    ::setsockopt(socket_.get(), SOL_NETLINK, NETLINK_GET_STRICT_CHK, &on, sizeof on);
    struct alignas(NLMSG_ALIGNTO) Request {
        nlmsghdr header;
        ifaddrmsg fixed;
    } request{};
    request.header.nlmsg_len = NLMSG_LENGTH(sizeof(ifaddrmsg));
    request.header.nlmsg_type = RTM_GETADDR;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.fixed.ifa_family = AF_UNSPEC;
    request.fixed.ifa_index = static_cast<std::uint32_t>(index);
    return exchange(request.header, true, each);
}

int RouteDumpReader::get_link(std::string_view name, std::uint32_t extension_mask,
                              const std::function<void(const nlmsghdr &)> &each) {
    if (name.empty() || name.size() >= IFNAMSIZ || name.find('\0') != std::string_view::npos)
        return ENODEV; // no link can have such a name
    struct alignas(NLMSG_ALIGNTO) Request {
        nlmsghdr header;
        ifinfomsg fixed;
        rtattr name_attribute;
        char name[RTA_ALIGN(IFNAMSIZ)];
        rtattr mask_attribute;
        std::uint32_t mask;
    } request{};
    static_assert(offsetof(Request, name_attribute) == NLMSG_LENGTH(sizeof(ifinfomsg)));
    static_assert(offsetof(Request, name) == offsetof(Request, name_attribute) + RTA_LENGTH(0));
    static_assert(offsetof(Request, mask_attribute) ==
                  offsetof(Request, name) + RTA_ALIGN(IFNAMSIZ));

    request.header.nlmsg_type = RTM_GETLINK;
    request.header.nlmsg_flags = NLM_F_REQUEST;
    request.fixed.ifi_family = AF_UNSPEC;
    request.name_attribute.rta_type = IFLA_IFNAME;
    // The attribute spans the whole zero-padded slot: the kernel finds the
    // next attribute where this one's length ends.
    request.name_attribute.rta_len = RTA_LENGTH(sizeof request.name);
    std::memcpy(request.name, name.data(), name.size());
    request.mask_attribute.rta_type = IFLA_EXT_MASK;
    request.mask_attribute.rta_len = RTA_LENGTH(sizeof request.mask);
    request.mask = extension_mask;
    request.header.nlmsg_len = static_cast<std::uint32_t>(sizeof request);
    return exchange(request.header, false, each);
}

// Sends the request (its length in its header, the sequence number set here) and reads the kernel's
// answer to it: a dump up to its end, or the one message of a plain request.
int RouteDumpReader::exchange(nlmsghdr &request, bool dump,
                              const std::function<void(const nlmsghdr &)> &each) {
    const std::uint32_t sequence = ++sequence_;
    request.nlmsg_seq = sequence;

    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(socket_.get(), &request, request.nlmsg_len, 0,
                 reinterpret_cast<sockaddr *>(&kernel), sizeof kernel) < 0)
        return errno != 0 ? errno : EIO;

    bool interrupted = false;
    while (true) {
        iovec part{buffer_.data(), buffer_.size()};
        sockaddr_nl sender{};
        msghdr message{};
        message.msg_name = &sender;
        message.msg_namelen = sizeof sender;
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        const ssize_t received = ::recvmsg(socket_.get(), &message, 0);
        if (received < 0) {
            if (errno == EINTR)
                continue;
            return errno != 0 ? errno : EIO;
        }
        if ((message.msg_flags & MSG_TRUNC) != 0)
            return EMSGSIZE;

        int remaining = static_cast<int>(received);
        for (auto *header = reinterpret_cast<const nlmsghdr *>(buffer_.data());
             NLMSG_OK(header, remaining); header = NLMSG_NEXT(header, remaining)) {
            // Only the kernel's answer to this request counts.
            if (sender.nl_pid != 0 || header->nlmsg_seq != sequence)
                continue;
            if ((header->nlmsg_flags & NLM_F_DUMP_INTR) != 0)
                interrupted = true;
            if (header->nlmsg_type == NLMSG_DONE) {
                // A dump that failed says why in its end: a negative errno.
                int error = 0;
                if (header->nlmsg_len >= NLMSG_LENGTH(sizeof error))
                    std::memcpy(&error, NLMSG_DATA(header), sizeof error);
                if (error < 0)
                    return -error;
                return interrupted ? EAGAIN : 0;
            }
            if (header->nlmsg_type == NLMSG_ERROR) {
                const auto *error = static_cast<const nlmsgerr *>(NLMSG_DATA(header));
                return error->error != 0 ? -error->error : EIO;
            }
            each(*header);
            if (!dump)
                return 0;
        }
    }
}

} // namespace korvex::sigar
