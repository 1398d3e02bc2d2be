// The broker's command line, the port it gets and the process start.
#include "broker_launcher.h"
#include "expected_commands.h"
#include "launcher_harness.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

using namespace korvex::test;

namespace {

const std::vector<std::string> fixed_options = {"--data-dir=/var/lib/korvex", "--no-module-dir",
                                                "--load-module=/usr/lib64/qpid/daemon/ssl.so"};

const std::string port_warning_prefix = "broker_get_port: Failed to parse KORVEX_PORT=";

struct PortCase {
    std::optional<std::string> korvex_port; // nullopt: unset
    bool with_peer;                         // the child federates and so asks for the port too
    unsigned short expected_port;
    std::size_t expected_warnings;
};

} // namespace

TEST(BrokerLaunch, PortComesFromKorvexPortOrDefaults) {
    const PortCase cases[] = {
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
    for (const PortCase &c : cases) {
        SCOPED_TRACE("KORVEX_PORT=" + c.korvex_port.value_or("(unset)") +
                     (c.with_peer ? " with a peer" : ""));
        LauncherSandbox sandbox;
        if (c.korvex_port)
            sandbox.env()["KORVEX_PORT"] = *c.korvex_port;
        if (c.with_peer)
            sandbox.env()["FEDERATED_BROKERS"] = "peer";
        LaunchOutcome outcome = sandbox.launch();

        ASSERT_TRUE(launched_cleanly(outcome));
        ASSERT_EQ(outcome.qpidd_calls.size(), 1u);
        ASSERT_GE(outcome.qpidd_calls[0].size(), 2u);
        const std::string port = std::to_string(c.expected_port);
        EXPECT_EQ(outcome.qpidd_calls[0][1], "--port=" + port);
        if (c.with_peer)
            EXPECT_EQ(outcome.route_commands, listed_peer_commands("localhost:" + port, "peer"));
        else
            EXPECT_TRUE(outcome.route_commands.empty());
        EXPECT_EQ(count_occurrences(outcome.output, port_warning_prefix), c.expected_warnings)
            << outcome.output;
        if (c.expected_warnings > 0) {
            EXPECT_NE(outcome.output.find(port_warning_prefix + "\"" + *c.korvex_port + "\""),
                      std::string::npos)
                << outcome.output;
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
    EXPECT_NE(outcome.output.find("exec(): No such file or directory"), std::string::npos)
        << outcome.output;
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
