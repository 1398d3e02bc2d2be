// The qpid-route commands the federation child runs, in order, and what it keeps from the shell.
#include "expected_commands.h"
#include "launcher_harness.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

using namespace korvex::test;

namespace {

const std::string local = "localhost:49000";

class BrokerFederation : public ::testing::Test {
protected:
    BrokerFederation() { std::filesystem::create_directory(sandbox.dir() / "host"); }

    // A launch with the guest proxy's host folder (under the sandbox) and port.
    LaunchOutcome launch_guest(const std::string &host_dir, const std::optional<std::string> &port,
                               const std::string &brokers = "ignored-peer") {
        sandbox.env()["TPX_G_HOST_DIR"] = (sandbox.dir() / host_dir).string();
        if (port)
            sandbox.env()["TPX_G_SERVICE_PORT"] = *port;
        else
            sandbox.env().erase("TPX_G_SERVICE_PORT");
        sandbox.env()["FEDERATED_BROKERS"] = brokers;
        return sandbox.launch();
    }

    LauncherSandbox sandbox;
};

} // namespace

TEST_F(BrokerFederation, NothingConfiguredRunsNothing) {
    LaunchOutcome outcome = sandbox.launch();
    ASSERT_TRUE(launched_cleanly(outcome));
    EXPECT_EQ(outcome.qpidd_calls.size(), 1u);
    EXPECT_TRUE(outcome.route_commands.empty());
}

TEST_F(BrokerFederation, GuestProxyDirectoryGetsLinkAndFourStaticRoutes) {
    std::filesystem::create_directory_symlink(sandbox.dir() / "host", sandbox.dir() / "host-link");
    for (const char *host_dir : {"host", "host-link"}) {
        SCOPED_TRACE(host_dir);
        LaunchOutcome outcome = launch_guest(host_dir, "5000");
        ASSERT_TRUE(launched_cleanly(outcome));
        EXPECT_EQ(outcome.route_commands, guest_proxy_commands(local, "localhost:5000"));
    }
}

TEST_F(BrokerFederation, GuestProxyPortKeepsOnlyItsFirstFiveCharacters) {
    LaunchOutcome outcome = launch_guest("host", "1234567");
    ASSERT_TRUE(launched_cleanly(outcome));
    EXPECT_EQ(outcome.route_commands, guest_proxy_commands(local, "localhost:12345"));
}

TEST_F(BrokerFederation, GuestProxyWithoutUsablePortFederatesNothing) {
    // "`>x`" is exactly five characters and would create x through the shell.
    const std::optional<std::string> ports[] = {std::nullopt, "",      "abc",  "0",    "99999",
                                                "5000a",      "50 00", "`>x`", "$(id)"};
    for (const std::optional<std::string> &port : ports) {
        SCOPED_TRACE("TPX_G_SERVICE_PORT=" + port.value_or("(unset)"));
        LaunchOutcome outcome = launch_guest("host", port);
        ASSERT_TRUE(launched_cleanly(outcome));
        EXPECT_TRUE(outcome.route_commands.empty());
        EXPECT_TRUE(logged(outcome, "broker_federation_configure: TPX_G_SERVICE_PORT", 1));
        EXPECT_FALSE(std::filesystem::exists(sandbox.dir() / "x"));
    }
}

TEST_F(BrokerFederation, HostDirThatIsNoDirectoryMeansPeerListMode) {
    std::ofstream(sandbox.dir() / "plain-file") << "not a directory\n";
    for (const char *host_dir : {"plain-file", "missing"}) {
        SCOPED_TRACE(host_dir);
        LaunchOutcome outcome = launch_guest(host_dir, "5000", "peer");
        ASSERT_TRUE(launched_cleanly(outcome));
        EXPECT_EQ(outcome.route_commands, listed_peer_commands(local, "peer"));
    }
}

TEST_F(BrokerFederation, PeerListIsSplitAtCommasSemicolonsAndSpaces) {
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {"a, b;c", {"a", "b", "c"}},
        {";;a,,b  c;", {"a", "b", "c"}},
        {"a,a", {"a", "a"}},
        {"", {}},
        {" ,;; , ", {}},
        // Addresses reach the command lines unchanged, whatever the shell would make of them.
        {"[::1]:5672 broker-1.example.test:5672 user@host/vhost host_name.local:1",
         {"[::1]:5672", "broker-1.example.test:5672", "user@host/vhost", "host_name.local:1"}},
        {"user+x/p%w@host:5672 [fe80::1%eth0]:5672 host~1 o'brien:5672 *",
         {"user+x/p%w@host:5672", "[fe80::1%eth0]:5672", "host~1", "o'brien:5672", "*"}},
    };
    for (const auto &[brokers, peers] : cases) {
        SCOPED_TRACE("FEDERATED_BROKERS=" + brokers);
        LauncherSandbox sandbox;
        // What the glob [::1]:5672 would match, in the working directory.
        std::ofstream(sandbox.dir() / "1:5672") << "";
        sandbox.env()["FEDERATED_BROKERS"] = brokers;
        LaunchOutcome outcome = sandbox.launch();
        ASSERT_TRUE(launched_cleanly(outcome));
        EXPECT_EQ(outcome.route_commands, listed_peers_commands(local, peers));
    }
}

