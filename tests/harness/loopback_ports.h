// Ports on 127.0.0.1 for URIs that must go nowhere: a TCP port bound but never listening
// (refused, and nobody else can take it), and a UDP port answering every TFTP request at once
// with "file not found".
#ifndef KORVEX_TEST_LOOPBACK_PORTS_H
#define KORVEX_TEST_LOOPBACK_PORTS_H

#include <atomic>
#include <thread>

namespace korvex::test {

class RefusingTcpPort {
public:
    RefusingTcpPort();
    ~RefusingTcpPort();
    RefusingTcpPort(const RefusingTcpPort &) = delete;
    RefusingTcpPort &operator=(const RefusingTcpPort &) = delete;

    int port() const { return port_; }

private:
    int fd_ = -1;
    int port_ = 0;
};

class TftpNotFoundPort {
public:
    TftpNotFoundPort();
    ~TftpNotFoundPort();

    int port() const { return port_; }
    int requests() const { return requests_; }

private:
    void serve();

    int fd_ = -1;
    int port_ = 0;
    std::atomic<int> requests_{0};
    std::thread server_;
};

} // namespace korvex::test

#endif
