// Every string argument of every call, empty and 100 kB of printf
// conversions (which would show at once in a format string): each call gets
// its answer, refusals say why, only real runs leave a status file.
#include <gtest/gtest.h>

#include "isolated_sysconfig_agent.h"
#include "loopback_ports.h"

using namespace korvex::test;

namespace {

const std::string kLong = repeated("%s%n%x%p", 100 * 1024);

struct ArgumentCase {
    std::string label, iface, member;
    std::vector<Arg> args;
    // "reply ..." as describe() gives it, a prefix of it, or "code N".
    std::string expected;
};

using BadInputArguments = IsolatedAgentTest;

} // namespace

TEST_F(BadInputArguments, EmptyAndHugeStringsInEveryArgument) {
    RefusingTcpPort closed;
    const std::string nowhere = "http://127.0.0.1:" + std::to_string(closed.port()) + "/";
    const std::string doc =
        "file://" + agent_.shared().write("script.aug", "get /augeas/version\n");
    const std::string sys = kSysconfigIface;
    const std::string props = kPropertiesIface;
    auto s = Arg::s;
    auto u = Arg::u;
    auto run_uri = [&](std::string label, std::string uri, std::string scheme, std::string key,
                       std::string expected) {
        return ArgumentCase{label, sys, "run_uri", {s(uri), u(0), s(scheme), s(key)}, expected};
    };
    auto run_string = [&](std::string label, std::string text, std::string scheme, std::string key,
                          std::string expected) {
        return ArgumentCase{label, sys, "run_string", {s(text), u(0), s(scheme), s(key)}, expected};
    };
    auto query = [&](std::string label, std::string path, std::string scheme) {
        return ArgumentCase{label, sys, "query", {s(path), u(0), s(scheme)}, "reply (s) \"\""};
    };
    const std::string postboot = "is_postboot_configured";

    const std::vector<ArgumentCase> cases = {
        run_uri("empty uri", "", "augeas", "uri-empty", "code 3"),
        run_uri("huge uri", nowhere + kLong, "augeas", "uri-huge", "code 3"),
        run_uri("empty scheme", doc, "", "uri-scheme-empty", "code 2"),
        run_uri("huge scheme", doc, kLong, "uri-scheme-huge", "code 2"),
        run_uri("empty key", doc, "augeas", "", "code 2"),
        run_uri("huge key", doc, "augeas", kLong, "code 2"),
        run_string("empty augeas text", "", "augeas", "text-empty", "reply (s) \"OK\n\""),
        run_string("huge augeas text", kLong, "augeas", "text-huge", "reply (s) \"FAILED\n-1\n"),
        run_string("empty puppet text", "", "puppet", "manifest-empty", "reply (s) \"OK\""),
        run_string("huge puppet text", kLong, "puppet", "manifest-huge", "code 1"),
        run_string("empty scheme", "", "", "string-scheme-empty", "code 2"),
        run_string("huge scheme", "", kLong, "string-scheme-huge", "code 2"),
        run_string("empty key", "", "augeas", "", "code 2"),
        run_string("huge key", "", "augeas", kLong, "code 2"),
        // query is never an error after authorization.
        query("empty path", "", "augeas"),
        query("huge path", kLong, "augeas"),
        query("empty scheme", "/augeas/version", ""),
        query("huge scheme", "/augeas/version", kLong),
        {"empty key", sys, "is_configured", {s("")}, "reply (s) \"\""},
        {"huge key", sys, "is_configured", {s(kLong)}, "reply (s) \"\""},
        // Get and Set: interface and property name form the action id,
        // which PolicyKit does not know; names no bus name could have are
        // refused before PolicyKit is asked.
        {"empty interface", props, "Get", {s(""), s("uuid")}, "code 5"},
        {"huge interface", props, "Get", {s(kLong), s("uuid")}, "code 2"},
        {"empty property", props, "Get", {s(sys), s("")}, "code 5"},
        {"huge property", props, "Get", {s(sys), s(kLong)}, "code 2"},
        {"empty interface", props, "Set", {s(""), s(postboot), Arg::vu(1)}, "code 5"},
        {"huge interface", props, "Set", {s(kLong), s(postboot), Arg::vu(1)}, "code 2"},
        {"empty property", props, "Set", {s(sys), s(""), Arg::vu(1)}, "code 5"},
        {"huge property", props, "Set", {s(sys), s(kLong), Arg::vu(1)}, "code 2"},
        // A value of the wrong type is dropped with GLib's warning.
        {"empty string value", props, "Set", {s(sys), s(postboot), Arg::vs("")}, "reply"},
        {"huge string value", props, "Set", {s(sys), s(postboot), Arg::vs(kLong)}, "reply"},
    };
    for (const ArgumentCase &c : cases) {
        SCOPED_TRACE(c.iface + "." + c.member + ": " + c.label);
        Reply reply =
            agent_.client().call(kSysconfigName, kSysconfigPath, c.iface, c.member, c.args);
        if (c.expected.starts_with("code ")) {
            EXPECT_FALSE(reply.ok) << describe(reply).substr(0, 200);
            EXPECT_EQ(reply.error_name, code_error(std::stoi(c.expected.substr(5))))
                << reply.error_message.substr(0, 200);
            EXPECT_FALSE(reply.error_message.empty());
        } else {
            EXPECT_TRUE(describe(reply).starts_with(c.expected)) << describe(reply).substr(0, 200);
        }
    }

    EXPECT_EQ(agent_.status_file("text-empty"), "OK\n");
    EXPECT_TRUE(agent_.status_file("text-huge").value_or("").starts_with("FAILED\n-1\n"));
    EXPECT_EQ(agent_.status_file("manifest-empty"), "OK");
    EXPECT_EQ(agent_.status_file("manifest-huge"), "FAILED\n1");
    EXPECT_EQ(agent_.status_keys(), (std::vector<std::string>{"manifest-empty", "manifest-huge",
                                                              "text-empty", "text-huge"}));
    EXPECT_EQ(describe(agent_.get("is_postboot_configured")), "reply (u) \"0\"");

    EXPECT_TRUE(agent_.answering());
    EXPECT_TRUE(agent_.left_nothing_behind(true));
}
