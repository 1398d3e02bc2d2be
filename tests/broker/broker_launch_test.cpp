// The broker's command line, the port it gets and the process start.
#include "broker_launcher.h"
#include "expected_commands.h"
#include "launcher_harness.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

using namespace korvex::test;

namespace {

const std::vector<std::string> fixed_options = {"--data-dir=/var/lib/korvex", "--no-module-dir",
                                                "--load-module=/usr/lib64/qpid/daemon/ssl.so"};

const std::string port_warning_prefix = "broker_get_port: Failed to parse KORVEX_PORT=";

} // namespace

TEST(BrokerLaunch, PortComesFromKorvexPortOrDefaults) {
    // KORVEX_PORT (nullopt: unset), with a peer (its child asks too), port, warnings.
    const std::tuple<std::optional<std::string>, bool, int, std::size_t> cases[] = {
        {std::nullopt, true, 49000, 0},
        {"5672", true, 5672, 0},
        {"0", true, 49000, 0},
        {"5672xyz", true, 5672, 0},
        {"65535", true, 65535, 0},
        {"", false, 49000, 1},
        {"", true, 49000, 2},
        {"abc", false, 49000, 1},
        {"abc", true, 49000, 2},
        // Out of range or negative: refused rather than wrapped to another port.
        {"70000", true, 49000, 2},
        {"-1", true, 49000, 2},
    };
    for (const auto &[korvex_port, with_peer, expected_port, expected_warnings] : cases) {
        SCOPED_TRACE("KORVEX_PORT=" + korvex_port.value_or("(unset)") +
                     (with_peer ? " with a peer" : ""));
        LauncherSandbox sandbox;
        if (korvex_port)
            sandbox.env()["KORVEX_PORT"] = *korvex_port;
        if (with_peer)
            sandbox.env()["FEDERATED_BROKERS"] = "peer";
        LaunchOutcome outcome = sandbox.launch();

        ASSERT_TRUE(launched_cleanly(outcome));
        ASSERT_EQ(outcome.qpidd_calls.size(), 1u);
        ASSERT_GE(outcome.qpidd_calls[0].size(), 2u);
        const std::string port = std::to_string(expected_port);
        EXPECT_EQ(outcome.qpidd_calls[0][1], "--port=" + port);
        if (with_peer)
            EXPECT_EQ(outcome.route_commands, listed_peer_commands("localhost:" + port, "peer"));
        else
            EXPECT_TRUE(outcome.route_commands.empty());
        EXPECT_TRUE(logged(outcome, port_warning_prefix, expected_warnings));
        if (expected_warnings > 0) {
            EXPECT_TRUE(logged(outcome, port_warning_prefix + "\"" + *korvex_port + "\""));
        }
    }
}

TEST(BrokerLaunch, BrokerGetsProgramNameFixedOptionsThenLauncherArguments) {
    LauncherSandbox sandbox;
    LaunchOutcome outcome = sandbox.launch({"A", "B", "two words"}, "/opt/custom/launcher-name");

    ASSERT_TRUE(launched_cleanly(outcome));
    ASSERT_EQ(outcome.qpidd_calls.size(), 1u);
    EXPECT_EQ(outcome.qpidd_calls[0],
              concat(concat({"/opt/custom/launcher-name", "--port=49000"}, fixed_options),
                     {"A", "B", "two words"}));
}

TEST(BrokerLaunch, MissingQpiddFailsWithErrnoWhileChildStillFederates) {
    LauncherSandbox sandbox;
    std::filesystem::remove(sandbox.bin() / "qpidd");
    sandbox.env()["FEDERATED_BROKERS"] = "peer";
    LaunchOutcome outcome = sandbox.launch();

    EXPECT_TRUE(launched_cleanly(outcome, 2));
    EXPECT_TRUE(logged(outcome, "exec(): No such file or directory"));
    EXPECT_TRUE(outcome.qpidd_calls.empty());
    EXPECT_EQ(outcome.route_commands, listed_peer_commands("localhost:49000", "peer"));
}

// The kernel turns an empty argv into {""} on exec: argc 0 is only possible in-process.
TEST(BrokerLaunch, ArgumentListWithoutArgumentsStartsWithThePortOption) {
    unsetenv("KORVEX_PORT");
    char *no_arguments[] = {nullptr};
    korvex::broker::BrokerArgs list(broker_args(0, no_arguments));
    ASSERT_TRUE(list);

    std::vector<std::string> entries;
    for (char **entry = list.get(); *entry != nullptr; ++entry)
        entries.emplace_back(*entry);
    EXPECT_EQ(entries, concat({"--port=49000"}, fixed_options));
}
