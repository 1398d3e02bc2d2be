// Puppet runs through the agent: deferred replies, overlapping runs ending in the other order, a
// failing manifest, a caller that leaves early; previews and their sandbox. Runs take seconds, so
// cases share them; gates, not sleeps, decide when a run ends.
#include <algorithm>
#include <csignal>

#include <korvex/kcommon.h>

#include "sysconfig_agent_fixture.h"

using namespace korvex::test;

namespace {

class AgentPuppet : public SysconfigAgentTest {
protected:
    // A manifest that waits for the gate and then leaves a marker file.
    std::string gated_manifest(const Gate &gate, const std::string &marker) const {
        return gate.manifest() + "file { '" + edits_.file(marker) +
               "':\n  ensure  => file,\n  content => \"applied\\n\",\n  require => " +
               gate.reference() + ",\n}\n";
    }

    BusClient::Pending send_run_string(BusClient &client, const std::string &text,
                                       const std::string &key) {
        return client.send(kSysconfigName, kSysconfigPath, kSysconfigIface, "run_string",
                           {Arg::s(text), Arg::u(0), Arg::s("puppet"), Arg::s(key)});
    }
};

} // namespace

TEST_F(AgentPuppet, OverlappingRunsAreAnsweredInTheOrderTheyEnd) {
    Gate first_gate(edits_, "first");
    Gate second_gate(edits_, "second");
    BusClient::Pending first =
        send_run_string(*client_, gated_manifest(first_gate, "first"), "first-run");
    // puppet fails (exit 1) when two runs create its cache folders at once: the first goes ahead.
    ASSERT_TRUE(first_gate.reached());
    const std::string second_uri =
        server_.publish("second.pp", gated_manifest(second_gate, "second"));
    BusClient::Pending second =
        client_->send(kSysconfigName, kSysconfigPath, kSysconfigIface, "run_uri",
                      {Arg::s(second_uri), Arg::u(0), Arg::s("Puppet"), Arg::s("second-run")});

    // Both runs are under way; other requests are answered meanwhile.
    EXPECT_EQ(is_configured("first-run").str(), "");
    EXPECT_EQ(is_configured("second-run").str(), "");
    Reply uuid = get("uuid");
    ASSERT_TRUE(uuid.ok) << uuid.error_message;
    EXPECT_FALSE(uuid.str().empty());
    // The runs start on worker threads, so the download and the manifests
    // come a little later (the second manifest's file before its download).
    EXPECT_TRUE(
        wait_until([&] { return temporary_documents().size() == 2 && !server_.requests().empty(); },
                   std::chrono::seconds(60)))
        << ::testing::PrintToString(temporary_documents());
    EXPECT_EQ(server_.requests(), std::vector<std::string>{"/second.pp"});

    // The later run ends first and is answered while the earlier still runs.
    second_gate.open();
    Reply second_reply = second.wait();
    ASSERT_TRUE(second_reply.ok) << why(second_reply);
    EXPECT_EQ(second_reply.str(), "OK");
    EXPECT_EQ(status_file("second-run"), "OK");
    EXPECT_EQ(read_file(edits_.file("second")), "applied\n");
    EXPECT_EQ(status_file("first-run"), std::nullopt);
    EXPECT_FALSE(file_exists(edits_.file("first")));

    first_gate.open();
    Reply first_reply = first.wait();
    ASSERT_TRUE(first_reply.ok) << why(first_reply);
    EXPECT_EQ(first_reply.str(), "OK");
    EXPECT_EQ(read_file(edits_.file("first")), "applied\n");
    EXPECT_EQ(is_configured("first-run").str(), "OK");
}

TEST_F(AgentPuppet, ManifestWithASyntaxErrorIsAnErrorOfItsExitStatus) {
    Reply reply = run_string("file { 'broken':\n  ensure => \n", 0, "puppet", "syntax-error");
    EXPECT_FALSE(reply.ok);
    EXPECT_EQ(reply.error_name, code_error(1));
    EXPECT_EQ(reply.error_message, std::string(kx_result_to_str(1)) +
                                       ": puppet exited with status 1 (its messages are in the "
                                       "agent's log)");
    EXPECT_EQ(status_file("syntax-error"), "FAILED\n1");

    // The failure is remembered: a later run of the key is skipped.
    Reply again = run_string("notice('fine')\n", 0, "puppet", "syntax-error");
    ASSERT_TRUE(again.ok) << again.error_message;
    EXPECT_EQ(again.str(), "FAILED\n1");
}

TEST_F(AgentPuppet, CallerLeavingBeforeTheReplyDoesNotHurtTheAgent) {
    Gate gate(edits_, "leaving");
    {
        BusClient leaving(bus_->address());
        BusClient::Pending pending =
            send_run_string(leaving, gated_manifest(gate, "leaving"), "caller-left");
        // The run has started once its manifest is in the working directory.
        ASSERT_TRUE(
            wait_until([&] { return !temporary_documents().empty(); }, std::chrono::seconds(60)))
            << agent_->stderr_text();
        leaving.disconnect();
    }
    gate.open();
    ASSERT_TRUE(wait_until([&] { return status_file("caller-left").has_value(); },
                           std::chrono::seconds(120)))
        << agent_->stderr_text();
    EXPECT_EQ(status_file("caller-left"), "OK");
    EXPECT_EQ(read_file(edits_.file("leaving")), "applied\n");
    Reply status = is_configured("caller-left");
    ASSERT_TRUE(status.ok) << status.error_message;
    EXPECT_EQ(status.str(), "OK");
}

