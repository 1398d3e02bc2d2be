// Every string argument of every method and property call, empty and
// 100 kB long (of printf conversions, which would show at once if a text
// reached a format string), the others valid: each call gets its answer,
// refusals are errors that say why, only runs that really ran leave a
// status file, and the agent goes on answering.
#include <gtest/gtest.h>

#include <memory>
#include <set>

#include <korvex/kcommon.h>

#include "isolated_sysconfig_agent.h"
#include "loopback_ports.h"
#include "request_plan.h"

using namespace korvex::test;

namespace {

const std::string kLong = [] {
    std::string text;
    while (text.size() < 100 * 1024)
        text += "%s%n%x%p";
    return text;
}();

struct ArgumentCase {
    std::string label;
    std::string iface;
    std::string member;
    std::vector<Arg> args;
    // "reply ..." as describe() gives it, a prefix of it, or "code N".
    std::string expected;
};

class BadInputArguments : public ::testing::Test {
protected:
    void SetUp() override { agent_ = std::make_unique<IsolatedSysconfigAgent>(); }

    void check(const std::vector<ArgumentCase> &cases) {
        for (const ArgumentCase &c : cases) {
            SCOPED_TRACE(c.iface + "." + c.member + ": " + c.label);
            Reply reply =
                agent_->client().call(kSysconfigName, kSysconfigPath, c.iface, c.member, c.args);
            if (c.expected.starts_with("code ")) {
                EXPECT_FALSE(reply.ok) << describe(reply).substr(0, 200);
                EXPECT_EQ(reply.error_name, code_error(std::stoi(c.expected.substr(5))))
                    << reply.error_message.substr(0, 200);
                EXPECT_FALSE(reply.error_message.empty());
            } else {
                EXPECT_TRUE(describe(reply).starts_with(c.expected))
                    << describe(reply).substr(0, 200);
            }
        }
    }

    std::unique_ptr<IsolatedSysconfigAgent> agent_;
};

} // namespace

TEST_F(BadInputArguments, EmptyAndHugeStringsInEveryArgument) {
    RefusingTcpPort closed;
    const std::string nowhere = "http://127.0.0.1:" + std::to_string(closed.port()) + "/";
    const std::string script = agent_->shared().file("script.aug");
    write_file(script, "get /augeas/version\n");
    const std::string doc = "file://" + script;
    const std::string sys = kSysconfigIface;
    const std::string props = kPropertiesIface;
    auto s = Arg::s;
    auto u = Arg::u;

    const std::vector<ArgumentCase> cases = {
        // run_uri: uri, scheme, key.
        {"empty uri", sys, "run_uri", {s(""), u(0), s("augeas"), s("uri-empty")}, "code 3"},
        {"huge uri",
         sys,
         "run_uri",
         {s(nowhere + kLong), u(0), s("augeas"), s("uri-huge")},
         "code 3"},
        {"empty scheme", sys, "run_uri", {s(doc), u(0), s(""), s("uri-scheme-empty")}, "code 2"},
        {"huge scheme", sys, "run_uri", {s(doc), u(0), s(kLong), s("uri-scheme-huge")}, "code 2"},
        {"empty key", sys, "run_uri", {s(doc), u(0), s("augeas"), s("")}, "code 2"},
        {"huge key", sys, "run_uri", {s(doc), u(0), s("augeas"), s(kLong)}, "code 2"},
        // run_string: text, scheme, key.
        {"empty augeas text",
         sys,
         "run_string",
         {s(""), u(0), s("augeas"), s("text-empty")},
         "reply (s) \"OK\n\""},
        {"huge augeas text",
         sys,
         "run_string",
         {s(kLong), u(0), s("augeas"), s("text-huge")},
         "reply (s) \"FAILED\n-1\n"},
        {"empty puppet text",
         sys,
         "run_string",
         {s(""), u(0), s("puppet"), s("manifest-empty")},
         "reply (s) \"OK\""},
        {"huge puppet text",
         sys,
         "run_string",
         {s(kLong), u(0), s("puppet"), s("manifest-huge")},
         "code 1"},
        {"empty scheme",
         sys,
         "run_string",
         {s(""), u(0), s(""), s("string-scheme-empty")},
         "code 2"},
        {"huge scheme",
         sys,
         "run_string",
         {s(""), u(0), s(kLong), s("string-scheme-huge")},
         "code 2"},
        {"empty key", sys, "run_string", {s(""), u(0), s("augeas"), s("")}, "code 2"},
        {"huge key", sys, "run_string", {s(""), u(0), s("augeas"), s(kLong)}, "code 2"},
        // query: path, scheme. Never an error after authorization.
        {"empty path", sys, "query", {s(""), u(0), s("augeas")}, "reply (s) \"\""},
        {"huge path", sys, "query", {s(kLong), u(0), s("augeas")}, "reply (s) \"\""},
        {"empty scheme", sys, "query", {s("/augeas/version"), u(0), s("")}, "reply (s) \"\""},
        {"huge scheme", sys, "query", {s("/augeas/version"), u(0), s(kLong)}, "reply (s) \"\""},
        // is_configured: key.
        {"empty key", sys, "is_configured", {s("")}, "reply (s) \"\""},
        {"huge key", sys, "is_configured", {s(kLong)}, "reply (s) \"\""},
        // Get and Set: interface and property name form the action id,
        // which PolicyKit does not know; names no bus name could have are
        // refused before PolicyKit is asked.
        {"empty interface", props, "Get", {s(""), s("uuid")}, "code 5"},
        {"huge interface", props, "Get", {s(kLong), s("uuid")}, "code 2"},
        {"empty property", props, "Get", {s(sys), s("")}, "code 5"},
        {"huge property", props, "Get", {s(sys), s(kLong)}, "code 2"},
        {"empty interface",
         props,
         "Set",
         {s(""), s("is_postboot_configured"), Arg::vu(1)},
         "code 5"},
        {"huge interface",
         props,
         "Set",
         {s(kLong), s("is_postboot_configured"), Arg::vu(1)},
         "code 2"},
        {"empty property", props, "Set", {s(sys), s(""), Arg::vu(1)}, "code 5"},
        {"huge property", props, "Set", {s(sys), s(kLong), Arg::vu(1)}, "code 2"},
        // A value of the wrong type is dropped with GLib's warning.
        {"empty string value",
         props,
         "Set",
         {s(sys), s("is_postboot_configured"), Arg::vs("")},
         "reply"},
        {"huge string value",
         props,
         "Set",
         {s(sys), s("is_postboot_configured"), Arg::vs(kLong)},
         "reply"},
    };
    check(cases);

    EXPECT_EQ(agent_->status_file("text-empty"), "OK\n");
    EXPECT_TRUE(agent_->status_file("text-huge").value_or("").starts_with("FAILED\n-1\n"));
    EXPECT_EQ(agent_->status_file("manifest-empty"), "OK");
    EXPECT_EQ(agent_->status_file("manifest-huge"), "FAILED\n1");
    const std::vector<std::string> keys = agent_->status_keys();
    EXPECT_EQ(
        std::set<std::string>(keys.begin(), keys.end()),
        (std::set<std::string>{"text-empty", "text-huge", "manifest-empty", "manifest-huge"}));
    EXPECT_EQ(describe(agent_->get("is_postboot_configured")), "reply (u) \"0\"");

    EXPECT_TRUE(agent_->answering());
    EXPECT_TRUE(agent_->left_nothing_behind(true));
}
