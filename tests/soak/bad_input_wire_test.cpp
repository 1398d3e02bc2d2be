// Calls wrong before any handler could see them: wrong arguments, unknown
// members, objects and interfaces (dbus-glib answers an error), strings
// that are not UTF-8 (the bus drops the sender). Nothing runs either way.
#include <gtest/gtest.h>

#include "isolated_sysconfig_agent.h"

using namespace korvex::test;

namespace {

class BadInputWire : public IsolatedAgentTest {
protected:
    void TearDown() override {
        EXPECT_TRUE(agent_.answering());
        EXPECT_TRUE(agent_.status_keys().empty()) << ::testing::PrintToString(agent_.status_keys());
        EXPECT_TRUE(agent_.left_nothing_behind());
    }
};

struct MisfitCall {
    std::string path, iface, member;
    std::vector<Arg> args;
    std::string error_name;
};

} // namespace

TEST_F(BadInputWire, CallsOfTheWrongShapeGetAnErrorAndRunNothing) {
    // Keys that would be configured if any of these reached a handler.
    const Arg key = Arg::s("wire-key");
    const Arg empty = Arg::s("");
    const Arg augeas = Arg::s("augeas");
    // dbus-glib looks methods up by name and signature: a known member
    // with other arguments is a method that does not exist. Get and Set of
    // the wrong shape fall through to dbus-glib's own property code, which
    // refuses their arguments.
    auto misfit = [&](std::string member, std::vector<Arg> args) -> MisfitCall {
        return {kSysconfigPath, kSysconfigIface, member, args, kUnknownMethod};
    };
    auto property = [&](std::string member, std::vector<Arg> args) -> MisfitCall {
        return {kSysconfigPath, kPropertiesIface, member, args, kInvalidArgs};
    };
    const Arg postboot = Arg::s("is_postboot_configured");
    const std::string child = std::string(kSysconfigPath) + "/child";
    const std::vector<MisfitCall> calls = {
        misfit("run_string", {}),
        misfit("run_string", {empty}),
        misfit("run_string", {empty, Arg::u(1), augeas}),
        misfit("run_string", {empty, Arg::u(1), augeas, key, key}),
        misfit("run_string", {empty, Arg::s("1"), augeas, key}),
        misfit("run_string", {empty, Arg::i(1), augeas, key}),
        misfit("run_string", {Arg::u(7), Arg::u(1), augeas, key}),
        misfit("run_uri", {Arg::b(true), Arg::u(1), augeas, key}),
        misfit("run_uri", {Arg::vs("file:///x"), Arg::u(1), augeas, key}),
        misfit("query", {Arg::s("/files"), Arg::u(0)}),
        misfit("query", {Arg::s("/files"), Arg{'x', false, "0"}, augeas}),
        misfit("is_configured", {}),
        misfit("is_configured", {Arg::u(1)}),
        misfit("is_configured", {key, key}),
        property("Get", {Arg::s(kSysconfigIface)}),
        property("Get", {Arg::u(1), Arg::u(2)}),
        property("Set", {Arg::s(kSysconfigIface), postboot}),
        property("Set", {Arg::s(kSysconfigIface), postboot, Arg::u(1)}),
        misfit("no_such_member", {key}),
        {kSysconfigPath, "org.vaduderuvoziz.Network", "is_configured", {key}, kUnknownMethod},
        {child, kSysconfigIface, "is_configured", {key}, kUnknownMethod},
        {"/", kSysconfigIface, "run_string", {empty, Arg::u(1), augeas, key}, kUnknownMethod},
    };
    for (const MisfitCall &call : calls) {
        SCOPED_TRACE(call.path + " " + call.iface + "." + call.member + " with " +
                     std::to_string(call.args.size()) + " argument(s)");
        Reply reply =
            agent_.client().call(kSysconfigName, call.path, call.iface, call.member, call.args);
        EXPECT_FALSE(reply.ok);
        EXPECT_EQ(reply.error_name, call.error_name) << reply.error_message;
    }
    // The agent never authorized any of them: no handler ran.
    EXPECT_EQ(agent_.stderr_text().find("Caller is not authorized"), std::string::npos);
    EXPECT_EQ(agent_.status_file("wire-key"), std::nullopt);
}

