#include "loopback_ports.h"

#include <cerrno>
#include <stdexcept>
#include <system_error>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace korvex::test {

static int bound_loopback_socket(int type, int &port) {
    const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in address{
        .sin_family = AF_INET, .sin_port = 0, .sin_addr = {htonl(INADDR_LOOPBACK)}, .sin_zero = {}};
    socklen_t length = sizeof address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        throw std::system_error(errno, std::generic_category(), "cannot bind a loopback socket");
    port = ntohs(address.sin_port);
    return fd;
}

RefusingTcpPort::RefusingTcpPort() { fd_ = bound_loopback_socket(SOCK_STREAM, port_); }

RefusingTcpPort::~RefusingTcpPort() { close(fd_); }

TftpNotFoundPort::TftpNotFoundPort() {
    fd_ = bound_loopback_socket(SOCK_DGRAM, port_);
    server_ = std::thread([this] { serve(); });
}

TftpNotFoundPort::~TftpNotFoundPort() {
    // Ends the server's recvfrom with 0 bytes, even on an unconnected UDP socket.
    shutdown(fd_, SHUT_RDWR);
    server_.join();
    close(fd_);
}

void TftpNotFoundPort::serve() {
    // ERROR packet: opcode 5, code 1 (file not found), message, NUL.
    static const char not_found[] = "\0\5\0\1no such file";
    char request[1024];
    sockaddr_in from{};
    auto *sender = reinterpret_cast<sockaddr *>(&from);
    socklen_t length = sizeof from;
    while (recvfrom(fd_, request, sizeof request, 0, sender, &length) > 0) {
        ++requests_;
        sendto(fd_, not_found, sizeof not_found, 0, sender, length);
    }
}

} // namespace korvex::test
