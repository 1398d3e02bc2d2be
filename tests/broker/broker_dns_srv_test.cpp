// Peers named by DNS SRV records, resolved against a real dnsmasq in a
// network namespace of the test's own.
#include "expected_commands.h"
#include "launcher_harness.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

using namespace korvex::test;

namespace {

const std::string local = "localhost:49000";

// dnsmasq with the given records, stopped (namespace deleted) on every path.
class DnsSrvServer {
public:
    DnsSrvServer(std::filesystem::path state_dir, const std::vector<std::string> &records)
        : state_dir_(std::move(state_dir)) {
        std::filesystem::create_directory(state_dir_);
        // dnsmasq stays behind in the background: a session of its own
        // keeps it out of the process group that is killed once start ends.
        ProcessOptions start = command({"setsid", "-w", DNS_SRV_NETNS, "start", state_dir_});
        for (const std::string &record : records)
            start.argv.insert(start.argv.end(), {"--srv", record});
        CommandResult started = run_command(start);
        if (started.exit_code() != 0) {
            stop();
            throw std::runtime_error("dns-srv-netns start failed: " + started.describe());
        }
    }
    ~DnsSrvServer() { stop(); }
    DnsSrvServer(const DnsSrvServer &) = delete;
    DnsSrvServer &operator=(const DnsSrvServer &) = delete;

    std::vector<std::string> exec_prefix() const {
        return {DNS_SRV_NETNS, "exec", state_dir_.string(), "--"};
    }

private:
    void stop() { run_command(command({DNS_SRV_NETNS, "stop", state_dir_})); }

    std::filesystem::path state_dir_;
};

class BrokerDnsSrv : public ::testing::Test {
protected:
    LaunchOutcome launch_with_peers(const std::string &brokers) {
        sandbox.env()["FEDERATED_BROKERS"] = brokers;
        return sandbox.launch_wrapped(dns.exec_prefix());
    }

    LauncherSandbox sandbox;
    DnsSrvServer dns{sandbox.dir() / "dns",
                     {
                         "_korvex._tcp.ok.test,broker1.ok.test,5673,0,0",
                         "_korvex._tls.ok.test,broker2.ok.test,5674,0,0",
                         // Left unquoted, the shell would turn these targets
                         // into files in the launcher's working directory.
                         "_korvex._tcp.evil1.test,x>owned1.evil1.test,1,0,0",
                         "_korvex._tcp.evil2.test,a`>owned2`.evil2.test,1,0,0",
                     }};
};

} // namespace

TEST_F(BrokerDnsSrv, SrvNamesBecomeTargetHostAndPort) {
    LaunchOutcome outcome = launch_with_peers("a _korvex._tcp.ok.test,_korvex._tls.ok.test");
    ASSERT_TRUE(launched_cleanly(outcome));
    EXPECT_EQ(outcome.route_commands,
              listed_peers_commands(local, {"a", "broker1.ok.test:5673", "broker2.ok.test:5674"}));
}

TEST_F(BrokerDnsSrv, NameWithoutRecordIsSkippedWithWarning) {
    LaunchOutcome outcome = launch_with_peers("a _korvex._tcp.missing.ok.test b");
    ASSERT_TRUE(launched_cleanly(outcome));
    EXPECT_EQ(outcome.route_commands, listed_peers_commands(local, {"a", "b"}));
    EXPECT_EQ(
        count_occurrences(
            outcome.output,
            "broker_lookup: Failed to find DNS SRV record for \"_korvex._tcp.missing.ok.test\""),
        1u)
        << outcome.output;
}

TEST_F(BrokerDnsSrv, OtherCaseOrServiceLabelIsAPlainAddress) {
    // DNS ignores case, so a lookup of the first would find broker1; the
    // second has no record, so a lookup would drop it.
    LaunchOutcome outcome = launch_with_peers("_KORVEX._tcp.ok.test _korvex._udp.ok.test");
    ASSERT_TRUE(launched_cleanly(outcome));
    EXPECT_EQ(outcome.route_commands,
              listed_peers_commands(local, {"_KORVEX._tcp.ok.test", "_korvex._udp.ok.test"}));
    EXPECT_EQ(outcome.output.find("broker_lookup"), std::string::npos) << outcome.output;
}

TEST_F(BrokerDnsSrv, TargetsReachTheCommandsLiterally) {
    LaunchOutcome outcome =
        launch_with_peers("_korvex._tcp.evil1.test _korvex._tcp.evil2.test _korvex._tcp.ok.test");
    ASSERT_TRUE(launched_cleanly(outcome));
    EXPECT_EQ(outcome.route_commands,
              listed_peers_commands(local, {"x>owned1.evil1.test:1", "a`>owned2`.evil2.test:1",
                                            "broker1.ok.test:5673"}));
    for (const auto &entry : std::filesystem::directory_iterator(sandbox.dir()))
        EXPECT_NE(entry.path().filename().string().rfind("owned", 0), 0u) << entry.path();
}
