#include "http_server.h"

#include <stdexcept>

#include <sys/stat.h>

namespace korvex::test {

HttpServer::HttpServer() {
    mkdir(dir_.file("served").c_str(), 0755);
    process_ = std::make_unique<Process>(ProcessOptions{
        .argv = {KX_TEST_PYTHON, KX_HTTP_SERVER_SCRIPT, dir_.file("served"), dir_.file("requests")},
        .stdout_path = dir_.file("port"),
        .stderr_path = dir_.file("stderr")});
    // The port and its newline come in one write.
    wait_until([&] { return !read_file(dir_.file("port")).empty() || !process_->running(); },
               std::chrono::seconds(30));
    port_ = read_file(dir_.file("port"));
    if (port_.empty())
        throw std::runtime_error("HTTP server did not start: " + read_file(dir_.file("stderr")));
    port_.pop_back();
}

std::string HttpServer::publish(const std::string &name, const std::string &content) {
    write_file(dir_.file("served/" + name), content);
    return url("/" + name);
}

std::vector<std::string> HttpServer::requests() const {
    return split_lines(read_file(dir_.file("requests")));
}

} // namespace korvex::test
