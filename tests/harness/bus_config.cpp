#include "bus_config.h"

#include <sstream>

#include "temp_dir.h"

#ifndef KORVEX_SOURCE_DIR
#error "KORVEX_SOURCE_DIR must name the source folder"
#endif

namespace korvex::test {

namespace {

// An element line, or nothing for an empty value.
std::string element(const std::string &name, const std::string &value) {
    if (value.empty())
        return "";
    return "  <" + name + ">" + value + "</" + name + ">\n";
}

} // namespace

std::string system_bus_config(const BusConfig &config) {
    std::istringstream in(read_file(KORVEX_SOURCE_DIR "/data/private-system-bus.conf.in"));
    const std::string activation = element("user", config.user) +
                                   element("servicehelper", config.service_helper) +
                                   element("servicedir", config.service_dir);
    std::ostringstream out;
    std::string line;
    while (std::getline(in, line)) {
        if (line == "@ACTIVATION@")
            out << activation;
        else if (line == "@EXTRA_POLICY@")
            out << config.extra_policy << (config.extra_policy.empty() ? "" : "\n");
        else if (auto at = line.find("@SOCKET@"); at != std::string::npos)
            out << line.replace(at, 8, config.socket_path) << '\n';
        else if (auto at = line.find("@INCLUDEDIR@"); at != std::string::npos)
            out << line.replace(at, 12, config.include_dir) << '\n';
        else
            out << line << '\n';
    }
    return out.str();
}

} // namespace korvex::test
