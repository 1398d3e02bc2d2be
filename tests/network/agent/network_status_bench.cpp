// Starts a private bus, polkitd and network-dbus inside an existing network
// namespace, then times `status` calls one by one as root.
// Usage: network_status_bench NAMESPACE IFACE CALLS
// Prints "MEDIAN_US MIN_US MAX_US STATUS" on one line.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bus_client.h"
#include "test_bus.h"

using namespace korvex::test;

int main(int argc, char **argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s NAMESPACE IFACE CALLS\n", argv[0]);
        return 2;
    }
    const std::string space = argv[1];
    const std::string iface = argv[2];
    const int calls = std::max(1, std::atoi(argv[3]));

    TestSystemBus bus;
    Agent agent(bus, AgentOptions{{NETWORK_AGENT_PATH},
                                  {"ip", "netns", "exec", space},
                                  {},
                                  "/",
                                  "org.vaduderuvoziz.Network"});
    if (!agent.wait_for_name()) {
        std::fprintf(stderr, "agent did not start:\n%s", agent.stderr_text().c_str());
        return 1;
    }
    BusClient client(bus.address());
    auto status = [&] {
        return client.call("org.vaduderuvoziz.Network", "/org/vaduderuvoziz/Network",
                           "org.vaduderuvoziz.Network", "status", {Arg::s(iface)});
    };

    // The first call also pays for polkitd loading its rules.
    Reply first = status();
    if (!first.ok) {
        std::fprintf(stderr, "status failed: %s: %s\n", first.error_name.c_str(),
                     first.error_message.c_str());
        return 1;
    }

    std::vector<double> micros;
    micros.reserve(calls);
    for (int i = 0; i < calls; ++i) {
        const auto begin = std::chrono::steady_clock::now();
        Reply reply = status();
        const auto end = std::chrono::steady_clock::now();
        if (!reply.ok) {
            std::fprintf(stderr, "status failed: %s\n", reply.error_message.c_str());
            return 1;
        }
        micros.push_back(std::chrono::duration<double, std::micro>(end - begin).count());
    }
    std::sort(micros.begin(), micros.end());
    std::printf("%.0f %.0f %.0f %s\n", micros[micros.size() / 2], micros.front(), micros.back(),
                first.str().c_str());
    return 0;
}
