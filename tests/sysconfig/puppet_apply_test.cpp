// Runs of the real puppet, in a private mount namespace where puppet's state, cache, log and run
// folders are empty tmpfs: nothing is left on the machine, no test process shares puppet state.
#include <stdio.h>

#include "sysconfig_test_support.h"

using namespace korvex::sysconfig::test;

class PuppetApply : public ::testing::Test {
protected:
    uint32_t start(const std::string &manifest, const char *key, CompletionLog::Slot &slot) {
        return kx_sysconfig_run_string(manifest.c_str(), 0, "puppet", key, &CompletionLog::record,
                                       &slot);
    }

    std::vector<int32_t> run_to_end(const std::string &manifest, const char *key) {
        CompletionLog::Slot &slot = completions.slot(key);
        const uint32_t rc = start(manifest, key, slot);
        EXPECT_EQ(rc, 0u) << log.dump();
        if (rc == 0)
            completions.run_until(completions.order().size() + 1);
        return slot.results;
    }

    static void SetUpTestSuite() {
        if (!private_tmpfs({"/var/cache/puppet", "/var/lib/puppet", "/var/log/puppet", "/run"})) {
            perror("private tmpfs for puppet's folders");
            exit(1);
        }
    }

    void TearDown() override {
        EXPECT_TRUE(entries_with_prefix(work.path(), "puppet_conf_").empty())
            << "manifest files left in the working directory";
    }

    TempDir keys_dir{"apply-keys"};
    TempDir work{"apply-work"};
    KeysDirectory keys{keys_dir.path() + "/"};
    WorkingDirectory cwd{work.path()};
    LogCapture log;
    CompletionLog completions;
};

TEST_F(PuppetApply, SuccessfulManifestStoresOkFromTheMainLoop) {
    const std::string target = work.path() + "/created.txt";
    const std::string manifest =
        "file { '" + target + "': ensure => file, content => \"made by puppet\\n\" }\n";
    CompletionLog::Slot &slot = completions.slot("create");

    ASSERT_EQ(start(manifest, "create", slot), 0u) << log.dump();
    EXPECT_TRUE(slot.results.empty()) << "completion must come from the main loop";
    EXPECT_EQ(entries_with_prefix(work.path(), "puppet_conf_").size(), 1u);

    completions.run_until(1);
    EXPECT_EQ(slot.results, std::vector<int32_t>{0});
    EXPECT_EQ(stored_status("create"), "OK");
    EXPECT_EQ(read_file(target), "made by puppet\n");
}

TEST_F(PuppetApply, FailingResourceIsStoredAsFailure) {
    const std::vector<int32_t> results = run_to_end("exec { '/bin/false': }\n", "fails");
    ASSERT_EQ(results.size(), 1u);
    const int32_t exit_status = results[0];
    EXPECT_TRUE(exit_status == 4 || exit_status == 6) << exit_status;
    EXPECT_EQ(stored_status("fails"), "FAILED\n" + std::to_string(exit_status));
}

TEST_F(PuppetApply, SyntaxErrorIsStoredAsFailure) {
    EXPECT_EQ(run_to_end("file { 'unterminated\n", "syntax"), std::vector<int32_t>{1});
    EXPECT_EQ(stored_status("syntax"), "FAILED\n1");
    // Puppet's own words reach the log, without colour codes.
    EXPECT_FALSE(log.starting_with("run_puppet: puppet for key \"syntax\": Error: ").empty())
        << log.dump();
    EXPECT_EQ(log.dump().find("\\x1b"), std::string::npos) << log.dump();
}

// The first run waits for a file that only the second run's completion creates.
TEST_F(PuppetApply, ConcurrentRunsCompleteInTheOrderTheyEnd) {
    const std::string release = work.path() + "/release";
    const std::string reached = work.path() + "/reached";
    const std::string held = "exec { 'wait for release': command => \"/bin/sh -c 'touch " +
                             reached + "; while [ ! -e " + release +
                             " ]; do sleep 0.1; done'\" }\n";
    const std::string quick = "file { '" + work.path() + "/quick.txt': content => 'q' }\n";

    CompletionLog::Slot &held_slot = completions.slot("held");
    CompletionLog::Slot &quick_slot = completions.slot("quick");
    completions.on_completion = [&](const std::string &name) {
        if (name == "quick")
            write_file(release, "go");
    };

    ASSERT_EQ(start(held, "held", held_slot), 0u);
    // puppet fails (exit 1) when two runs create its cache folders at once: the first goes ahead.
    ASSERT_TRUE(
        korvex::test::wait_until([&] { return fs::exists(reached); }, std::chrono::seconds(30)));
    ASSERT_EQ(start(quick, "quick", quick_slot), 0u);
    completions.run_until(2);

    EXPECT_EQ(completions.order(), (std::vector<std::string>{"quick", "held"}));
    EXPECT_EQ(quick_slot.results, std::vector<int32_t>{0});
    EXPECT_EQ(held_slot.results, std::vector<int32_t>{0});
    EXPECT_EQ(stored_status("quick"), "OK");
    EXPECT_EQ(stored_status("held"), "OK");
}
