// What the network agent reads: interfaces, states and addresses of the namespace it
// serves, the host identity properties and its published interface description.
#include <gio/gio.h>

#include <algorithm>
#include <array>
#include <functional>
#include <regex>
#include <stdexcept>
#include <tuple>

#include "host_identity.h"
#include "network_agent_fixture.h"

using namespace korvex::test;

namespace {

// Name, type and direction of each argument, in arguments first.
using Args = std::vector<std::tuple<std::string, std::string, std::string>>;
using Property = std::pair<std::string, std::string>; // type, access

struct Described {
    std::map<std::string, Args> methods;
    std::map<std::string, Property> properties;
    size_t signals = 0;
};

// Interfaces by name as GDBus reads the XML, so tests compare structure
// rather than the generator's layout; a later description of a method stands.
std::map<std::string, Described> read_introspection(const std::string &xml) {
    g_autoptr(GDBusNodeInfo) node = g_dbus_node_info_new_for_xml(xml.c_str(), nullptr);
    if (!node)
        throw std::runtime_error("introspection data is not valid XML");
    std::map<std::string, Described> interfaces;
    for (GDBusInterfaceInfo **i = node->interfaces; i && *i; ++i) {
        Described &described = interfaces[(*i)->name];
        for (GDBusMethodInfo **m = (*i)->methods; m && *m; ++m) {
            Args &args = described.methods[(*m)->name] = {};
            for (auto [list, way] : {std::pair{(*m)->in_args, "in"}, {(*m)->out_args, "out"}})
                for (GDBusArgInfo **a = list; a && *a; ++a)
                    args.emplace_back((*a)->name, (*a)->signature, way);
        }
        for (GDBusPropertyInfo **p = (*i)->properties; p && *p; ++p) {
            static const char *const access[] = {"none", "read", "write", "readwrite"};
            described.properties[(*p)->name] = {(*p)->signature, access[(*p)->flags & 3]};
        }
        for (GDBusSignalInfo **s = (*i)->signals; s && *s; ++s)
            ++described.signals;
    }
    return interfaces;
}

struct NetworkAgentQueries : NetworkAgentTest {
    void SetUp() override { ASSERT_TRUE(start_agent({})); }

    // "iface|present|state|ip|mac" of a signal, and the same of the three queries now.
    static std::string told(const std::optional<Signal> &signal) {
        std::string text;
        for (const auto &value : signal ? signal->values : std::vector<Value>{})
            text += (text.empty() ? "" : "|") + value.text;
        return signal ? text : "no signal";
    }
    std::string answered(const std::string &name) {
        const std::string mac = value_of(call("get_mac_address", {Arg::s(name)}));
        return name + "|" + (mac.empty() ? "0" : "1") + "|" + value_of(call("status", {Arg::s(name)})) +
               "|" + value_of(call("get_ip_address", {Arg::s(name)})) + "|" + mac;
    }
};

} // namespace

TEST_F(NetworkAgentQueries, ListIsTheNamespacesInterfacesInReverseEnumerationOrder) {
    std::vector<std::string> expected = space_.link_names();
    ASSERT_EQ(expected, (std::vector<std::string>{"lo", "eth0", "eth1"}));
    std::reverse(expected.begin(), expected.end());

    Reply list = call("list");
    ASSERT_TRUE(list.ok) << value_of(list);
    ASSERT_EQ(list.values.size(), 1u);
    EXPECT_EQ(list.values[0].signature, "as");
    EXPECT_EQ(list.values[0].strings, expected);

    space_.ip({"link", "add", "br0", "type", "bridge"}); // nothing is cached
    expected = space_.link_names();
    std::reverse(expected.begin(), expected.end());
    Reply after = call("list");
    ASSERT_TRUE(after.ok) << value_of(after);
    EXPECT_EQ(after.values.at(0).strings, expected);
    EXPECT_EQ(after.values.at(0).strings.front(), "br0");
}

