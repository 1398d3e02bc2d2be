#include "loopback_ports.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace korvex::test {

namespace {

// A socket of `type` bound to 127.0.0.1 on a port the kernel picks.
int bound_loopback_socket(int type, int &port) {
    const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        const int error = errno;
        close(fd);
        throw std::runtime_error(std::string("bind: ") + std::strerror(error));
    }
    port = ntohs(address.sin_port);
    return fd;
}

} // namespace

RefusingTcpPort::RefusingTcpPort() { fd_ = bound_loopback_socket(SOCK_STREAM, port_); }

RefusingTcpPort::~RefusingTcpPort() { close(fd_); }

TftpNotFoundPort::TftpNotFoundPort() {
    fd_ = bound_loopback_socket(SOCK_DGRAM, port_);
    server_ = std::thread([this] { serve(); });
}

TftpNotFoundPort::~TftpNotFoundPort() {
    stop_ = true;
    server_.join();
    close(fd_);
}

void TftpNotFoundPort::serve() {
    // ERROR packet: opcode 5, code 1 (file not found), message, NUL.
    static const char not_found[] = "\0\5\0\1no such file";
    while (!stop_) {
        pollfd ready{fd_, POLLIN, 0};
        if (poll(&ready, 1, 100) <= 0)
            continue;
        char request[1024];
        sockaddr_in from{};
        socklen_t length = sizeof from;
        if (recvfrom(fd_, request, sizeof request, 0, reinterpret_cast<sockaddr *>(&from),
                     &length) < 0)
            continue;
        ++requests_;
        sendto(fd_, not_found, sizeof not_found, 0, reinterpret_cast<sockaddr *>(&from), length);
    }
}

} // namespace korvex::test
