// kx-bench-network-status IFACE ROUNDS
//
// Run inside a network namespace (ip netns exec NS ...): times network-dbus
// answering `status IFACE` for a root caller, on a private bus with the
// real polkitd, against `ip -o link show dev IFACE` run in the same
// namespace, alternating the two. The library call alone
// (kx_network_status in this process) is timed beside them, which shows
// how the enumeration itself grows with the namespace, and so is the
// kernel's own part of it: one link dump read to its end.
//
// Prints FIGURE status.N (agent vs ip), FIGURE library.N (the library call
// vs ip) and FIGURE link-dump.N (the bare dump vs ip), N being the number
// of interfaces in the namespace.
#include <cstdio>
#include <cstdlib>
#include <string>

#include <korvex/network.h>

#include "agent_wrapper.h"
#include "bus_client.h"
#include "command_run.h"
#include "kernel_link_dump.h"
#include "sample_set.h"
#include "test_bus.h"

using namespace korvex::test;
using korvex::bench::agent_prefix;
using korvex::bench::dump_every_link;
using korvex::bench::print_figure;
using korvex::bench::run_to_end;
using korvex::bench::SampleSet;
using korvex::bench::timed;

namespace {

unsigned interface_count() {
    GList *list = kx_network_get_interfaces();
    const unsigned count = g_list_length(list);
    g_list_free_full(list, kx_network_interface_destroy);
    return count;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s IFACE ROUNDS\n", argv[0]);
        return 2;
    }
    const std::string iface = argv[1];
    const int rounds = std::max(1, std::atoi(argv[2]));
    const std::vector<std::string> ip = {"ip", "-o", "link", "show", "dev", iface};

    try {
        TestSystemBus bus;
        Agent agent(
            bus,
            AgentOptions{{KX_NETWORK_AGENT}, agent_prefix(), {}, "/", "org.vaduderuvoziz.Network"});
        if (!agent.wait_for_name()) {
            std::fprintf(stderr, "agent did not start:\n%s", agent.stderr_text().c_str());
            return 1;
        }
        BusClient client(bus.address());
        auto status = [&] {
            Reply reply = client.call("org.vaduderuvoziz.Network", "/org/vaduderuvoziz/Network",
                                      "org.vaduderuvoziz.Network", "status", {Arg::s(iface)});
            if (!reply.ok || reply.str() != "1")
                throw std::runtime_error("status " + iface + ": " + reply.error_message +
                                         (reply.ok ? reply.str() : ""));
            return 0;
        };
        auto library = [&] {
            uint64_t state = 0;
            if (kx_network_status(iface.c_str(), &state) != 0 || state != KX_NETWORK_IF_UP)
                throw std::runtime_error("kx_network_status " + iface + " is not up");
            return 0;
        };
        const int links = dump_every_link();
        if (links < 1)
            throw std::runtime_error("the kernel's link dump failed");
        auto link_dump = [&] {
            if (dump_every_link() != links)
                throw std::runtime_error("the namespace changed during the benchmark");
            return 0;
        };
        auto ip_link = [&] {
            if (run_to_end(ip) != 0)
                throw std::runtime_error("ip -o link show dev " + iface + " failed");
            return 0;
        };

        for (int i = 0; i < 5; ++i) {
            status();
            library();
            ip_link();
        }
        SampleSet agent_times, library_times, dump_times, ip_times;
        for (int round = 0; round < rounds; ++round) {
            if (round % 2 == 0) {
                timed(ip_times, ip_link);
                timed(agent_times, status);
                timed(library_times, library);
                timed(dump_times, link_dump);
            } else {
                timed(dump_times, link_dump);
                timed(library_times, library);
                timed(agent_times, status);
                timed(ip_times, ip_link);
            }
        }
        const std::string size = std::to_string(interface_count());
        print_figure("status." + size, agent_times, ip_times);
        print_figure("library." + size, library_times, ip_times);
        print_figure("link-dump." + size, dump_times, ip_times);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "kx-bench-network-status: %s\n", e.what());
        return 1;
    }
    return 0;
}
