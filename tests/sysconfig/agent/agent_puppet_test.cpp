// Puppet runs through the agent: deferred replies, overlapping runs ending in the other order, a
// failing manifest, a caller that leaves early. Runs take seconds, so cases share them; gates,
// not sleeps, decide when a run ends.
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
