// Ten thousand mixed queries to the network agent, a quarter from a refused
// caller: all answered, no more memory or descriptors held than after a
// warm-up of the same mix, and no interface script run.
#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>

#include "host_identity.h"
#include "memory_check.h"
#include "network_agent_fixture.h"
#include "process_footprint.h"
#include "request_plan.h"
#include "soak_client_run.h"

using namespace korvex::test;

namespace {

constexpr uint64_t kWarmUpRequests = 1000;
constexpr uint64_t kRootRequests = 7500;
constexpr uint64_t kRefusedRequests = 2500;

PlannedCall network_call(const std::string &member, std::vector<Arg> args) {
    return {kNetworkName, kNetworkPath, kNetworkIface, member, std::move(args), {}};
}

PlannedCall property_get(const std::string &name) {
    PlannedCall call = network_call("Get", {Arg::s(kNetworkIface), Arg::s(name)});
    call.iface = kPropertiesIface;
    return call;
}

class NetworkSoak : public NetworkAgentTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(start_agent({rules_refusing_user("nobody")}, InterfaceScripts::Recorder,
                                steady_memory_environment()));
    }

    std::vector<PlannedCall> root_mix() {
        const std::vector<std::pair<PlannedCall, std::string>> table = {
            {network_call("list", {}), ""},
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

    std::vector<PlannedCall> refused_mix() {
        return all_refused({
            network_call("list", {}),
            network_call("status", {Arg::s("eth0")}),
            network_call("get_ip_address", {Arg::s("eth0")}),
            network_call("get_mac_address", {Arg::s("eth0")}),
            network_call("start", {Arg::s("eth1")}),
            property_get("hostname"),
        });
    }
};

} // namespace

TEST_F(NetworkSoak, MixedQueriesLeaveNothingBehind) {
    const std::vector<PlannedCall> root_plan = root_mix();
    const std::vector<PlannedCall> refused_plan = refused_mix();
    ASSERT_FALSE(HasFailure());
    const std::string address = bus_->address();
    const pid_t pid = static_cast<pid_t>(client_->name_owner_pid(kNetworkName));
    ASSERT_EQ(pid, agent_->process().pid());

    {
        SoakClientRun root(address, root_plan, requests(kWarmUpRequests));
        SoakClientRun nobody(address, refused_plan, requests(kWarmUpRequests / 4, kNobody));
        expect_all_answered(root, kWarmUpRequests);
        expect_all_answered(nobody, kWarmUpRequests / 4);
    }
    ASSERT_FALSE(HasFailure());
    const Footprint warm = footprint_of(pid);

    const auto start = std::chrono::steady_clock::now();
    {
        SoakClientRun root(address, root_plan, requests(kRootRequests));
        SoakClientRun nobody(address, refused_plan, requests(kRefusedRequests, kNobody));
        expect_all_answered(root, kRootRequests);
        expect_all_answered(nobody, kRefusedRequests);
    }
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start)
            .count();

    ASSERT_EQ(value_of(call("status", {Arg::s("eth0")})), "1");
    const Footprint after = footprint_of(pid);
    std::cout << "network-dbus: " << kRootRequests + kRefusedRequests << " requests in " << seconds
              << " s; RSS after warm-up " << warm.rss_kib << " KiB, after soak " << after.rss_kib
              << " KiB; descriptors " << warm.descriptors.size() << " / "
              << after.descriptors.size() << '\n';
    EXPECT_TRUE(rss_within_bound(warm.rss_kib, after.rss_kib));
    EXPECT_EQ(after.descriptors.size(), warm.descriptors.size())
        << "after warm-up: " << ::testing::PrintToString(warm.descriptors)
        << "\nafter soak: " << ::testing::PrintToString(after.descriptors);
    // Nobody was ever allowed to start or stop, and root only asked for
    // the state an interface already had.
    EXPECT_TRUE(recorded().empty()) << ::testing::PrintToString(recorded());
}
