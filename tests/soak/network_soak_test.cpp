// Ten thousand mixed queries to the network agent, a quarter from a refused
// caller: all answered, no more memory or descriptors held than after a
// warm-up of the same mix, and no interface script run.
#include <gtest/gtest.h>

#include <algorithm>

#include "host_identity.h"
#include "network_agent_fixture.h"
#include "soak_client_run.h"

using namespace korvex::test;

namespace {

constexpr uint64_t kWarmUpRequests = 1000;
constexpr uint64_t kRootRequests = 7500;
constexpr uint64_t kRefusedRequests = 2500;

PlannedCall network_call(const std::string &member, std::vector<Arg> args = {},
                         const char *iface = kNetworkIface) {
    return {kNetworkName, kNetworkPath, iface, member, std::move(args), {}};
}

PlannedCall property_get(const std::string &name) {
    return network_call("Get", {Arg::s(kNetworkIface), Arg::s(name)}, kPropertiesIface);
}

class NetworkSoak : public NetworkAgentTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(start_agent({rules_refusing_user("nobody")}, InterfaceScripts::Recorder,
                                steady_memory_environment()));
    }

    std::vector<PlannedCall> root_mix() {
        const std::vector<std::pair<PlannedCall, std::string>> table = {
            {network_call("list"), ""},
            {network_call("status", {Arg::s("eth0")}), "reply (u) \"1\""},
            {network_call("status", {Arg::s("eth1")}), "reply (u) \"0\""},
            {network_call("status", {Arg::s("absent0")}), "reply (u) \"0\""},
            {network_call("get_ip_address", {Arg::s("eth0")}), "reply (s) \"192.0.2.10\""},
            {network_call("get_ip_address", {Arg::s("lo")}), "reply (s) \"127.0.0.1\""},
            {network_call("get_ip_address", {Arg::s("eth1")}), "reply (s) \"0.0.0.0\""},
            {network_call("get_mac_address", {Arg::s("eth0")}), "reply (s) \"02:00:00:00:00:0A\""},
            {network_call("get_mac_address", {Arg::s("eth1")}), "reply (s) \"02:AB:CD:EF:00:FF\""},
            {network_call("get_mac_address", {Arg::s("absent0")}), "reply (s) \"\""},
            // Already in the asked state: nothing is started.
            {network_call("start", {Arg::s("eth0")}), "reply (u) \"1\""},
            {network_call("stop", {Arg::s("eth1")}), "reply (u) \"0\""},
            {property_get("uuid"), "reply (s) \"" + expected_uuid() + "\""},
        };
        std::vector<PlannedCall> mix;
        for (const auto &[planned, expected] : table) {
            PlannedCall &call = mix.emplace_back(planned);
            call.expected = client_->call(call.dest, call.path, call.iface, call.member, call.args);
            if (call.member == "list") {
                std::vector<std::string> names = call.expected.values.at(0).strings;
                std::sort(names.begin(), names.end());
                EXPECT_EQ(names, (std::vector<std::string>{"eth0", "eth1", "lo"}));
            } else {
                EXPECT_EQ(describe(call.expected), expected) << call.member << " #" << mix.size();
            }
        }
        return mix;
    }
};

} // namespace

TEST_F(NetworkSoak, MixedQueriesLeaveNothingBehind) {
    const std::vector<PlannedCall> root_plan = root_mix();
    const std::vector<PlannedCall> refused_plan = all_refused({
        network_call("list"),
        network_call("status", {Arg::s("eth0")}),
        network_call("get_ip_address", {Arg::s("eth0")}),
        network_call("get_mac_address", {Arg::s("eth0")}),
        network_call("start", {Arg::s("eth1")}),
        property_get("hostname"),
    });
    ASSERT_FALSE(HasFailure());
    const std::string address = bus_->address();
    const pid_t pid = static_cast<pid_t>(client_->name_owner_pid(kNetworkName));
    ASSERT_EQ(pid, agent_->process().pid());

    run_root_and_nobody(address, root_plan, kWarmUpRequests, refused_plan, kWarmUpRequests / 4);
    ASSERT_FALSE(HasFailure());
    const Footprint warm = footprint_of(pid);

    run_root_and_nobody(address, root_plan, kRootRequests, refused_plan, kRefusedRequests);
    ASSERT_EQ(value_of(call("status", {Arg::s("eth0")})), "1");
    expect_footprint_kept("network-dbus", warm, footprint_of(pid));
    // Nobody was ever allowed to start or stop, and root only asked for
    // the state an interface already had.
    EXPECT_TRUE(recorded().empty()) << ::testing::PrintToString(recorded());
}
