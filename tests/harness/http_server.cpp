#include "http_server.h"

#include <stdexcept>

#include <sys/stat.h>

namespace korvex::test {

HttpServer::HttpServer() {
    mkdir(dir_.file("served").c_str(), 0755);
    ProcessOptions options = command(
        {KX_TEST_PYTHON, KX_HTTP_SERVER_SCRIPT, dir_.file("served"), dir_.file("requests")});
    options.stdout_path = dir_.file("port");
    options.stderr_path = dir_.file("stderr");
    process_ = std::make_unique<Process>(options);
    const bool listening = wait_until(
        [&] {
            const std::string text = read_file(dir_.file("port"));
            if (text.find('\n') == std::string::npos)
                return !process_->running();
            port_ = text.substr(0, text.find('\n'));
            return true;
        },
        std::chrono::seconds(30));
    if (!listening || port_.empty())
        throw std::runtime_error("HTTP server did not start: " + read_file(dir_.file("stderr")));
}

std::string HttpServer::publish(const std::string &name, const std::string &content) {
    write_file(dir_.file("served/" + name), content);
    return url("/" + name);
}

std::string HttpServer::url(const std::string &path, const std::string &scheme) const {
    return scheme + "://127.0.0.1:" + port_ + path;
}

std::vector<std::string> HttpServer::requests() const {
    return split_lines(read_file(dir_.file("requests")));
}

} // namespace korvex::test
