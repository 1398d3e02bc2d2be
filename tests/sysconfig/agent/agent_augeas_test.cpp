// Augeas runs, skips, forced re-runs, downloads, queries and previews through the agent's D-Bus
// methods, with the real augeas editing a file of the test.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <map>

#include <korvex/kcommon.h>

#include "sysconfig_agent_fixture.h"

using namespace korvex::test;

using AgentAugeas = SysconfigAgentTest;

constexpr const char *kSaved = "OK\nSaved 1 file(s)\n";
constexpr uint32_t kForce = 1; // the run flag that forces a configured key

static std::map<std::string, std::string> folder_contents(const std::string &folder) {
    std::map<std::string, std::string> found;
    for (const auto &entry : std::filesystem::directory_iterator(folder))
        found[entry.path().filename()] = entry.is_regular_file() ? read_file(entry.path()) : "";
    return found;
}

TEST_F(AgentAugeas, KeysWithoutStatusReadAsEmptyText) {
    for (const std::string key : {"never-run", ".profile", "etc/hosts", "a!b", ""}) {
        Reply reply = is_configured(key);
        ASSERT_TRUE(reply.ok) << key << ": " << reply.error_name << " " << reply.error_message;
        ASSERT_EQ(reply.values.size(), 1u) << key;
        EXPECT_EQ(reply.values[0].signature, "s") << key;
        EXPECT_EQ(reply.str(), "") << key;
    }
}

TEST_F(AgentAugeas, InlineScriptEditsTheFileAndRepliesWithTheStatus) {
    Reply reply =
        run_string(add_host_script("192.0.2.10", "added.example"), 0, "augeas", "hosts-entry");
    ASSERT_TRUE(reply.ok) << reply.error_name << ": " << reply.error_message;
    EXPECT_EQ(reply.str(), kSaved);
    EXPECT_EQ(read_file(hosts_path()), kOriginalHosts + "192.0.2.10\tadded.example\n");
    // The tool was asked to keep a backup of what it saved over.
    EXPECT_EQ(read_file(hosts_path() + ".augsave"), kOriginalHosts);

    EXPECT_EQ(status_file("hosts-entry"), kSaved);
    Reply status = is_configured("hosts-entry");
    ASSERT_TRUE(status.ok) << status.error_message;
    EXPECT_EQ(status.str(), kSaved);
}

TEST_F(AgentAugeas, FailingScriptRepliesWithTheFailureAndOutput) {
    // The get prints before the set fails on its two matches; the save is never reached.
    const std::string script = hosts_script("get /files" + hosts_path() + "/1/ipaddr\nset /files" +
                                            hosts_path() + "/*/ipaddr 198.51.100.1\nsave\n");
    Reply reply = run_string(script, 0, "augeas", "broken-edit");
    ASSERT_TRUE(reply.ok) << reply.error_name << ": " << reply.error_message;
    const std::string expected = "FAILED\n-1\n/files" + hosts_path() +
                                 "/1/ipaddr = 127.0.0.1\nerror: Too many matches for path "
                                 "expression\n";
    EXPECT_EQ(reply.str(), expected);
    EXPECT_EQ(read_file(hosts_path()), kOriginalHosts);
    EXPECT_EQ(is_configured("broken-edit").str(), expected);
}

// How many entries runs of add_host_script added to the two of kOriginalHosts.
static size_t added_hosts(const std::string &hosts) {
    return static_cast<size_t>(std::count(hosts.begin(), hosts.end(), '\n')) - 2;
}