// dbus-glib would answer GetAll itself from the GObject properties, with
// no PolicyKit check: user nobody, refused every Get, would read them all.
TEST_F(BadInputWire, GetAllIsNoWayAroundPolicyKit) {
    for (const std::string &iface : {std::string(kSysconfigIface), std::string()}) {
        SCOPED_TRACE("interface argument \"" + iface + "\"");
        const std::vector<Arg> args = {Arg::s(iface)};
        Reply nobody = call_as(kNobody, agent_.bus().address(), kSysconfigName, kSysconfigPath,
                               kPropertiesIface, "GetAll", args);
        EXPECT_FALSE(nobody.ok) << describe(nobody);
        EXPECT_EQ(nobody.error_name, kUnknownMethod);
        Reply root =
            agent_.client().call(kSysconfigName, kSysconfigPath, kPropertiesIface, "GetAll", args);
        EXPECT_FALSE(root.ok) << describe(root);
        EXPECT_EQ(root.error_name, kUnknownMethod);
    }
    // Get itself still answers, and still asks.
    EXPECT_TRUE(agent_.get("uuid").ok);
    Reply refused = call_as(kNobody, agent_.bus().address(), kSysconfigName, kSysconfigPath,
                            kPropertiesIface, "Get", {Arg::s(kSysconfigIface), Arg::s("uuid")});
    EXPECT_EQ(refused.error_name, code_error(5));
}

TEST_F(BadInputWire, StringsThatAreNotUtf8NeverReachTheAgent) {
    const std::string placeholder = "UTF8-PROBE-PLACEHOLDER";
    int probe = 0;
    // Byte sequences that valid UTF-8 never holds: lone continuation and
    // lead bytes, the overlong leads C0 and C1, a surrogate, a code point
    // above U+10FFFF, and F5 to FF.
    for (std::string replacement :
         {"\x80", "\xbf", "\xc0\xaf", "\xc1\xbf", "\xc3", "\xe0\x80\xaf", "\xed\xa0\x80",
          "\xf4\x90\x80\x80", "\xf5\x80\x80\x80", "\xf8", "\xfb", "\xfc", "\xfe", "\xff"}) {
        replacement.resize(placeholder.size(), 'x');
        for (const std::string where : {"text", "key"}) {
            SCOPED_TRACE("probe " + std::to_string(probe) + " in the " + where);
            // A valid key unless the placeholder is in it: if the call
            // got through, an augeas run would record it.
            const std::string key =
                where == "key" ? "probe" + placeholder : "probe" + std::to_string(probe);
            const std::string text = where == "text" ? placeholder : "";
            BusClient raw(agent_.bus().address());
            raw.send_patched(kSysconfigName, kSysconfigPath, kSysconfigIface, "run_string",
                             {Arg::s(text), Arg::u(1), Arg::s("augeas"), Arg::s(key)}, placeholder,
                             replacement);
            EXPECT_TRUE(raw.dropped_within(std::chrono::seconds(30)));
            ++probe;
        }
    }

    // The same call with a valid placeholder does get through: the probe
    // would have noticed a bus that let the others pass.
    {
        BusClient raw(agent_.bus().address());
        raw.send_patched(kSysconfigName, kSysconfigPath, kSysconfigIface, "is_configured",
                         {Arg::s(placeholder)}, placeholder, std::string(placeholder.size(), 'v'));
        EXPECT_TRUE(raw.replied_within(std::chrono::seconds(60)));
    }
    ASSERT_TRUE(agent_.answering());
    EXPECT_EQ(agent_.stderr_text().find("run_augeas"), std::string::npos) << agent_.stderr_text();
}
