// What the agent publishes: its properties through Get and Set, and its introspection data.
#include <map>
#include <memory>

#include <gio/gio.h>

#include <korvex/kcommon.h>

#include "host_identity.h"
#include "sysconfig_agent_fixture.h"

using namespace korvex::test;

using AgentInterface = SysconfigAgentTest;

// "name:type:direction" for each argument of a method, in order.
static std::vector<std::string> describe_args(const GDBusMethodInfo *method) {
    std::vector<std::string> out;
    for (auto [args, direction] : {std::pair{method->in_args, ":in"}, {method->out_args, ":out"}})
        for (GDBusArgInfo **arg = args; arg != nullptr && *arg != nullptr; ++arg)
            out.push_back(std::string((*arg)->name) + ":" + (*arg)->signature + direction);
    return out;
}

using Members = std::map<std::string, std::vector<std::string>>;

static Members describe_methods(const GDBusInterfaceInfo *iface) {
    Members out;
    for (GDBusMethodInfo **m = iface->methods; m != nullptr && *m != nullptr; ++m)
        out[(*m)->name] = describe_args(*m);
    return out;
}

static std::map<std::string, std::string> describe_properties(const GDBusInterfaceInfo *iface) {
    std::map<std::string, std::string> out;
    for (GDBusPropertyInfo **p = iface->properties; p != nullptr && *p != nullptr; ++p) {
        std::string access = (*p)->flags & G_DBUS_PROPERTY_INFO_FLAGS_READABLE ? "read" : "";
        if ((*p)->flags & G_DBUS_PROPERTY_INFO_FLAGS_WRITABLE)
            access += "write";
        out[(*p)->name] = std::string((*p)->signature) + ":" + access;
    }
    return out;
}

TEST_F(AgentInterface, PropertiesServeTheHostAndIgnoreWrites) {
    Reply uuid = get("uuid");
    ASSERT_TRUE(uuid.ok) << uuid.error_name << ": " << uuid.error_message;
    ASSERT_EQ(uuid.values.size(), 1u);
    EXPECT_TRUE(uuid.values[0].was_variant);
    EXPECT_EQ(uuid.values[0].signature, "s");
    EXPECT_EQ(uuid.str(), expected_uuid());

    Reply hostname = get("hostname");
    ASSERT_TRUE(hostname.ok) << hostname.error_message;
    EXPECT_EQ(hostname.values.at(0).signature, "s");
    EXPECT_EQ(hostname.str(), expected_hostname());

    for (const auto &[name, signature] : std::vector<std::pair<std::string, std::string>>{
             {"is_postboot_configured", "u"}, {"qmf-gen-no-crash", "i"}}) {
        Reply reply = get(name);
        ASSERT_TRUE(reply.ok) << name << ": " << reply.error_message;
        EXPECT_EQ(reply.values.at(0).signature, signature) << name;
        EXPECT_EQ(reply.str(), "0") << name;
    }

    Reply set =
        client_->call(kSysconfigName, kSysconfigPath, kPropertiesIface, "Set",
                      {Arg::s(kSysconfigIface), Arg::s("is_postboot_configured"), Arg::vu(1)});
    ASSERT_TRUE(set.ok) << set.error_name << ": " << set.error_message;
    EXPECT_TRUE(set.values.empty());
    EXPECT_EQ(get("is_postboot_configured").str(), "0");

    // A name that is no property has no PolicyKit action: the check fails first, with its message.
    Reply unknown = get("no-such-property");
    EXPECT_FALSE(unknown.ok);
    EXPECT_EQ(unknown.error_name, code_error(5));
    EXPECT_NE(unknown.error_message.find(
                  "Action org.vaduderuvoziz.Sysconfig.no-such-property is not registered"),
              std::string::npos)
        << unknown.error_message;
}

TEST_F(AgentInterface, IntrospectionDescribesMethodsAndProperties) {
    Reply reply = client_->call(kSysconfigName, kSysconfigPath,
                                "org.freedesktop.DBus.Introspectable", "Introspect");
    ASSERT_TRUE(reply.ok) << reply.error_name << ": " << reply.error_message;
    GError *error = nullptr;
    std::unique_ptr<GDBusNodeInfo, decltype(&g_dbus_node_info_unref)> node(
        g_dbus_node_info_new_for_xml(reply.str().c_str(), &error), g_dbus_node_info_unref);
    ASSERT_TRUE(node) << (error ? error->message : "") << "\n" << reply.str();

    const GDBusInterfaceInfo *sysconfig =
        g_dbus_node_info_lookup_interface(node.get(), kSysconfigIface);
    ASSERT_NE(sysconfig, nullptr) << reply.str();
    const Members expected_methods = {
        {"run_uri", {"uri:s:in", "flags:u:in", "scheme:s:in", "key:s:in", "status:s:out"}},
        {"run_string", {"text:s:in", "flags:u:in", "scheme:s:in", "key:s:in", "status:s:out"}},
        {"query", {"text:s:in", "flags:u:in", "scheme:s:in", "data:s:out"}},
        {"is_configured", {"key:s:in", "status:s:out"}},
    };
    EXPECT_EQ(describe_methods(sysconfig), expected_methods);
    const std::map<std::string, std::string> expected_properties = {
        {"uuid", "s:read"},
        {"hostname", "s:read"},
        {"is_postboot_configured", "u:readwrite"},
        {"qmf-gen-no-crash", "i:read"},
    };
    EXPECT_EQ(describe_properties(sysconfig), expected_properties);
    EXPECT_TRUE(sysconfig->signals == nullptr || sysconfig->signals[0] == nullptr);

    // dbus-glib describes its own built-in Properties interface as well;
    // the agent's Get and Set are the ones with the "property" argument.
    const Members expected_properties_methods = {
        {"Get", {"interface:s:in", "property:s:in", "value:v:out"}},
        {"Set", {"interface:s:in", "property:s:in", "value:v:in"}},
    };
    bool found = false;
    for (GDBusInterfaceInfo **iface = node->interfaces; *iface != nullptr; ++iface)
        if (std::string((*iface)->name) == kPropertiesIface &&
            describe_methods(*iface) == expected_properties_methods)
            found = true;
    EXPECT_TRUE(found) << reply.str();
}