TEST_F(AgentAugeas, RacingRunsApplyOncePerKeyAndKeepEveryEditOfOneFile) {
    auto send_run = [&](int i, uint32_t flags, const std::string &key) {
        const std::string host = "race" + std::to_string(i) + ".example";
        return client_->send(kSysconfigName, kSysconfigPath, kSysconfigIface, "run_string",
                             {Arg::s(add_host_script("192.0.2." + std::to_string(100 + i), host)),
                              Arg::u(flags), Arg::s("augeas"), Arg::s(key)});
    };
    struct Race {
        int runs;
        uint32_t flags;
        bool one_key;
        size_t lines_added;
    };
    // Unforced runs of one key: the first records its status, the others find it. Forced runs
    // of keys of their own, each editing the same file: none may save over another's edit.
    for (const Race race : {Race{20, 0, true, 1}, Race{12, kForce, false, 12}}) {
        write_file(hosts_path(), kOriginalHosts);
        std::vector<BusClient::Pending> calls;
        for (int i = 0; i < race.runs; ++i)
            calls.push_back(send_run(i, race.flags,
                                     race.one_key ? "raced-key" : "raced-" + std::to_string(i)));
        for (BusClient::Pending &call : calls) {
            Reply reply = call.wait();
            ASSERT_TRUE(reply.ok) << why(reply);
            EXPECT_EQ(reply.str(), kSaved);
        }
        EXPECT_EQ(added_hosts(read_file(hosts_path())), race.lines_added)
            << race.runs << " runs:\n" << read_file(hosts_path());
    }
}

// A save augeas refuses: the run records why, as augtool tells it; a preview gives the same entry.
TEST_F(AgentAugeas, AFailedSaveRecordsItsReasonAndThePreviewGivesTheSame) {
    // An entry without its canonical name, which the hosts lens cannot write.
    const std::string script =
        hosts_script("set /files" + hosts_path() + "/01/ipaddr 192.0.2.5\nsave\n");
    Reply reply = run_string(script, 0, "augeas", "unsaved");
    ASSERT_TRUE(reply.ok) << why(reply);
    const std::string status = reply.str();
    const size_t entry = status.find("Error in " + hosts_path() + " at node /files");
    EXPECT_EQ(status.substr(0, entry), "FAILED\n-1\nerror: Failed to execute command\nsaving "
                                       "failed (run 'errors' for details)\n");
    EXPECT_NE(
        status.find(" (put_failed)\n  Failed to match tree under /files" + hosts_path() + "/01\n"),
        std::string::npos)
        << status;
    EXPECT_NE(status.find("\n  Lens: /usr/share/augeas/lenses/dist/hosts.aug:"), std::string::npos)
        << status;
    EXPECT_EQ(status_file("unsaved"), status);

    Reply previewed = preview("preview_string", script, "augeas");
    EXPECT_EQ(previewed.error_name, code_error(4));
    EXPECT_EQ(previewed.error_message,
              std::string(kx_result_to_str(4)) + "\n" + status.substr(entry));
    EXPECT_EQ(read_file(hosts_path()), kOriginalHosts);
}

TEST_F(AgentAugeas, ConfiguredKeyIsSkippedUnlessForced) {
    ASSERT_EQ(
        run_string(add_host_script("192.0.2.10", "first-run.example"), 0, "augeas", "skip-key")
            .str(),
        kSaved);
    const std::string after_first = read_file(hosts_path());
    const std::string second = add_host_script("192.0.2.20", "second-run.example");

    // Without bit 0 the stored text comes back and nothing runs, whatever the flags and scheme.
    for (const auto &[flags, scheme] : std::vector<std::pair<uint32_t, std::string>>{
             {0, "augeas"}, {2, "augeas"}, {0, "chef"}, {0, "puppet"}}) {
        Reply skipped = run_string(second, flags, scheme, "skip-key");
        ASSERT_TRUE(skipped.ok) << flags << " " << scheme << ": " << skipped.error_message;
        EXPECT_EQ(skipped.str(), kSaved) << flags << " " << scheme;
        EXPECT_EQ(read_file(hosts_path()), after_first) << flags << " " << scheme;
    }
    Reply skipped_uri = run_uri(server_.publish("second.aug", second), 0, "augeas", "skip-key");
    ASSERT_TRUE(skipped_uri.ok) << skipped_uri.error_message;
    EXPECT_EQ(skipped_uri.str(), kSaved);
    EXPECT_EQ(read_file(hosts_path()), after_first);
    EXPECT_TRUE(server_.requests().empty()) << "the document was fetched for a skipped run";

    // Bit 0 (also among other bits) runs the tool again.
    Reply forced = run_string(second, 3, "augeas", "skip-key");
    ASSERT_TRUE(forced.ok) << forced.error_message;
    EXPECT_EQ(forced.str(), kSaved);
    EXPECT_EQ(read_file(hosts_path()), after_first + "192.0.2.20\tsecond-run.example\n");

    // A forced run of a failing script overwrites the stored status.
    Reply failed = run_string(hosts_script("set /files" + hosts_path() + "/*/ipaddr x\n"), 1,
                              "augeas", "skip-key");
    ASSERT_TRUE(failed.ok) << failed.error_message;
    EXPECT_TRUE(failed.str().starts_with("FAILED\n")) << failed.str();
    EXPECT_EQ(status_file("skip-key"), failed.str());
}