TEST_F(BrokerFederation, PeerListLongerThanBufferDropsTheCutPeer) {
    // 500 + 1 + 500 + 1 characters, so only 21 of the third peer survive
    // the cut: a peer nobody listed, left out with a warning.
    const std::string x(500, 'x'), y(500, 'y'), z(500, 'z');
    sandbox.env()["FEDERATED_BROKERS"] = x + "," + y + "," + z;
    LaunchOutcome outcome = sandbox.launch();
    ASSERT_TRUE(launched_cleanly(outcome));
    EXPECT_EQ(outcome.route_commands, listed_peers_commands(local, {x, y}));
    EXPECT_TRUE(logged(outcome,
                       "broker_federation_configure: FEDERATED_BROKERS is longer than 1023 "
                       "characters; skipping the cut peer \"" +
                           std::string(21, 'z') + "\"",
                       1));
}

TEST_F(BrokerFederation, FailedCommandSkipsRestOfThatPeerOnly) {
    sandbox.env()["FEDERATED_BROKERS"] = "a b";

    SCOPED_TRACE("link of a fails");
    sandbox.env()["KX_TEST_QPID_ROUTE_FAIL"] = "1";
    LaunchOutcome outcome = sandbox.launch();
    ASSERT_TRUE(launched_cleanly(outcome));
    EXPECT_EQ(outcome.route_commands,
              concat({link_command(local, "a")}, listed_peer_commands(local, "b")));
    EXPECT_TRUE(
        logged(outcome, "broker_federate: Failed to link brokers \"localhost:49000\" to \"a\""));

    SCOPED_TRACE("first route of a fails");
    sandbox.env()["KX_TEST_QPID_ROUTE_FAIL"] = "2";
    outcome = sandbox.launch();
    ASSERT_TRUE(launched_cleanly(outcome));
    EXPECT_EQ(outcome.route_commands,
              concat({link_command(local, "a"), dynamic_route("a", local, "amq.direct")},
                     listed_peer_commands(local, "b")));
    EXPECT_TRUE(logged(outcome, "broker_add_route: Failed to route a => localhost:49000"));
    EXPECT_EQ(outcome.output.find("Failed to link brokers"), std::string::npos) << outcome.output;

    SCOPED_TRACE("last route of a fails");
    sandbox.env()["KX_TEST_QPID_ROUTE_FAIL"] = "7";
    outcome = sandbox.launch();
    ASSERT_TRUE(launched_cleanly(outcome));
    EXPECT_EQ(outcome.route_commands, listed_peers_commands(local, {"a", "b"}));
    EXPECT_TRUE(logged(outcome, "broker_add_route: Failed to route localhost:49000 => a"));
}

TEST_F(BrokerFederation, ShellTextInPeersStaysLiteralAndOnlyUnquotablePeersAreSkipped) {
    const std::string d = sandbox.dir().string();
    const std::vector<std::string> literal = {
        "$(touch${IFS}" + d + "/owned1)", "`touch${IFS}" + d + "/owned2`",
        "x|touch${IFS}" + d + "/owned3",  "x>" + d + "/owned4",
        "x&&touch${IFS}" + d + "/owned5", "x'`touch${IFS}" + d + "/owned7`'",
    };
    const std::vector<std::string> skipped = {"x\ntouch${IFS}" + d + "/owned6", "--src-local"};
    std::string brokers;
    std::vector<std::string> expected;
    for (const std::string &token : literal) {
        brokers += token + ",good,";
        expected = concat(expected, listed_peers_commands(local, {token, "good"}));
    }
    for (const std::string &token : skipped) {
        brokers += token + ",good,";
        expected = concat(expected, listed_peer_commands(local, "good"));
    }
    sandbox.env()["FEDERATED_BROKERS"] = brokers;
    LaunchOutcome outcome = sandbox.launch();

    ASSERT_TRUE(launched_cleanly(outcome));
    EXPECT_EQ(outcome.route_commands, expected);
    for (int i = 1; i <= 7; ++i)
        EXPECT_FALSE(std::filesystem::exists(d + "/owned" + std::to_string(i))) << i;
    EXPECT_TRUE(
        logged(outcome, "broker_federation_configure: Skipping federated broker", skipped.size()));
    // The log shows the refused token with its line feed escaped.
    EXPECT_NE(outcome.output.find("x\\x0atouch${IFS}"), std::string::npos) << outcome.output;
}
