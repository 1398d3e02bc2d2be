// The puppet runner against stand-in puppet programs placed first on the
// search path: version handling, command lines, exit status mapping and
// the failure paths before and at the start of the process.
#include <stdlib.h>

#include <chrono>
#include <memory>
#include <string>

#include <glib.h>
#include <gtest/gtest.h>

#include <korvex/kcommon.h>
#include <korvex/sysconfig.h>

#include "main_loop_support.h"
#include "sysconfig_internal.h"
#include "sysconfig_test_support.h"

namespace korvex::sysconfig::test {
namespace {

class PuppetStandIn : public ::testing::Test {
protected:
    // A puppet that prints version_output for --version (and counts how
    // often it was asked); for a run it records its arguments, a copy of
    // the manifest (the last argument) and the manifest's mode, then exits
    // with exit_status. Each one is a new file, as an upgrade makes it.
    void install_puppet(const std::string &version_output, int exit_status = 0,
                        const std::string &on_version = "") {
        const std::string script = "#!/bin/sh\nrecords='" + records.path() + "'\nversion='" +
                                   version_output + "'\n" + R"(PATH=/usr/bin:/bin
if [ "$1" = --version ]; then
  echo >> "$records/versions"
  printf '%s' "$version"
)" + on_version + R"(
  exit 0
fi
printf '%s\n' "$@" > "$records/argv"
for last; do :; done
cat -- "$last" > "$records/manifest"
stat -c %a -- "$last" > "$records/mode"
exit )" + std::to_string(exit_status);
        std::filesystem::remove(bin.file("puppet"));
        write_file(bin.file("puppet"), script, 0755);
        std::filesystem::remove(argv_record());
        std::filesystem::remove(manifest_record());
    }

    std::filesystem::path argv_record() const { return records.file("argv"); }
    std::filesystem::path manifest_record() const { return records.file("manifest"); }
    std::filesystem::path mode_record() const { return records.file("mode"); }
    std::filesystem::path versions_record() const { return records.file("versions"); }
    size_t versions_asked() const { return read_file(versions_record()).value_or("").size(); }

    std::optional<std::string> status(const char *key = "k") { return stored_status(key); }

    std::vector<std::string> manifests_left() const {
        return entries_with_prefix(work.path(), "puppet_conf_");
    }

    // Starts one inline manifest without waiting for it.
    uint32_t start(CompletionLog::Slot &slot, uint32_t flags = 0) {
        return kx_sysconfig_run_string("notify { 'x': }\n", flags, "puppet", "k",
                                       &CompletionLog::record, &slot);
    }

    uint32_t run_uri(const std::string &uri, uint32_t flags, CompletionLog::Slot &slot) {
        return kx_sysconfig_run_uri(uri.c_str(), flags, "puppet", "k", &CompletionLog::record,
                                    &slot);
    }

    // Runs one inline manifest to completion; the run's result code.
    uint32_t run_to_end(const char *manifest, CompletionLog::Slot &slot) {
        const uint32_t rc = kx_sysconfig_run_string(manifest, KX_SYSCONFIG_FLAG_FORCE, "puppet",
                                                    "k", &CompletionLog::record, &slot);
        if (rc == 0)
            completions.run_until(completions.order().size() + 1);
        return rc;
    }