TEST_F(AgentAugeas, UnknownSchemeOrInvalidKeyOfANewKeyIsBadArgument) {
    const std::string script = add_host_script("192.0.2.10", "never.example");
    Reply chef = run_string(script, 0, "chef", "chef-key");
    EXPECT_FALSE(chef.ok);
    EXPECT_EQ(chef.error_name, code_error(2));
    EXPECT_EQ(chef.error_message, "Invalid argument: unknown scheme \"chef\": the schemes are "
                                  "\"puppet\" and \"augeas\"");
    EXPECT_EQ(status_file("chef-key"), std::nullopt);

    const std::string allowed = "a key holds only letters A-Z and a-z, digits 0-9, \"_\", \"-\" "
                                "and \".\", and does not start with \".\"";
    for (const auto &[key, why] : std::vector<std::pair<std::string, std::string>>{
             {"", "the key is empty"},
             {".hidden", "invalid key \".hidden\": " + allowed},
             {"etc/hosts", "invalid key \"etc/hosts\": \"/\" is not allowed; " + allowed}}) {
        Reply invalid = run_string(script, 1, "augeas", key);
        EXPECT_FALSE(invalid.ok) << key;
        EXPECT_EQ(invalid.error_name, code_error(2)) << key;
        EXPECT_EQ(invalid.error_message, "Invalid argument: " + why) << key;
    }
    EXPECT_EQ(read_file(hosts_path()), kOriginalHosts);
    // The scheme is matched without regard to case.
    EXPECT_EQ(run_string(script, 0, "AuGeAs", "mixed-case").str(), kSaved);
}

TEST_F(AgentAugeas, ScriptFromAnHttpUri) {
    const std::string uri =
        server_.publish("edit.aug", add_host_script("192.0.2.30", "fetched.example"));
    Reply reply = run_uri(uri, 0, "augeas", "fetched");
    ASSERT_TRUE(reply.ok) << reply.error_name << ": " << reply.error_message;
    EXPECT_EQ(reply.str(), kSaved);
    EXPECT_EQ(read_file(hosts_path()), kOriginalHosts + "192.0.2.30\tfetched.example\n");
    EXPECT_EQ(status_file("fetched"), kSaved);
    EXPECT_EQ(server_.requests(), std::vector<std::string>{"/edit.aug"});

    Reply missing = run_uri(server_.url("/missing.aug"), 0, "augeas", "not-fetched");
    EXPECT_FALSE(missing.ok);
    EXPECT_EQ(missing.error_name, code_error(3));
    EXPECT_EQ(missing.error_message, "Download failed: cannot download " +
                                         server_.url("/missing.aug") + ": HTTP/1.0 404 Not Found");
    EXPECT_EQ(status_file("not-fetched"), std::nullopt);
    EXPECT_EQ(is_configured("not-fetched").str(), "");
    EXPECT_NE(agent_->stderr_text().find("got response 404"), std::string::npos)
        << agent_->stderr_text();
}

