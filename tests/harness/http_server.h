// The tests' HTTP server (http_server.py) on 127.0.0.1, on a port the kernel picked: fixed
// answers, the files published through it, and a record of every path asked for.
#ifndef KORVEX_TEST_HTTP_SERVER_H
#define KORVEX_TEST_HTTP_SERVER_H

#include <memory>

#include "process.h"
#include "temp_dir.h"

namespace korvex::test {

class HttpServer {
public:
    HttpServer();

    // Makes `content` available as /name; returns its URL.
    std::string publish(const std::string &name, const std::string &content);
    std::string url(const std::string &path, const std::string &scheme = "http") const {
        return scheme + "://127.0.0.1:" + port_ + path;
    }
    std::vector<std::string> requests() const; // paths asked for so far, in order

private:
    TempDir dir_{"korvex-http"};
    std::unique_ptr<Process> process_;
    std::string port_;
};

} // namespace korvex::test

#endif
