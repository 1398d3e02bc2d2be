// The configuration file of a private system bus, from data/private-system-bus.conf.in
// as scripts/run-demo fills it in too.
#ifndef KORVEX_TEST_BUS_CONFIG_H
#define KORVEX_TEST_BUS_CONFIG_H

#include <string>

namespace korvex::test {

struct BusConfig {
    std::string socket_path{};
    std::string include_dir{};  // the services' policy files
    std::string extra_policy{}; // further <policy> elements
    // Bus activation, each left out while empty.
    std::string user{};
    std::string service_helper{};
    std::string service_dir{};
};

std::string system_bus_config(const BusConfig &config);

} // namespace korvex::test

#endif
