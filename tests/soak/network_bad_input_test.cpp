// Hostile input to the network agent (calls of the wrong shape, GetAll, no
// UTF-8, empty, 100 kB and every-byte names): each is answered, scripts get
// a name only as one plain argument, and the agent goes on answering.
#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

#include "network_agent_fixture.h"
#include "soak_client_run.h"

using namespace korvex::test;

namespace {

const std::string kLong = repeated("%s%n%x%p", 100 * 1024);

class NetworkBadInput : public NetworkAgentTest {
protected:
    void SetUp() override { ASSERT_TRUE(start_agent({rules_refusing_user("nobody")})); }

    void TearDown() override {
        if (!agent_)
            return;
        EXPECT_TRUE(agent_->process().running()) << agent_log();
        EXPECT_EQ(value_of(call("status", {Arg::s("eth0")})), "1");
        EXPECT_EQ(client_->name_owner_pid(kNetworkName),
                  static_cast<uint32_t>(agent_->process().pid()));
    }
};

} // namespace

TEST_F(NetworkBadInput, CallsOfTheWrongShapeAndGetAllGetAnError) {
    struct Misfit {
        std::string iface, member;
        std::vector<Arg> args;
        std::string error_name;
    };
    const std::string network = kNetworkIface;
    const std::string properties = kPropertiesIface;
    const std::vector<Misfit> calls = {
        {network, "list", {Arg::s("eth0")}, kUnknownMethod},
        {network, "start", {}, kUnknownMethod},
        {network, "start", {Arg::u(1)}, kUnknownMethod},
        {network, "stop", {Arg::s("eth0"), Arg::s("eth1")}, kUnknownMethod},
        {network, "status", {Arg::b(true)}, kUnknownMethod},
        {network, "get_ip_address", {Arg::vs("eth0")}, kUnknownMethod},
        {network, "get_mac_address", {Arg::i(0)}, kUnknownMethod},
        {network, "no_such_member", {}, kUnknownMethod},
        {properties, "Get", {Arg::s(network)}, kInvalidArgs},
        // Any other shape would reach dbus-glib's own handler, which asks nobody.
        {properties, "Get", {Arg::s(network), Arg::s("uuid"), Arg::s("x")}, kInvalidArgs},
        {properties, "Set", {Arg::s(network), Arg::s("uuid"), Arg::s("x")}, kInvalidArgs},
        {properties, "GetAll", {Arg::s(network)}, kUnknownMethod},
        {properties, "GetAll", {Arg::s("")}, kUnknownMethod},
    };
    for (const Misfit &misfit : calls) {
        SCOPED_TRACE(misfit.iface + "." + misfit.member + " with " +
                     std::to_string(misfit.args.size()) + " argument(s)");
        Reply reply = call(misfit.member, misfit.args, misfit.iface);
        EXPECT_FALSE(reply.ok) << describe(reply);
        EXPECT_EQ(reply.error_name, misfit.error_name) << reply.error_message;
    }
    // GetAll would otherwise hand the refused user what Get refuses it.
    Reply nobody = call_as_nobody("GetAll", {Arg::s(network)}, properties);
    EXPECT_EQ(nobody.error_name, kUnknownMethod) << describe(nobody);
    EXPECT_EQ(call_as_nobody("status", {Arg::s("eth0")}).error_name, code_error(5));

    // A name that is not UTF-8 never gets past the bus.
    const std::string placeholder = "NAME-PLACEHOLDER";
    BusClient raw(bus_->address());
    raw.send_patched(kNetworkName, kNetworkPath, kNetworkIface, "start", {Arg::s(placeholder)},
                     placeholder, "eth\xff\xfe" + std::string(placeholder.size() - 5, 'x'));
    EXPECT_TRUE(raw.dropped_within(std::chrono::seconds(30)));

    EXPECT_TRUE(recorded().empty()) << ::testing::PrintToString(recorded());
    EXPECT_EQ(agent_log().find("Caller is not authorized for action org.vaduderuvoziz.Network."
                               "start"),
              std::string::npos);
}