TEST_F(NetworkAgentQueries, PresentInterfacesReportStateAndAddresses) {
    const std::vector<std::array<std::string, 4>> table = {
        {"lo", "1", "127.0.0.1", "00:00:00:00:00:00"},
        {"eth0", "1", "192.0.2.10", "02:00:00:00:00:0A"},
        {"eth1", "0", "0.0.0.0", "02:AB:CD:EF:00:FF"}, // present, without IPv4
    };
    for (const auto &[name, want_status, want_ip, want_mac] : table) {
        Reply status = call("status", {Arg::s(name)});
        ASSERT_TRUE(status.ok) << name << ": " << value_of(status);
        EXPECT_EQ(status.values.at(0).signature, "u");
        EXPECT_EQ(status.str(), want_status) << name;

        Reply ip = call("get_ip_address", {Arg::s(name)});
        ASSERT_TRUE(ip.ok) << name << ": " << value_of(ip);
        EXPECT_EQ(ip.values.at(0).signature, "s");
        EXPECT_EQ(ip.str(), want_ip) << name;

        Reply mac = call("get_mac_address", {Arg::s(name)});
        ASSERT_TRUE(mac.ok) << name << ": " << value_of(mac);
        EXPECT_EQ(mac.values.at(0).signature, "s");
        EXPECT_EQ(mac.str(), want_mac) << name;
    }

    // Every request reads the namespace afresh.
    space_.ip({"address", "add", "198.51.100.7/24", "dev", "eth1"});
    space_.ip({"link", "set", "eth1", "up"});
    space_.ip({"link", "set", "eth0", "down"});
    EXPECT_EQ(value_of(call("status", {Arg::s("eth1")})), "1");
    EXPECT_EQ(value_of(call("get_ip_address", {Arg::s("eth1")})), "198.51.100.7");
    EXPECT_EQ(value_of(call("status", {Arg::s("eth0")})), "0");
}

TEST_F(NetworkAgentQueries, AbsentNamesReadAsDownWithEmptyAddresses) {
    // Names match only whole and in the same case; an over-long one is just absent.
    const std::vector<std::string> absent = {
        "eth9", "ETH0", "eth", "eth0 ", "eth0:1", "", std::string(300, 'x')};
    for (const auto &name : absent) {
        EXPECT_EQ(value_of(call("status", {Arg::s(name)})), "0") << "'" << name << "'";
        EXPECT_EQ(value_of(call("get_ip_address", {Arg::s(name)})), "") << "'" << name << "'";
        EXPECT_EQ(value_of(call("get_mac_address", {Arg::s(name)})), "") << "'" << name << "'";
    }
    EXPECT_EQ(value_of(call("status", {Arg::s("eth0")})), "1");
}

TEST_F(NetworkAgentQueries, EveryKindOfChangeIsSignalledAsTheQueriesAnswerIt) {
    BusClient listener(bus_->address());
    listener.listen(kNetworkMonitorIface, "interface_changed");
    const std::string mac = "02:00:00:00:00:22";
    const std::vector<std::pair<std::function<void()>, std::string>> changes = {
        {[&] { space_.add_veth("eth2", mac); }, "eth2|1|0|0.0.0.0|02:00:00:00:00:22"},
        {[&] { space_.ip({"link", "set", "eth2", "up"}); }, "eth2|1|1|0.0.0.0|02:00:00:00:00:22"},
        {[&] { space_.ip({"address", "add", "198.51.100.9/24", "dev", "eth2"}); },
         "eth2|1|1|198.51.100.9|02:00:00:00:00:22"},
        {[&] { space_.ip({"link", "set", "eth2", "down"}); },
         "eth2|1|0|198.51.100.9|02:00:00:00:00:22"},
        {[&] { space_.ip({"link", "set", "eth2", "address", "02:00:00:00:00:2b"}); },
         "eth2|1|0|198.51.100.9|02:00:00:00:00:2B"},
        {[&] { space_.ip({"link", "del", "eth2"}); }, "eth2|0|0||"},
    };
    for (const auto &[change, expected] : changes) {
        change();
        EXPECT_EQ(told(listener.next_signal(std::chrono::seconds(5))), expected);
        EXPECT_EQ(answered("eth2"), expected);
    }
    EXPECT_EQ(told(listener.next_signal(std::chrono::milliseconds(300))), "no signal");
}