    TempDir bin{"puppet-bin"};
    TempDir records{"puppet-records"};
    TempDir keys_dir{"puppet-keys"};
    TempDir work{"puppet-work"};
    // Only the stand-in: the real puppet must never run from these tests.
    ScopedEnv path{"PATH", bin.path()};
    KeysDirectory keys{keys_dir.path() + "/"};
    WorkingDirectory cwd{work.path()};
    LogCapture log;
    CompletionLog completions;
};

TEST_F(PuppetStandIn, VersionChoosesTheCommandLine) {
    struct Case {
        const char *version;
        bool apply;
    };
    for (const Case c : {Case{"2.7.26\n", true}, Case{"3.8.7\n", true}, Case{"7.23.0\n", true},
                         Case{"0.25.5\n", false}, Case{"1.0\n", false}}) {
        SCOPED_TRACE(c.version);
        install_puppet(c.version);
        CompletionLog::Slot &slot = completions.slot(c.version);
        ASSERT_EQ(run_to_end("notify { 'x': }\n", slot), 0u) << log.dump();

        const std::optional<std::string> argv = read_file(argv_record());
        ASSERT_TRUE(argv.has_value()) << "puppet was not run";
        const std::string manifest = argv->substr(argv->rfind('\n', argv->size() - 2) + 1);
        EXPECT_TRUE(manifest.starts_with("puppet_conf_")) << *argv;
        EXPECT_EQ(*argv, (c.apply ? "apply\n--detailed-exitcodes\n" : "") + manifest);
        EXPECT_EQ(read_file(manifest_record()), "notify { 'x': }\n");
        EXPECT_EQ(slot.results, std::vector<int32_t>{0});
        EXPECT_EQ(status(), "OK");
        EXPECT_TRUE(manifests_left().empty());
    }
    EXPECT_EQ(
        log.starting_with("run_puppet: Running puppet apply --detailed-exitcodes puppet_conf_")
            .size(),
        3u)
        << log.dump();
    EXPECT_EQ(log.starting_with("run_puppet: Running puppet puppet_conf_").size(), 2u)
        << log.dump();
}

TEST_F(PuppetStandIn, ExitStatusDecidesTheStoredOutcome) {
    struct Case {
        const char *version;
        int exit_status;
        const char *stored;
        int32_t reported;
    };
    const Case cases[] = {
        // With --detailed-exitcodes 2 means changes were applied.
        {"7.23.0\n", 2, "OK", 0},
        {"7.23.0\n", 4, "FAILED\n4", 4},
        {"7.23.0\n", 6, "FAILED\n6", 6},
        {"7.23.0\n", 1, "FAILED\n1", 1},
        // The old invocation knows no detailed codes.
        {"0.25.5\n", 2, "FAILED\n2", 2},
        {"0.25.5\n", 1, "FAILED\n1", 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string{c.version} + " exit " + std::to_string(c.exit_status));
        install_puppet(c.version, c.exit_status);
        CompletionLog::Slot &slot = completions.slot(c.version);
        ASSERT_EQ(run_to_end("notify { 'x': }\n", slot), 0u) << log.dump();
        EXPECT_EQ(slot.results, std::vector<int32_t>{c.reported});
        EXPECT_EQ(status(), c.stored);
        EXPECT_TRUE(manifests_left().empty());
    }
}

TEST_F(PuppetStandIn, UnusableVersionOutputStopsBeforeAnythingRuns) {
    struct Case {
        const char *output;
        std::string message;
        const char *on_version = "";
    };
    const Case cases[] = {
        {"seven\n", "check_puppet: Unexpected output from 'puppet --version': 'seven\\x0a'"},
        {"", "check_puppet: Unexpected output from 'puppet --version': ''"},
        {"x.y.z\n", "check_puppet: Failed to parse outpuet from 'puppet --version': 'x.y.z\\x0a'"},
        {"-1.2\n", "check_puppet: Failed to parse outpuet from 'puppet --version': '-1.2\\x0a'"},
        // The check is given up at its bounds instead of holding the agent.
        {"7.23.0\n", "check_puppet: 'puppet --version' printed more than 65536 bytes",
         "head -c 70000 /dev/zero"},
        {"7.23.0\n", "check_puppet: 'puppet --version' did not finish within 1 s", "sleep 20"},
        {"7.23.0\n", "check_puppet: 'puppet --version' did not finish within 1 s",
         "exec >&-; sleep 20"},
    };
    kx_sysconfig_download_limits_set(0, 0, 0, 0, 1);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.message);
        install_puppet(c.output, 0, c.on_version);
        CompletionLog::Slot &slot = completions.slot(c.message);
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(start(slot, 0), 4u);
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds{5});
        EXPECT_TRUE(log.has(KX_LOG_ERR, c.message)) << log.dump();
        EXPECT_FALSE(std::filesystem::exists(argv_record()));
        EXPECT_TRUE(slot.results.empty());
    }
    kx_sysconfig_download_limits_set(0, 0, 0, 0, 0);
    EXPECT_EQ(status(), std::nullopt);
    EXPECT_TRUE(manifests_left().empty());
}

