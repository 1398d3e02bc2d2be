// The configuration file of a private system bus, filled in from the
// template data/private-system-bus.conf.in that scripts/run-demo uses too.
// Bus activation is set up only when asked for.
#ifndef KORVEX_TEST_BUS_CONFIG_H
#define KORVEX_TEST_BUS_CONFIG_H

#include <string>

namespace korvex::test {

struct BusConfig {
    std::string socket_path;
    // The folder of the services' policy files (<includedir>).
    std::string include_dir;
    // Further <policy> elements, e.g. to let root own a test agent's name.
    std::string extra_policy;
    // Bus activation, each left out while empty: the daemon's user, the
    // setuid helper that starts services, their .service folder.
    std::string user;
    std::string service_helper;
    std::string service_dir;
};

std::string system_bus_config(const BusConfig &config);

} // namespace korvex::test

#endif