TEST_F(AgentPuppet, PreviewReportsWhatAManifestWouldDoAndDoesNothing) {
    write_file(edits_.file("existing"), "old\n");
    const std::string manifest = "file { '" + edits_.file("created") +
                                 "':\n  ensure => file,\n  content => \"new\\n\",\n}\nfile { '" +
                                 edits_.file("existing") + "':\n  content => \"new\\n\",\n}\n";
    Reply reply = preview("preview_string", manifest, "puppet");
    ASSERT_TRUE(reply.ok) << why(reply);
    EXPECT_EQ(reply.str(0), "1");
    const std::string created = "File[" + edits_.file("created") +
                                "]/ensure: current_value 'absent', should be 'file' (noop)";
    for (const std::string &expected : {created, std::string("\n-old\n+new\n")})
        EXPECT_NE(reply.str(1).find(expected), std::string::npos) << expected << "\n"
                                                                  << reply.str(1);
    EXPECT_EQ(reply.str(1).find('\x1b'), std::string::npos) << reply.str(1);
    EXPECT_FALSE(file_exists(edits_.file("created")));
    EXPECT_EQ(read_file(edits_.file("existing")), "old\n");

    Reply broken = preview("preview_string", "file { 'broken':\n  ensure => \n", "puppet");
    EXPECT_EQ(broken.error_name, code_error(1));
}

TEST_F(AgentPuppet, PreviewOfAManifestThatTurnsNoopOffReachesNothing) {
    // A forced exec, a forced set-uid file and code run while compiling.
    const std::string mark = edits_.file("mark"), made = edits_.file("made");
    const std::string generated = edits_.file("generated");
    Reply reply = preview("preview_string",
                          "$g = generate('/bin/sh', '-c', 'id > " + generated +
                              "; echo done')\nexec { 'mark': command => '/usr/bin/touch " + mark +
                              "', noop => false }\nfile { '" + made +
                              "': content => $g, mode => '4755', noop => false }\n",
                          "puppet");
    // Both fail on the read-only host: an error, never "no changes".
    EXPECT_EQ(reply.error_name, code_error(4)) << why(reply);
    EXPECT_NE(reply.error_message.find("Read-only file system"), std::string::npos)
        << reply.error_message;
    for (const std::string &path : {mark, made, generated})
        EXPECT_FALSE(file_exists(path)) << path;
    // Puppet's own state and summary of its run, as the agent sees puppet's folders.
    const std::string root = "/proc/" + std::to_string(agent_->process().pid()) + "/root";
    ASSERT_TRUE(file_exists(root + "/var/cache/puppet"));
    for (const char *state :
         {"/var/cache/puppet/state/state.yaml", "/var/cache/puppet/public/last_run_summary.yaml"})
        EXPECT_FALSE(file_exists(root + state)) << state;
}

TEST_F(AgentPuppet, PreviewThatFillsItsScratchSpaceIsAnError) {
    // The file would be created, but puppet cannot finish its run.
    Reply reply = preview("preview_string",
                          "exec { 'fill': command => \"/bin/sh -c 'cat /dev/zero > fill; true'\", "
                          "noop => false }\nfile { '" +
                              edits_.file("created") + "': content => 'x' }\n",
                          "puppet");
    EXPECT_FALSE(reply.ok) << why(reply);
    EXPECT_NE(reply.error_message.find("No space left on device"), std::string::npos)
        << reply.error_message;
}

TEST_F(AgentPuppet, PreviewBeyondItsTimeBoundEndsWithEverythingItStarted) {
    start_agent({"KORVEX_PREVIEW_TIMEOUT=3"});
    Reply reply =
        preview("preview_string", "exec { 'wait': command => '/bin/sleep 600', noop => false }\n",
                "puppet");
    EXPECT_EQ(reply.error_name, code_error(4)) << why(reply);
    EXPECT_NE(reply.error_message.find("stopped after 3 s"), std::string::npos)
        << reply.error_message;
    EXPECT_TRUE(wait_until([&] { return agent_descendants().empty(); }, std::chrono::seconds(10)));
}

TEST_F(AgentPuppet, AnAgentKilledMidPreviewLeavesNothingOfIt) {
    BusClient::Pending pending =
        client_->send(kSysconfigName, kSysconfigPath, kSysconfigPreviewIface, "preview_string",
                      {Arg::s("exec { 'wait': command => '/bin/sleep 600', noop => false }\n"),
                       Arg::s("puppet")});
    std::vector<pid_t> started;
    auto sleeping = [&] {
        started = agent_descendants();
        return std::any_of(started.begin(), started.end(), [](pid_t pid) {
            return read_file("/proc/" + std::to_string(pid) + "/comm") == "sleep\n";
        });
    };
    ASSERT_TRUE(wait_until(sleeping, std::chrono::seconds(120))) << agent_->stderr_text();
    agent_->process().signal(SIGKILL);
    EXPECT_FALSE(pending.wait().ok);
    EXPECT_TRUE(
        wait_until([&] { return std::none_of(started.begin(), started.end(), process_alive); },
                   std::chrono::seconds(10)));
    EXPECT_TRUE(temporary_documents().empty());
    start_agent();
}