TEST_F(PuppetStandIn, VersionIsAskedOncePerInstalledPuppet) {
    install_puppet("0.25.5\n");
    CompletionLog::Slot &slot = completions.slot("cached");
    ASSERT_EQ(run_to_end("notify { 'x': }\n", slot), 0u) << log.dump();
    ASSERT_EQ(run_to_end("notify { 'x': }\n", slot), 0u) << log.dump();
    EXPECT_EQ(versions_asked(), 1u);
    EXPECT_EQ(read_file(argv_record())->find("apply"), std::string::npos);

    // An unusable answer is kept too, and still refuses every run.
    install_puppet("seven\n");
    for (int run = 0; run < 2; ++run)
        EXPECT_EQ(start(slot, 1), 4u);
    EXPECT_EQ(versions_asked(), 2u);
    EXPECT_EQ(log.starting_with("check_puppet: Unexpected output").size(), 2u) << log.dump();

    // One that ran out of time may answer on a quieter host: asked again.
    install_puppet("7.23.0\n", 0, "sleep 20");
    kx_sysconfig_download_limits_set(0, 0, 0, 0, 1);
    for (int run = 0; run < 2; ++run)
        EXPECT_EQ(start(slot, 1), 4u);
    kx_sysconfig_download_limits_set(0, 0, 0, 0, 0);
    EXPECT_EQ(versions_asked(), 4u);

    install_puppet("7.23.0\n");
    ASSERT_EQ(run_to_end("notify { 'x': }\n", slot), 0u) << log.dump();
    EXPECT_EQ(versions_asked(), 5u);
    EXPECT_EQ(read_file(argv_record())->find("apply"), 0u);
}

// Manifests may carry secrets; a permissive umask must not show them.
TEST_F(PuppetStandIn, ManifestsArePrivateWhateverTheUmask) {
    UmaskOverride open_mask{0};
    TempDir served{"puppet-served"};
    write_file(served.file("site.pp"), "notify { 'from uri': }\n");
    install_puppet("7.23.0\n");
    CompletionLog::Slot &slot = completions.slot("modes");

    ASSERT_EQ(run_to_end("notify { 'x': }\n", slot), 0u) << log.dump();
    EXPECT_EQ(read_file(mode_record()), "600\n");
    ASSERT_EQ(run_uri("file://" + served.file("site.pp"), 1, slot), 0u) << log.dump();
    completions.run_until(2);
    EXPECT_EQ(read_file(manifest_record()), "notify { 'from uri': }\n");
    EXPECT_EQ(read_file(mode_record()), "600\n");
}

TEST_F(PuppetStandIn, MissingPuppetIsReported) {
    TempDir empty{"puppet-empty-path"};
    ScopedEnv no_puppet{"PATH", empty.path()};
    CompletionLog::Slot &slot = completions.slot("missing");

    EXPECT_EQ(start(slot, 0), 4u);
    const std::string prefix = "check_puppet: Failed to check puppet version: (" +
                               std::to_string(G_SPAWN_ERROR_NOENT) + ") ";
    ASSERT_EQ(log.starting_with(prefix).size(), 1u) << log.dump();
    EXPECT_EQ(log.starting_with(prefix)[0].level, KX_LOG_ERR);
    EXPECT_TRUE(slot.results.empty());
    EXPECT_EQ(status(), std::nullopt);
    EXPECT_TRUE(manifests_left().empty());
}

TEST_F(PuppetStandIn, ProcessThatCannotStartLeavesError) {
    // This puppet answers the version question and then removes itself,
    // so starting the run finds no program on the search path.
    install_puppet("3.8.7\n", 0, "rm -f \"$0\"");
    CompletionLog::Slot &slot = completions.slot("vanishing");

    EXPECT_EQ(start(slot, 0), 4u);
    EXPECT_EQ(status(), "ERROR");
    EXPECT_TRUE(slot.results.empty());
    EXPECT_TRUE(manifests_left().empty());
    EXPECT_FALSE(std::filesystem::exists(bin.file("puppet")));
}

