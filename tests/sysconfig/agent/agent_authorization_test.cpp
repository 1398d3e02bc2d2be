// Every method and property of the agent asks PolicyKit first: a caller
// that polkitd refuses (user nobody here) gets code 5 and nothing runs.
#include <algorithm>
#include <thread>

#include <korvex/kcommon.h>

#include "sysconfig_agent_fixture.h"

using namespace korvex::test;

using AgentAuthorization = SysconfigAgentTest;

TEST_F(AgentAuthorization, RefusedCallerGetsCodeFiveAndNothingRuns) {
    const std::string edit = add_host_script("192.0.2.40", "refused.example");
    const std::string uri = server_.publish("refused.aug", edit);
    const std::string manifest = "file { '" + edits_.file("puppet-marker") +
                                 "':\n  ensure => file,\n  content => \"ran\\n\",\n}\n";

    // The PolicyKit action is the member's name unless given.
    struct Attempt {
        std::string member;
        std::vector<Arg> args;
        std::string action = "";
        std::string iface = kSysconfigIface;
    };
    const std::string preview = kSysconfigPreviewIface;
    const std::string props = kPropertiesIface;
    const std::string postboot = "is_postboot_configured";
    const std::vector<Attempt> attempts = {
        {"run_uri", {Arg::s(uri), Arg::u(1), Arg::s("augeas"), Arg::s("by-uri")}},
        {"run_string", {Arg::s(edit), Arg::u(1), Arg::s("augeas"), Arg::s("inline")}},
        {"run_string", {Arg::s(manifest), Arg::u(1), Arg::s("puppet"), Arg::s("manifest")}},
        {"query", {Arg::s("/files/etc/hostname/hostname"), Arg::u(0), Arg::s("augeas")}},
        {"is_configured", {Arg::s("inline")}},
        {"preview_string", {Arg::s(edit), Arg::s("augeas")}, "Preview.preview_string", preview},
        {"preview_uri", {Arg::s(uri), Arg::s("augeas")}, "Preview.preview_uri", preview},
        {"Get", {Arg::s(kSysconfigIface), Arg::s("uuid")}, "uuid", props},
        {"Get", {Arg::s(kSysconfigIface), Arg::s("hostname")}, "hostname", props},
        {"Set", {Arg::s(kSysconfigIface), Arg::s(postboot), Arg::vu(1)}, postboot, props},
    };
    for (auto attempt : attempts) {
        if (attempt.action.empty())
            attempt.action = attempt.member;
        Reply reply = call_as(kNobody, bus_->address(), kSysconfigName, kSysconfigPath,
                              attempt.iface, attempt.member, attempt.args);
        EXPECT_FALSE(reply.ok) << attempt.member << " " << attempt.action;
        EXPECT_EQ(reply.error_name, code_error(5)) << attempt.member << " " << attempt.action;
        EXPECT_EQ(reply.error_message, kx_result_to_str(5)) << attempt.action;
        EXPECT_NE(agent_->stderr_text().find("Caller is not authorized for action "
                                             "org.vaduderuvoziz.Sysconfig." +
                                             attempt.action + " (uid 65534, pid "),
                  std::string::npos)
            << attempt.action << "\n"
            << agent_->stderr_text();
    }

    // Nothing was fetched, run, edited or recorded.
    EXPECT_TRUE(server_.requests().empty()) << ::testing::PrintToString(server_.requests());
    EXPECT_EQ(read_file(hosts_path()), kOriginalHosts);
    EXPECT_FALSE(file_exists(hosts_path() + ".augsave"));
    for (const std::string key : {"by-uri", "inline", "manifest"})
        EXPECT_EQ(status_file(key), std::nullopt) << key;
    EXPECT_EQ(agent_->stderr_text().find("Running puppet"), std::string::npos)
        << agent_->stderr_text();
    EXPECT_FALSE(file_exists(edits_.file("puppet-marker")));

    // The refusals left the key free: an authorized caller's run is not skipped.
    Reply root_run = run_string(edit, 0, "augeas", "inline");
    ASSERT_TRUE(root_run.ok) << root_run.error_message;
    EXPECT_EQ(root_run.str(), "OK\nSaved 1 file(s)\n");
    EXPECT_EQ(read_file(hosts_path()), kOriginalHosts + "192.0.2.40\trefused.example\n");
}