TEST_F(NetworkBadInput, EmptyHugeAndOddNamesReadAsAbsent) {
    std::vector<std::string> names = {
        "",        kLong,    std::string(16, 'e'), "eth0 ", " eth0", "eth0\n", "ETH0", "eth0:1",
        "eth0/..", "../eth0"};
    for (int byte = 1; byte < 128; ++byte) {
        names.push_back(std::string(1, static_cast<char>(byte)));
        names.push_back("eth0" + std::string(1, static_cast<char>(byte)));
    }
    names.push_back("eth\xc3\xa9");
    names.push_back("\xf0\x9f\x98\x80");
    for (const std::string &name : names) {
        SCOPED_TRACE(::testing::PrintToString(name.substr(0, 20)) + " (" +
                     std::to_string(name.size()) + " bytes)");
        EXPECT_EQ(value_of(call("status", {Arg::s(name)})), "0");
        EXPECT_EQ(value_of(call("get_ip_address", {Arg::s(name)})), "");
        EXPECT_EQ(value_of(call("get_mac_address", {Arg::s(name)})), "");
        EXPECT_EQ(value_of(call("stop", {Arg::s(name)})), "0");
    }
    // Property names and interface arguments only form an action id,
    // which PolicyKit does not know; names longer than a bus name can be
    // are refused before PolicyKit is asked.
    const std::string longest(255, 'p');
    const std::tuple<std::string, std::string, int> cases[] = {
        {"", "uuid", 5},          {longest, "uuid", 5},   {longest + "p", "uuid", 2},
        {kLong, "uuid", 2},       {kNetworkIface, "", 5}, {kNetworkIface, longest, 5},
        {kNetworkIface, kLong, 2}};
    for (const auto &[iface, property, code] : cases) {
        Reply get = call("Get", {Arg::s(iface), Arg::s(property)}, kPropertiesIface);
        EXPECT_EQ(get.error_name, code_error(code)) << describe(get).substr(0, 200);
        Reply set =
            call("Set", {Arg::s(iface), Arg::s(property), Arg::vs(kLong)}, kPropertiesIface);
        EXPECT_EQ(set.error_name, code_error(code)) << describe(set).substr(0, 200);
    }
    EXPECT_EQ(agent_log().find(kLong.substr(0, 300)), std::string::npos);
    // Nothing was up to be stopped.
    EXPECT_TRUE(recorded().empty()) << ::testing::PrintToString(recorded());
}

TEST_F(NetworkBadInput, StartHandsTheScriptAnyUsableNameAsOneArgument) {
    const std::string huge(100 * 1024, 'n');
    EXPECT_EQ(value_of(call("start", {Arg::s("")})), "0");
    EXPECT_EQ(value_of(call("start", {Arg::s("--all")})), "0");
    EXPECT_EQ(value_of(call("start", {Arg::s(huge)})), "0");
    EXPECT_EQ(value_of(call("start", {Arg::s("a b\tc")})), "0");
    EXPECT_EQ(value_of(call("start", {Arg::s("$(id)")})), "0");
    ASSERT_TRUE(wait_for_recorded(3));
    // The scripts run detached, so their lines come in any order.
    std::vector<std::string> lines = recorded();
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, (std::vector<std::string>{"/sbin/ifup [$(id)]", "/sbin/ifup [a b\tc]",
                                               "/sbin/ifup [" + huge + "]"}));
}

TEST_F(NetworkBadInput, AnInterfaceNameThatIsNotUtf8IsListedWithReplacementCharacters) {
    // Linux takes any byte but '/', ':' and white space in a name.
    space_.ip({"link", "add", "br\xe9\xff", "type", "bridge"});
    Reply list = call("list");
    ASSERT_TRUE(list.ok) << describe(list);
    const std::vector<std::string> &names = list.values.at(0).strings;
    EXPECT_NE(std::find(names.begin(), names.end(), "br\xef\xbf\xbd\xef\xbf\xbd"), names.end())
        << ::testing::PrintToString(names);
    EXPECT_TRUE(agent_->process().running());
    EXPECT_EQ(value_of(call("status", {Arg::s("lo")})), "1");
}
