// Who may do what: by the shipped policy anybody reads but only administrators start or
// stop; rules can refuse a user everything; a refused or unanswered check runs no script.
#include <korvex/kcommon.h>

#include "host_identity.h"
#include "network_agent_fixture.h"

using namespace korvex::test;

namespace {

struct Request {
    std::string interface;
    std::string member;
    std::vector<Arg> args;
    std::string action;
};

// Every request of the agent, with the action it is checked against.
std::vector<Request> every_request() {
    const std::string net = kNetworkIface;
    std::vector<Request> requests = {
        {net, "list", {}, net + ".list"},
        {net, "start", {Arg::s("eth1")}, net + ".start"},
        {net, "stop", {Arg::s("eth0")}, net + ".stop"},
        {net, "status", {Arg::s("eth0")}, net + ".status"},
        {net, "get_ip_address", {Arg::s("eth0")}, net + ".get_ip_address"},
        {net, "get_mac_address", {Arg::s("eth0")}, net + ".get_mac_address"},
    };
    for (const std::string property : {"uuid", "hostname", "qmf-gen-no-crash"})
        requests.push_back(
            {kPropertiesIface, "Get", {Arg::s(net), Arg::s(property)}, net + "." + property});
    return requests;
}

struct NetworkAgentDefaultPolicy : NetworkAgentTest {
    void SetUp() override { ASSERT_TRUE(start_agent({})); }
};

struct NetworkAgentRefusingNobody : NetworkAgentTest {
    void SetUp() override { ASSERT_TRUE(start_agent({rules_refusing_user("nobody")})); }
};

} // namespace

TEST_F(NetworkAgentDefaultPolicy, AnyoneMayReadButOnlyAdministratorsStartOrStop) {
    Reply list = call_as_nobody("list");
    ASSERT_TRUE(list.ok) << value_of(list);
    EXPECT_EQ(list.values.at(0).strings, (std::vector<std::string>{"eth1", "eth0", "lo"}));
    EXPECT_EQ(value_of(call_as_nobody("status", {Arg::s("eth0")})), "1");
    EXPECT_EQ(value_of(call_as_nobody("get_ip_address", {Arg::s("eth0")})), "192.0.2.10");
    EXPECT_EQ(value_of(call_as_nobody("get_mac_address", {Arg::s("eth0")})), "02:00:00:00:00:0A");
    Reply uuid = call_as_nobody("Get", {Arg::s(kNetworkIface), Arg::s("uuid")}, kPropertiesIface);
    EXPECT_EQ(value_of(uuid), expected_uuid());

    for (const auto &[member, iface] : {std::pair{"start", "eth1"}, std::pair{"stop", "eth0"}}) {
        Reply refused = call_as_nobody(member, {Arg::s(iface)});
        EXPECT_FALSE(refused.ok) << member;
        EXPECT_EQ(refused.error_name, code_error(5)) << member;
        EXPECT_EQ(refused.error_message, kx_result_to_str(5)) << member;
        EXPECT_TRUE(logged(std::string("Caller is not authorized for action "
                                       "org.vaduderuvoziz.Network.") +
                           member + " (uid 65534, pid "))
            << agent_log();
    }

    // Root may; its start is the only line, so the refused calls ran nothing.
    EXPECT_EQ(value_of(call("start", {Arg::s("eth7")})), "0");
    ASSERT_TRUE(wait_for_recorded(1));
    EXPECT_EQ(recorded(), Lines{"/sbin/ifup [eth7]"});
    EXPECT_EQ(value_of(call("status", {Arg::s("eth0")})), "1");
}

TEST_F(NetworkAgentDefaultPolicy, WithoutPolkitEveryRequestFailsAndNothingRuns) {
    bus_->stop_polkit();
    for (const auto &request : every_request()) {
        Reply reply = call(request.member, request.args, request.interface);
        EXPECT_FALSE(reply.ok) << request.action;
        EXPECT_EQ(reply.error_name, code_error(5)) << request.action;
        // The message is PolicyKit's own, not the refusal text.
        EXPECT_NE(reply.error_message, kx_result_to_str(5)) << request.action;
    }

    bus_->start_polkit();
    EXPECT_EQ(value_of(call("start", {Arg::s("eth7")})), "0");
    ASSERT_TRUE(wait_for_recorded(1));
    EXPECT_EQ(recorded(), Lines{"/sbin/ifup [eth7]"});
}

TEST_F(NetworkAgentRefusingNobody, EveryRequestOfTheRefusedUserGetsCodeFive) {
    for (const auto &request : every_request()) {
        Reply reply = call_as_nobody(request.member, request.args, request.interface);
        EXPECT_FALSE(reply.ok) << request.action << ": " << value_of(reply);
        EXPECT_EQ(reply.error_name, code_error(5)) << request.action;
        EXPECT_EQ(reply.error_message, kx_result_to_str(5)) << request.action;
        EXPECT_TRUE(
            logged("Caller is not authorized for action " + request.action + " (uid 65534, pid "))
            << request.action;
    }

    // Root is still served: only the refused user is turned away.
    for (const auto &request : every_request()) {
        if (request.member == "start" || request.member == "stop")
            continue;
        Reply reply = call(request.member, request.args, request.interface);
        EXPECT_TRUE(reply.ok) << request.action << ": " << value_of(reply);
    }
    EXPECT_EQ(value_of(call("start", {Arg::s("eth7")})), "0");
    ASSERT_TRUE(wait_for_recorded(1));
    EXPECT_EQ(recorded(), Lines{"/sbin/ifup [eth7]"});
}
