// start and stop through the agent: which interface script starts, with what argument,
// and when none does; against a recorder for ifup/ifdown, then the real ifupdown.
#include <filesystem>

#include "network_agent_fixture.h"

using namespace korvex::test;

namespace {

struct NetworkAgentControl : NetworkAgentTest {
    void SetUp() override { ASSERT_TRUE(start_agent({})); }
};

struct NetworkAgentWithIfupdown : NetworkAgentTest {
    void SetUp() override { ASSERT_TRUE(start_agent({}, InterfaceScripts::Ifupdown)); }

    bool eventually(const std::string &member, const std::string &iface,
                    const std::string &expected) {
        return wait_until([&] { return value_of(call(member, {Arg::s(iface)})) == expected; },
                          std::chrono::seconds(20), std::chrono::milliseconds(50));
    }
};

} // namespace

TEST_F(NetworkAgentControl, ScriptsRunOnlyWhenTheStateWouldChange) {
    // Already in the asked state: the reply is that state and nothing runs.
    EXPECT_EQ(value_of(call("start", {Arg::s("eth0")})), "1");
    EXPECT_EQ(value_of(call("stop", {Arg::s("eth1")})), "0");
    EXPECT_EQ(value_of(call("stop", {Arg::s("no-such-if")})), "0");

    // An absent name is not up, so start tries it; the recorder leaves it
    // absent. Its line, the only one, proves the calls above ran nothing.
    EXPECT_EQ(value_of(call("start", {Arg::s("eth7")})), "0");
    ASSERT_TRUE(wait_for_recorded(1));
    EXPECT_EQ(recorded(), Lines{"/sbin/ifup [eth7]"});

    // The replies are the state read right after spawning; the recorder
    // changes nothing, so they are the old states.
    EXPECT_EQ(value_of(call("start", {Arg::s("eth1")})), "0");
    ASSERT_TRUE(wait_for_recorded(2));
    EXPECT_EQ(value_of(call("stop", {Arg::s("eth0")})), "1");
    ASSERT_TRUE(wait_for_recorded(3));
    EXPECT_EQ(recorded(), (Lines{"/sbin/ifup [eth7]", "/sbin/ifup [eth1]", "/sbin/ifdown [eth0]"}));
}

TEST_F(NetworkAgentControl, NamesReachTheScriptsAsOneArgumentAndNeverAsOptions) {
    const std::string planted = dir_.file("planted");
    // "-a" would make ifup bring up every configured interface.
    EXPECT_EQ(value_of(call("start", {Arg::s("-a")})), "0");
    EXPECT_EQ(value_of(call("start", {Arg::s("")})), "0");
    // Shell text stays text: the script gets it whole and nothing runs it.
    const std::string shell_text = "x; touch " + planted;
    EXPECT_EQ(value_of(call("start", {Arg::s(shell_text)})), "0");
    ASSERT_TRUE(wait_for_recorded(1));
    EXPECT_EQ(value_of(call("start", {Arg::s("eth7")})), "0");
    ASSERT_TRUE(wait_for_recorded(2));

    EXPECT_EQ(recorded(), (Lines{"/sbin/ifup [" + shell_text + "]", "/sbin/ifup [eth7]"}));
    EXPECT_FALSE(std::filesystem::exists(planted));
}

TEST_F(NetworkAgentWithIfupdown, StartAndStopBringTheInterfaceUpAndDown) {
    ASSERT_EQ(value_of(call("status", {Arg::s("eth1")})), "0");

    Reply start = call("start", {Arg::s("eth1")});
    ASSERT_TRUE(start.ok) << value_of(start);
    // ifup may or may not have finished when the agent reads the state back.
    EXPECT_TRUE(start.str() == "0" || start.str() == "1") << start.str();
    EXPECT_TRUE(eventually("status", "eth1", "1")) << agent_log();
    EXPECT_TRUE(eventually("get_ip_address", "eth1", "192.0.2.20")) << agent_log();
    EXPECT_EQ(value_of(call("start", {Arg::s("eth1")})), "1");

    Reply stop = call("stop", {Arg::s("eth1")});
    ASSERT_TRUE(stop.ok) << value_of(stop);
    EXPECT_TRUE(stop.str() == "0" || stop.str() == "1") << stop.str();
    EXPECT_TRUE(eventually("status", "eth1", "0")) << agent_log();
    // Still present, now without IPv4.
    EXPECT_TRUE(eventually("get_ip_address", "eth1", "0.0.0.0")) << agent_log();

    EXPECT_EQ(value_of(call("status", {Arg::s("eth0")})), "1");
    EXPECT_EQ(value_of(call("get_ip_address", {Arg::s("eth0")})), "192.0.2.10");
}