TEST_F(PuppetStandIn, ManifestFetchedByUriIsRun) {
    HttpServer server;
    install_puppet("7.23.0\n");
    CompletionLog::Slot &slot = completions.slot("uri");

    ASSERT_EQ(run_uri(server.publish("site.pp", "notify { 'from uri': }\n"), 0, slot), 0u)
        << log.dump();
    completions.run_until(1);
    EXPECT_EQ(read_file(manifest_record()), "notify { 'from uri': }\n");
    EXPECT_EQ(slot.results, std::vector<int32_t>{0});
    EXPECT_EQ(status(), "OK");
    EXPECT_TRUE(manifests_left().empty());
}

TEST_F(PuppetStandIn, FailedManifestDownloadRunsNothing) {
    HttpServer server;
    install_puppet("7.23.0\n");
    CompletionLog::Slot &slot = completions.slot("uri");

    const std::string uri = server.url("/missing");
    EXPECT_EQ(run_uri(uri, 0, slot), 3u);
    EXPECT_TRUE(log.has(KX_LOG_WARNING, "sysconfig_os_download: curl request for URI '" + uri +
                                            "' got response 404"))
        << log.dump();
    EXPECT_FALSE(std::filesystem::exists(argv_record()));
    EXPECT_TRUE(slot.results.empty());
    EXPECT_EQ(status(), std::nullopt);
    EXPECT_TRUE(manifests_left().empty());
}

TEST_F(PuppetStandIn, NoDocumentIsRefusedAfterTheVersionCheck) {
    install_puppet("7.23.0\n");
    CompletionLog::Slot &slot = completions.slot("none");
    EXPECT_EQ(run_puppet(nullptr, nullptr, "k", &CompletionLog::record, &slot), 2);

    install_puppet("seven\n");
    EXPECT_EQ(run_puppet(nullptr, nullptr, "k", &CompletionLog::record, &slot), 4);
    EXPECT_TRUE(slot.results.empty());
    EXPECT_EQ(status(), std::nullopt);
}

TEST_F(PuppetStandIn, ManifestThatCannotBeWrittenStartsNothing) {
    install_puppet("7.23.0\n");
    CompletionLog::Slot &slot = completions.slot("unwritable");
    const auto gone = work.file("gone");
    std::filesystem::create_directory(gone);
    {
        WorkingDirectory inside{gone};
        std::filesystem::remove(gone);
        EXPECT_EQ(start(slot, 0), 6u);
        EXPECT_EQ(run_uri("file:///dev/null", 0, slot), 6u);
    }
    // A full working directory: the manifest cannot be written whole.
    write_file(records.file("big.pp"), "# " + std::string(200000, 'x') + "\n");
    {
        FullFolder full{work.file("full")};
        WorkingDirectory inside{full.path()};
        EXPECT_EQ(kx_sysconfig_run_string(("# " + std::string(200000, 'x') + "\n").c_str(), 0,
                                          "puppet", "k", &CompletionLog::record, &slot),
                  6u);
        EXPECT_EQ(run_uri("file://" + records.path() + "/big.pp", 0, slot), 6u);
        EXPECT_TRUE(entries_with_prefix(full.path(), "puppet_conf_").empty());
    }
    EXPECT_FALSE(std::filesystem::exists(argv_record()));
    EXPECT_TRUE(slot.results.empty());
    EXPECT_EQ(status(), std::nullopt);
}

TEST_F(PuppetStandIn, UnstorableOutcomeIsNotReportedAsSuccess) {
    install_puppet("7.23.0\n", 0);
    CompletionLog::Slot &slot = completions.slot("unstorable");
    ASSERT_EQ(start(slot, 0), 0u);
    // The keys directory becomes unreachable while puppet runs.
    KeysDirectory unreachable{keys_dir.path() + "/missing/keys/"};
    completions.run_until(1);

    EXPECT_EQ(slot.results, std::vector<int32_t>{KX_RES_SYSTEM_ERROR});
    EXPECT_TRUE(log.has(KX_LOG_ERR, "action_cb: Unable to write to key file 'k'")) << log.dump();
    EXPECT_TRUE(manifests_left().empty());
}

} // namespace
} // namespace korvex::sysconfig::test
