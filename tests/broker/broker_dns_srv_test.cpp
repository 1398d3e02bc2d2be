// Peers named by DNS SRV records, resolved by a real dnsmasq in a namespace of the test's.
#include "expected_commands.h"
#include "launcher_harness.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

using namespace korvex::test;

namespace {

const std::string local = "localhost:49000";

class BrokerDnsSrv : public ::testing::Test {
protected:
    // setsid: dnsmasq stays behind, out of the process group killed once start ends.
    void SetUp() override {
        std::filesystem::create_directory(dns);
        ProcessOptions start = command({"setsid", "-w", DNS_SRV_NETNS, "start", dns});
        for (const char *record : {
                 "_korvex._tcp.ok.test,broker1.ok.test,5673,0,0",
                 "_korvex._tls.ok.test,broker2.ok.test,5674,0,0",
                 // Unquoted, these targets would become files in the launcher's folder.
                 "_korvex._tcp.evil1.test,x>owned1.evil1.test,1,0,0",
                 "_korvex._tcp.evil2.test,a`>owned2`.evil2.test,1,0,0",
             })
            start.argv.insert(start.argv.end(), {"--srv", record});
        run_checked(start);
    }
    // Runs even when SetUp failed half-way, so the namespace never stays.
    void TearDown() override { run_command(command({DNS_SRV_NETNS, "stop", dns})); }

    LaunchOutcome launch_with_peers(const std::string &brokers) {
        sandbox.env()["FEDERATED_BROKERS"] = brokers;
        return sandbox.launch_wrapped({DNS_SRV_NETNS, "exec", dns, "--"});
    }

    LauncherSandbox sandbox;
    std::string dns = sandbox.dir() / "dns";
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
    EXPECT_TRUE(logged(
        outcome,
        "broker_lookup: Failed to find DNS SRV record for \"_korvex._tcp.missing.ok.test\"", 1));
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