TEST_F(AgentAugeas, QueryReadsOneValueOfTheAugeasTree) {
    for (const auto &[flags, scheme] :
         std::vector<std::pair<uint32_t, std::string>>{{0, "augeas"}, {7, "AUGEAS"}}) {
        Reply one = query("/files/etc/hostname/hostname", flags, scheme);
        ASSERT_TRUE(one.ok) << one.error_name << ": " << one.error_message;
        EXPECT_EQ(one.str(), kAgentHostname) << scheme;
    }
    // Several matches, none, a node without value, another tool: empty.
    for (const std::string path : {"/files/etc/hosts/*/ipaddr", "/files/etc/no-such-file",
                                   "/files/etc/hosts/1", "/files/etc/hosts["}) {
        Reply none = query(path, 0, "augeas");
        ASSERT_TRUE(none.ok) << path << ": " << none.error_message;
        EXPECT_EQ(none.str(), "") << path;
    }
    Reply puppet = query("/files/etc/hostname/hostname", 0, "puppet");
    ASSERT_TRUE(puppet.ok) << puppet.error_message;
    EXPECT_EQ(puppet.str(), "");
}

TEST_F(AgentAugeas, Latin1OutputIsStoredAsItCameAndRepliedAsValidText) {
    // A document from the web in Latin-1: augeas prints its bytes back.
    const std::string uri = server_.publish(
        "latin1.aug", hosts_script("set /files" + hosts_path() + "/1/alias caf\xe9\n" +
                                   "get /files" + hosts_path() + "/1/alias\n"));
    const std::string printed = "/files" + hosts_path() + "/1/alias = caf";
    Reply reply = run_uri(uri, 0, "augeas", "latin1");
    ASSERT_TRUE(reply.ok) << reply.error_name << ": " << reply.error_message;
    EXPECT_EQ(reply.str(), "OK\n" + printed + "\xef\xbf\xbd\n");
    EXPECT_EQ(status_file("latin1"), "OK\n" + printed + "\xe9\n");

    // The stored bytes do not bring a new agent down either.
    start_agent();
    Reply again = is_configured("latin1");
    ASSERT_TRUE(again.ok) << again.error_name << ": " << again.error_message;
    EXPECT_EQ(again.str(), reply.str());
    Reply skipped = run_uri(uri, 0, "augeas", "latin1");
    EXPECT_EQ(skipped.str(), reply.str());
}

TEST_F(AgentAugeas, ADownloadThatHangsHoldsUpNoOtherRequest) {
    // A server that takes the connection and never says a word.
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length), 0);
    const std::string uri =
        "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/silent.aug";
    BusClient::Pending hung =
        client_->send(kSysconfigName, kSysconfigPath, kSysconfigIface, "run_uri",
                      {Arg::s(uri), Arg::u(0), Arg::s("augeas"), Arg::s("hung")});

    Reply uuid = get("uuid");
    EXPECT_TRUE(uuid.ok) << uuid.error_message;
    EXPECT_EQ(is_configured("hung").str(), "");
    EXPECT_FALSE(hung.done());

    // Closing the listener resets the waiting connection: the run fails.
    close(listener);
    Reply failed = hung.wait();
    EXPECT_EQ(failed.error_name, code_error(3)) << failed.error_message;
}

TEST_F(AgentAugeas, AStartingAgentRemovesWhatAKilledOneLeftBehind) {
    // After a run made the keys folder, the agent dies amid runs: documents, a half-written status.
    ASSERT_TRUE(run_string(add_host_script("192.0.2.40", "k.example"), 0, "augeas", "k").ok);
    write_file(work_.file("augeas_conf_Ab12Cd"), "set /files/etc/shadow/root/password x\n");
    write_file(work_.file("puppet_conf_123456"), "secret\n");
    write_file(work_.file("notes"), "kept\n");
    write_file(state_.file("keys/sysconfig-keys/.set-key-Xy12Zz"), "OK\n");
    start_agent();
    EXPECT_TRUE(temporary_documents().empty());
    EXPECT_FALSE(file_exists(state_.file("keys/sysconfig-keys/.set-key-Xy12Zz")));
    EXPECT_EQ(read_file(work_.file("notes")), "kept\n");
    EXPECT_EQ(status_file("k"), kSaved);
}

