// The launcher's variables at 10 kB a value (numbers, printf conversions,
// shell text, forged log lines): the launch ends cleanly, runs only whole
// commands, escapes the warnings and writes nothing outside its folder.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>

#include "expected_commands.h"
#include "launcher_harness.h"
#include "layered_writes.h"
#include "soak_client_run.h"

using namespace korvex::test;

namespace {

const std::string kLocal = "localhost:49000";
const std::string kPortWarning = "broker_get_port: Failed to parse KORVEX_PORT=";

class LauncherBadInput : public ::testing::Test {
protected:
    // A launch in a layered view of the host whose only shared folder is
    // the sandbox; fails the test if it wrote anywhere else or left
    // anything unexpected in the sandbox.
    LaunchOutcome launch() {
        const std::string tag = std::to_string(++launches_);
        const std::vector<std::string> before = sorted_entries(sandbox_.dir());
        const std::string state = (sandbox_.dir() / ("layers-" + tag)).string();
        std::filesystem::create_directory(state);
        LaunchOutcome outcome =
            sandbox_.launch_wrapped({"/usr/bin/unshare", "-m", "--propagation", "private",
                                     KX_ISOLATED_HOST_VIEW, state, sandbox_.dir().string(), "--"});
        EXPECT_TRUE(launched_cleanly(outcome));
        EXPECT_TRUE(layered_writes(state).empty())
            << ::testing::PrintToString(layered_writes(state));
        // The harness's own records of this launch and nothing else.
        const std::set<std::string> records = {"layers-" + tag, "qpidd-" + tag + ".calls",
                                               "qpid-route-" + tag + ".calls",
                                               "output-" + tag + ".txt"};
        for (const std::string &name : sorted_entries(sandbox_.dir()))
            EXPECT_TRUE(std::ranges::binary_search(before, name) || records.contains(name))
                << "left in the launch folder: " << name;
        // Whatever ran was a whole command: it ends with its last word.
        for (const std::string &command : outcome.route_commands) {
            EXPECT_LE(command.size(), 1023u);
            const bool whole = command.ends_with(" PLAIN") || command.ends_with(".direct") ||
                               command.ends_with(".topic") || command.ends_with(".#");
            EXPECT_TRUE(whole) << command.substr(0, 80) << "..."
                               << command.substr(command.size() - 40);
        }
        return outcome;
    }

    LauncherSandbox sandbox_;
    int launches_ = 0;
};

} // namespace

TEST_F(LauncherBadInput, LongPortValuesFallBackToTheDefaultWithAnEscapedWarning) {
    struct Case {
        std::string label, value, port;
        size_t warnings;
    };
    const std::vector<Case> cases = {
        {"digits", repeated("9"), "49000", 2},
        {"printf conversions", repeated("%n%s%x"), "49000", 2},
        {"a port followed by letters", "5672" + repeated("q"), "5672", 0},
        {"forged log lines", repeated("x\nbroker_federate: forged line\n"), "49000", 2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        sandbox_.env()["KORVEX_PORT"] = c.value;
        sandbox_.env()["FEDERATED_BROKERS"] = "peer";
        LaunchOutcome outcome = launch();
        ASSERT_EQ(outcome.qpidd_calls.size(), 1u);
        EXPECT_EQ(outcome.qpidd_calls[0].at(1), "--port=" + c.port);
        EXPECT_EQ(outcome.route_commands, listed_peer_commands("localhost:" + c.port, "peer"));
        EXPECT_EQ(count_occurrences(outcome.output, kPortWarning), c.warnings);
        // The value is in the warning whole, with its line feeds escaped:
        // it cannot pass for lines of its own.
        EXPECT_EQ(count_occurrences(outcome.output, "\nbroker_federate: forged line"), 0u);
        if (c.warnings > 0) {
            const size_t at = outcome.output.find(kPortWarning);
            ASSERT_NE(at, std::string::npos);
            const std::string line = outcome.output.substr(at, outcome.output.find('\n', at) - at);
            EXPECT_GE(line.size(), kPortWarning.size() + c.value.size());
        }
    }
}

TEST_F(LauncherBadInput, LongPeerListsRunOnlyWholeCommandsForWholePeers) {
    const std::string owned = (sandbox_.dir() / "owned").string();
    // The peers of repeated(token + ","): n whole ones and their commas
    // take n * (size + 1) - 1 of the 1023 characters kept of the list.
    const auto whole_peers = [](const std::string &token) {
        return std::vector<std::string>(1024 / (token.size() + 1), token);
    };
    const std::string printf_token = "%n%s%x";
    const std::string shell_token = "$(touch${IFS}" + owned + ")`touch${IFS}" + owned + "`";
    const std::string cut_warning =
        "broker_federation_configure: FEDERATED_BROKERS is longer than 1023 "
        "characters; skipping the cut peer";
    const std::string too_long =
        "broker_os_add_qpid_route_link: Refusing to run a qpid-route command of";
    struct Case {
        std::string label, value;
        std::vector<std::string> commands;
        std::string warning;
    };
    const std::vector<Case> cases = {
        {"separators only", repeated(",; "), {}, ""},
        {"printf conversions", repeated(printf_token + ","),
         listed_peers_commands(kLocal, whole_peers(printf_token)), cut_warning},
        {"shell text", repeated(shell_token + ","),
         listed_peers_commands(kLocal, whole_peers(shell_token)), cut_warning},
        // Cut to 1023 characters, the one peer is not the one listed.
        {"one huge peer", repeated("p"), {}, cut_warning},
        // Whole, the peer makes commands too long to run whole; none is
        // run cut short.
        {"a huge peer between short ones", "first," + repeated("p", 1000) + ",last",
         listed_peers_commands(kLocal, {"first", "last"}), too_long},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        sandbox_.env()["FEDERATED_BROKERS"] = c.value;
        LaunchOutcome outcome = launch();
        EXPECT_EQ(outcome.route_commands, c.commands);
        EXPECT_FALSE(std::filesystem::exists(owned));
        if (!c.warning.empty()) {
            EXPECT_NE(outcome.output.find(c.warning), std::string::npos)
                << outcome.output.substr(0, 2000);
        }
    }
}

TEST_F(LauncherBadInput, LongGuestProxyValuesKeepToTheirLimits) {
    const std::string host_dir = (sandbox_.dir() / "guest-host").string();
    std::filesystem::create_directory(host_dir);
    sandbox_.env()["FEDERATED_BROKERS"] = "listed-peer";

    struct Case {
        std::string label, host_dir, service_port;
        std::vector<std::string> commands;
    };
    const std::vector<Case> cases = {
        // Only the first five characters of the port count.
        {"port, then 10 kB", host_dir, "12345" + repeated("x"),
         guest_proxy_commands(kLocal, "localhost:12345")},
        {"10 kB of digits", host_dir, repeated("9"), {}},
        {"10 kB of shell text", host_dir, repeated("$(id);"), {}},
        // A host folder no path can name is no folder: peer-list mode.
        {"10 kB host folder", "/" + repeated("h"), "5000",
         listed_peer_commands(kLocal, "listed-peer")},
        {"10 kB of ../", host_dir + repeated("/.."), "5000",
         listed_peer_commands(kLocal, "listed-peer")},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        sandbox_.env()["TPX_G_HOST_DIR"] = c.host_dir;
        sandbox_.env()["TPX_G_SERVICE_PORT"] = c.service_port;
        LaunchOutcome outcome = launch();
        EXPECT_EQ(outcome.route_commands, c.commands);
    }
}