TEST_F(NetworkAgentQueries, ABurstOfChangesIsSignalledAtMostOnceATenthOfASecond) {
    BusClient listener(bus_->address());
    listener.listen(kNetworkMonitorIface, "interface_changed");
    std::string burst;
    for (int i = 0; i < 20; ++i)
        burst += i % 2 == 0 ? "link set eth1 up\n" : "link set eth1 down\n";
    const auto began = std::chrono::steady_clock::now();
    space_.ip({"-batch", dir_.write("burst", burst + "link set eth1 up\n")});
    const auto took = std::chrono::steady_clock::now() - began;
    std::vector<Signal> heard;
    while (heard.size() < 50)
        if (auto signal = listener.next_signal(std::chrono::seconds(1)))
            heard.push_back(*signal);
        else
            break;
    ASSERT_FALSE(heard.empty());
    EXPECT_EQ(told(heard.back()), "eth1|1|1|0.0.0.0|02:AB:CD:EF:00:FF");
    EXPECT_LE(heard.size(), 2 + size_t(took / std::chrono::milliseconds(100))) << told(heard[0]);
}

TEST_F(NetworkAgentQueries, PropertiesServeTheHostIdentity) {
    Reply uuid = get_property("uuid");
    ASSERT_TRUE(uuid.ok) << value_of(uuid);
    EXPECT_TRUE(uuid.values.at(0).was_variant);
    EXPECT_EQ(uuid.values.at(0).signature, "s");
    EXPECT_EQ(uuid.str(), expected_uuid());
    EXPECT_TRUE(
        std::regex_match(uuid.str(), std::regex("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-"
                                                "[0-9a-f]{12}")))
        << uuid.str();

    Reply hostname = get_property("hostname");
    ASSERT_TRUE(hostname.ok) << value_of(hostname);
    EXPECT_EQ(hostname.values.at(0).signature, "s");
    EXPECT_EQ(hostname.str(), expected_hostname());

    Reply placeholder = get_property("qmf-gen-no-crash");
    ASSERT_TRUE(placeholder.ok) << value_of(placeholder);
    EXPECT_EQ(placeholder.values.at(0).signature, "i");
    EXPECT_EQ(placeholder.str(), "0");

    // The configuration agent's property is not one of this agent's: no
    // action of that name exists, so PolicyKit fails the check first.
    Reply foreign = get_property("is_postboot_configured");
    EXPECT_FALSE(foreign.ok);
    EXPECT_EQ(foreign.error_name, code_error(5));
    EXPECT_EQ(foreign.error_message,
              "GDBus.Error:org.freedesktop.PolicyKit1.Error.Failed: Action "
              "org.vaduderuvoziz.Network.is_postboot_configured is not registered");
}

TEST_F(NetworkAgentQueries, IntrospectionDescribesTheInterface) {
    Reply introspection = call("Introspect", {}, "org.freedesktop.DBus.Introspectable");
    ASSERT_TRUE(introspection.ok) << value_of(introspection);
    const auto interfaces = read_introspection(introspection.str());

    ASSERT_TRUE(interfaces.count(kNetworkIface)) << introspection.str();
    const Described &network = interfaces.at(kNetworkIface);
    const std::map<std::string, Args> methods = {
        {"list", {{"iface_map", "as", "out"}}},
        {"start", {{"iface", "s", "in"}, {"status", "u", "out"}}},
        {"stop", {{"iface", "s", "in"}, {"status", "u", "out"}}},
        {"status", {{"iface", "s", "in"}, {"status", "u", "out"}}},
        {"get_ip_address", {{"iface", "s", "in"}, {"ip", "s", "out"}}},
        {"get_mac_address", {{"iface", "s", "in"}, {"mac", "s", "out"}}},
    };
    EXPECT_EQ(network.methods, methods);
    const std::map<std::string, Property> properties = {
        {"uuid", {"s", "read"}}, {"hostname", {"s", "read"}}, {"qmf-gen-no-crash", {"i", "read"}}};
    EXPECT_EQ(network.properties, properties);
    EXPECT_EQ(network.signals, 0u);
    ASSERT_TRUE(interfaces.count(kNetworkMonitorIface)) << introspection.str();
    EXPECT_EQ(interfaces.at(kNetworkMonitorIface).signals, 1u);

    ASSERT_TRUE(interfaces.count(kPropertiesIface)) << introspection.str();
    const Described &props = interfaces.at(kPropertiesIface);
    ASSERT_TRUE(props.methods.count("Get"));
    EXPECT_EQ(props.methods.at("Get"),
              (Args{{"interface", "s", "in"}, {"property", "s", "in"}, {"value", "v", "out"}}));
    ASSERT_TRUE(props.methods.count("Set"));
    EXPECT_EQ(props.methods.at("Set"),
              (Args{{"interface", "s", "in"}, {"property", "s", "in"}, {"value", "v", "in"}}));
}
