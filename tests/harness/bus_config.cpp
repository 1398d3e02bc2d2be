#include "bus_config.h"

#include "temp_dir.h"

namespace korvex::test {

std::string system_bus_config(const BusConfig &config) {
    std::string text = read_file(KORVEX_SOURCE_DIR "/data/private-system-bus.conf.in");
    const auto fill = [&text](const std::string &key, const std::string &value) {
        text.replace(text.find(key), key.size(), value);
    };
    const auto element = [](const std::string &name, const std::string &value) {
        return value.empty() ? "" : "  <" + name + ">" + value + "</" + name + ">\n";
    };
    // The @ACTIVATION@ and @EXTRA_POLICY@ lines go when they would be empty.
    fill("@ACTIVATION@\n", element("user", config.user) +
                               element("servicehelper", config.service_helper) +
                               element("servicedir", config.service_dir));
    fill("@EXTRA_POLICY@\n", config.extra_policy.empty() ? "" : config.extra_policy + "\n");
    fill("@SOCKET@", config.socket_path);
    fill("@INCLUDEDIR@", config.include_dir);
    return text;
}

} // namespace korvex::test