TEST_F(AgentAugeas, PreviewShowsTheDiffAndWritesNothingEvenWhenTheScriptSavesForReal) {
    const auto before = folder_contents(edits_.path());
    Reply reply = preview(
        "preview_string",
        "set /augeas/save overwrite\n" + add_host_script("192.0.2.10", "added.example"), "augeas");
    ASSERT_TRUE(reply.ok) << reply.error_name << ": " << reply.error_message;
    EXPECT_EQ(reply.str(0), "1");
    EXPECT_EQ(reply.str(1), "--- " + hosts_path() + "\n+++ " + hosts_path() +
                                "\n@@ -1,2 +1,3 @@\n 127.0.0.1\tlocalhost\n"
                                " 192.0.2.1\tfirst.example\n+192.0.2.10\tadded.example\n");
    EXPECT_EQ(folder_contents(edits_.path()), before);
}

TEST_F(AgentAugeas, PreviewOfAScriptThatChangesNothingReportsNoChanges) {
    const std::string uri = server_.publish(
        "noop.aug", hosts_script("get /files" + hosts_path() + "/1/ipaddr\nsave\n"));
    Reply reply = preview("preview_uri", uri, "AUGEAS");
    ASSERT_TRUE(reply.ok) << reply.error_name << ": " << reply.error_message;
    EXPECT_EQ(reply.str(0), "0");
    EXPECT_EQ(reply.str(1), "");
}

TEST_F(AgentAugeas, PreviewFailsWithTheCodesOfRuns) {
    const std::string edit = add_host_script("192.0.2.10", "never.example");
    EXPECT_EQ(preview("preview_string", edit, "chef").error_name, code_error(2));
    EXPECT_EQ(preview("preview_uri", server_.url("missing.aug"), "augeas").error_name,
              code_error(3));
    Reply failed = preview("preview_string",
                           hosts_script("set /files" + hosts_path() + "/*/ipaddr x\n"), "augeas");
    EXPECT_EQ(failed.error_name, code_error(4));
    EXPECT_EQ(failed.error_message.rfind(std::string(kx_result_to_str(4)) + "\nFAILED\n-1\n", 0),
              0u)
        << failed.error_message;
    EXPECT_EQ(read_file(hosts_path()), kOriginalHosts);
}

TEST_F(AgentAugeas, PreviewOfAConfiguredKeysDocumentIgnoresTheKey) {
    ASSERT_EQ(run_string(add_host_script("192.0.2.10", "first.example"), 0, "augeas", "k").str(),
              kSaved);
    const std::string applied = read_file(hosts_path());
    Reply reply =
        preview("preview_string", add_host_script("192.0.2.20", "second.example"), "augeas");
    ASSERT_TRUE(reply.ok) << reply.error_name << ": " << reply.error_message;
    EXPECT_EQ(reply.str(0), "1");
    EXPECT_NE(reply.str(1).find("+192.0.2.20\tsecond.example\n"), std::string::npos)
        << reply.str(1);
    EXPECT_EQ(read_file(hosts_path()), applied);
    EXPECT_EQ(folder_contents(state_.file("keys/sysconfig-keys")),
              (std::map<std::string, std::string>{{"k", kSaved}}));
}

TEST_F(AgentAugeas, AnAgentKilledMidPreviewLeavesNothingBehind) {
    const auto before = folder_contents(edits_.path());
    BusClient::Pending pending =
        client_->send(kSysconfigName, kSysconfigPath, kSysconfigPreviewIface, "preview_string",
                      {Arg::s(add_host_script("192.0.2.10", "killed.example")), Arg::s("augeas")});
    // The helper program is at work once it is the agent's child.
    auto helper_running = [&] {
        std::string pids;
        for (const auto &task : std::filesystem::directory_iterator(
                 "/proc/" + std::to_string(agent_->process().pid()) + "/task"))
            pids += read_file(task.path() / "children");
        return !pids.empty();
    };
    ASSERT_TRUE(wait_until(helper_running, std::chrono::seconds(30))) << agent_->stderr_text();
    agent_->process().signal(SIGKILL);
    EXPECT_FALSE(pending.wait().ok);
    EXPECT_TRUE(temporary_documents().empty());
    start_agent();
    EXPECT_EQ(folder_contents(edits_.path()), before);
}
