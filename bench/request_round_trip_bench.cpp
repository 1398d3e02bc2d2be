// kx-bench-requests ROUNDS
//
// Both agents on a private system bus with the real polkitd, whose rules
// grant the agents' actions to every user, so that a caller of uid 65534
// goes through the same PolicyKit work as the agents ask for and is
// granted. Runs kx-bench-request-client once as root and once as uid
// 65534, then reports each agent's resident memory after that warm-up.
//
// Must run in a private mount namespace whose /var/lib/korvex is the
// benchmark's own (bench/run sees to that): the key it queries is written
// there.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>

#include "agent_memory.h"
#include "bench_program.h"
#include "bus_client.h"
#include "process.h"
#include "test_bus.h"

using namespace korvex::bench;
using namespace korvex::test;

namespace {

constexpr const char *kKey = "bench-request-key";
constexpr const char *kStatus = "OK\nbenchmark status\n";

const std::string kGrantAgentActions = "polkit.addRule(function(action, subject) {\n"
                                       "    if (action.id.indexOf(\"org.vaduderuvoziz.\") == 0)\n"
                                       "        return polkit.Result.YES;\n"
                                       "});\n";

int run_client(const TestSystemBus &bus, std::optional<uid_t> uid, const std::string &label,
               int rounds) {
    ProcessOptions client;
    client.argv = {
        KX_BENCH_REQUEST_CLIENT, bus.address(), std::to_string(rounds), kKey, kStatus, label};
    client.uid = uid;
    client.cwd = "/";
    CommandResult result = run_command(client, std::chrono::minutes(30));
    std::fputs(result.out.c_str(), stdout);
    std::fflush(stdout);
    if (result.exit_code() != 0) {
        std::fprintf(stderr, "request client as %s failed:\n%s", label.c_str(), result.err.c_str());
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    return bench_main(argc, argv, 1, "ROUNDS", [](char **operands) {
        const int rounds = rounds_operand(operands[1]);
        store_key_status(kKey, kStatus);

        TestBusOptions options;
        options.polkit_rules = kGrantAgentActions;
        TestSystemBus bus(options);
        TempDir work("korvex-bench-work");
        auto sysconfig = started_agent(
            bus, {{KX_SYSCONFIG_AGENT}, {}, {}, work.path(), "org.vaduderuvoziz.Sysconfig"});
        auto network =
            started_agent(bus, {{KX_NETWORK_AGENT}, {}, {}, "/", "org.vaduderuvoziz.Network"});

        if (run_client(bus, std::nullopt, "root", rounds) != 0 ||
            run_client(bus, kNobody, "uid65534", rounds) != 0)
            return 1;

        BusClient probe(bus.address());
        std::printf("RSS sysconfig-dbus %ld\n",
                    resident_kb(probe.name_owner_pid("org.vaduderuvoziz.Sysconfig")));
        std::printf("RSS network-dbus %ld\n",
                    resident_kb(probe.name_owner_pid("org.vaduderuvoziz.Network")));
        return 0;
    });
}