// User nobody may do everything here, as an administrator's rule could allow.
class AgentOtherUser : public SysconfigAgentTest {
protected:
    AgentOtherUser() {
        polkit_rules_ = "polkit.addRule(function() { return polkit.Result.YES; });\n";
    }
};

TEST_F(AgentOtherUser, DownloadsOfAnotherUserNeitherHoldUpRootNorOutliveTheirCaller) {
    auto trickles = [&] {
        const std::vector<std::string> asked = server_.requests();
        return std::count(asked.begin(), asked.end(), "/trickle");
    };
    auto nobody_call = [&] {
        return call_as(kNobody, bus_->address(), kSysconfigName, kSysconfigPath, kSysconfigIface,
                       "is_configured", {Arg::s("k")});
    };
    const std::string out = edits_.file("holder.out");
    {
        // Downloads that never end, a key each: all 16 requests nobody may have in progress.
        Process holder = hold_challenge(kNobody, bus_->address(), out, 16, kSysconfigName,
                                        kSysconfigPath, kSysconfigIface, "run_uri",
                                        {Arg::s(server_.url("/trickle")), Arg::u(0),
                                         Arg::s("augeas"), Arg::s("trickled-%i")});
        // Four of them hold the user's share of the workers; root is served all the same.
        ASSERT_TRUE(wait_until([&] { return trickles() == 4; }, std::chrono::seconds(30)))
            << ::testing::PrintToString(server_.requests()) << agent_->stderr_text();
        Reply root = client_->call(kSysconfigName, kSysconfigPath, kSysconfigIface, "query",
                                   {Arg::s("/files/etc/hostname/hostname"), Arg::u(0),
                                    Arg::s("augeas")},
                                   30000);
        ASSERT_TRUE(root.ok) << why(root);
        EXPECT_EQ(root.str(), kAgentHostname);
        // Waiting work counts against the user's 16.
        EXPECT_EQ(nobody_call().error_name, "org.freedesktop.DBus.Error.LimitsExceeded");
        EXPECT_EQ(trickles(), 4);
        EXPECT_EQ(read_file(out), "sent\n");
    }
    // The caller left: its twelve waiting downloads never start, and their slots are free.
    EXPECT_TRUE(wait_until([&] { return nobody_call().ok; }, std::chrono::seconds(10)))
        << agent_->stderr_text();
    EXPECT_EQ(trickles(), 4);
    {
        // Two runs of one key behind those four: one queued, one waiting for the key.
        Process holder = hold_challenge(kNobody, bus_->address(), edits_.file("shared.out"), 2,
                                        kSysconfigName, kSysconfigPath, kSysconfigIface, "run_uri",
                                        {Arg::s(server_.url("/trickle")), Arg::u(0),
                                         Arg::s("augeas"), Arg::s("shared")});
        ASSERT_TRUE(wait_until(
            [&] { return agent_->stderr_text().find("key \"shared\" starts") != std::string::npos; },
            std::chrono::seconds(30)));
        std::this_thread::sleep_for(std::chrono::seconds(1)); // the second reaches the key
    }
    // Both went with their caller: nothing of theirs holds the key for root.
    Reply root = client_->call(kSysconfigName, kSysconfigPath, kSysconfigIface, "run_string",
                               {Arg::s(add_host_script("192.0.2.41", "shared.example")),
                                Arg::u(0), Arg::s("augeas"), Arg::s("shared")},
                               20000);
    EXPECT_TRUE(root.ok) << why(root);
    // The four running downloads end only at their bounds: the agent goes with the test.
    agent_.reset();
}
