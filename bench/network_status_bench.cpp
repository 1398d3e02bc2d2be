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

#include "bench_program.h"
#include "bus_client.h"
#include "command_run.h"
#include "kernel_link_dump.h"
#include "sample_set.h"
#include "test_bus.h"

using namespace korvex::bench;
using namespace korvex::test;

namespace {

unsigned interface_count() {
    GList *list = kx_network_get_interfaces();
    const unsigned count = g_list_length(list);
    g_list_free_full(list, kx_network_interface_destroy);
    return count;
}

} // namespace

int main(int argc, char **argv) {
    return bench_main(argc, argv, 2, "IFACE ROUNDS", [](char **operands) {
        const std::string iface = operands[1];
        const int rounds = rounds_operand(operands[2]);
        const std::vector<std::string> ip = {"ip", "-o", "link", "show", "dev", iface};

        TestSystemBus bus;
        auto agent =
            started_agent(bus, {{KX_NETWORK_AGENT}, {}, {}, "/", "org.vaduderuvoziz.Network"});
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
        return 0;
    });
}
