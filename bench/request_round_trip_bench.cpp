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
#include "agent_wrapper.h"
#include "bus_client.h"
#include "process.h"
#include "test_bus.h"

using namespace korvex::test;
using korvex::bench::agent_prefix;
using korvex::bench::resident_kb;

namespace {

constexpr const char *kKeysDir = "/var/lib/korvex/sysconfig-keys";
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
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s ROUNDS\n", argv[0]);
        return 2;
    }
    const int rounds = std::max(1, std::atoi(argv[1]));
    try {
        std::filesystem::create_directories(kKeysDir);
        write_file(std::string(kKeysDir) + "/" + kKey, kStatus);

        TestBusOptions options;
        options.polkit_rules = kGrantAgentActions;
        TestSystemBus bus(options);
        TempDir work("korvex-bench-work");
        Agent sysconfig(bus, AgentOptions{{KX_SYSCONFIG_AGENT},
                                          agent_prefix(),
                                          {},
                                          work.path(),
                                          "org.vaduderuvoziz.Sysconfig"});
        Agent network(
            bus,
            AgentOptions{{KX_NETWORK_AGENT}, agent_prefix(), {}, "/", "org.vaduderuvoziz.Network"});
        if (!sysconfig.wait_for_name() || !network.wait_for_name()) {
            std::fprintf(stderr, "agents did not start:\n%s%s", sysconfig.stderr_text().c_str(),
                         network.stderr_text().c_str());
            return 1;
        }

        if (run_client(bus, std::nullopt, "root", rounds) != 0 ||
            run_client(bus, kNobody, "uid65534", rounds) != 0)
            return 1;

        BusClient probe(bus.address());
        std::printf("RSS sysconfig-dbus %ld\n",
                    resident_kb(probe.name_owner_pid("org.vaduderuvoziz.Sysconfig")));
        std::printf("RSS network-dbus %ld\n",
                    resident_kb(probe.name_owner_pid("org.vaduderuvoziz.Network")));
    } catch (const std::exception &e) {
        std::fprintf(stderr, "kx-bench-requests: %s\n", e.what());
        return 1;
    }
    return 0;
}
