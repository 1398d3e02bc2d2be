// The puppet runner against stand-in puppet programs placed first on the search path: version
// handling, command lines, exit status mapping and the failure paths up to the process start.
#include "sysconfig_test_support.h"

using namespace korvex::sysconfig::test;

class PuppetStandIn : public ::testing::Test {
protected:
    // A puppet that prints version_output for --version (counting how often it was asked); a run
    // records its arguments, the manifest (last argument) and its mode, then exits with
    // exit_status. Each one is a new file, as an upgrade makes it.
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
        for (const std::string &old :
             {bin.file("puppet"), records.file("argv"), records.file("manifest")})
            fs::remove(old);
        write_file(bin.file("puppet"), script, 0755);
    }

    size_t versions_asked() const { return records.read("versions").size(); }

    std::vector<std::string> manifests_left() const {
        return entries_with_prefix(work.path(), "puppet_conf_");
    }

    uint32_t start(CompletionLog::Slot &slot, uint32_t flags = 0) {
        return kx_sysconfig_run_string("notify { 'x': }\n", flags, "puppet", "k",
                                       &CompletionLog::record, &slot);
    }

    uint32_t run_uri(const std::string &uri, uint32_t flags, CompletionLog::Slot &slot) {
        return kx_sysconfig_run_uri(uri.c_str(), flags, "puppet", "k", &CompletionLog::record,
                                    &slot);
    }

    uint32_t run_to_end(CompletionLog::Slot &slot) {
        const uint32_t rc = start(slot, KX_SYSCONFIG_FLAG_FORCE);
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
    CompletionLog::Slot &slot = completions.slot("run");
};

TEST_F(PuppetStandIn, VersionChoosesTheCommandLine) {
    const std::pair<const char *, bool> cases[] = {{"2.7.26\n", true},
                                                   {"3.8.7\n", true},
                                                   {"7.23.0\n", true},
                                                   {"0.25.5\n", false},
                                                   {"1.0\n", false}};
    for (const auto &[version, apply] : cases) {
        SCOPED_TRACE(version);
        install_puppet(version);
        CompletionLog::Slot &slot = completions.slot(version);
        ASSERT_EQ(run_to_end(slot), 0u) << log.dump();

        const std::optional<std::string> argv = read_file(records.file("argv"));
        ASSERT_TRUE(argv.has_value()) << "puppet was not run";
        const std::string manifest = argv->substr(argv->rfind('\n', argv->size() - 2) + 1);
        EXPECT_TRUE(manifest.starts_with("puppet_conf_")) << *argv;
        EXPECT_EQ(*argv, (apply ? "apply\n--detailed-exitcodes\n--color=false\n" : "") + manifest);
        EXPECT_EQ(read_file(records.file("manifest")), "notify { 'x': }\n");
        EXPECT_EQ(slot.results, std::vector<int32_t>{0});
        EXPECT_EQ(stored_status(), "OK");
        EXPECT_TRUE(manifests_left().empty());
    }
    EXPECT_EQ(
        log.starting_with(
               "run_puppet: Running puppet apply --detailed-exitcodes --color=false puppet_conf_")
            .size(),
        3u)
        << log.dump();
    EXPECT_EQ(log.starting_with("run_puppet: Running puppet puppet_conf_").size(), 2u)
        << log.dump();
}

TEST_F(PuppetStandIn, ExitStatusDecidesTheStoredOutcome) {
    const std::tuple<const char *, int, const char *, int32_t> cases[] = {
        // With --detailed-exitcodes 2 means changes were applied.
        {"7.23.0\n", 2, "OK", 0},
        {"7.23.0\n", 4, "FAILED\n4", 4},
        {"7.23.0\n", 6, "FAILED\n6", 6},
        {"7.23.0\n", 1, "FAILED\n1", 1},
        // The old invocation knows no detailed codes.
        {"0.25.5\n", 2, "FAILED\n2", 2},
        {"0.25.5\n", 1, "FAILED\n1", 1},
    };
    for (const auto &[version, exit_status, stored, reported] : cases) {
        SCOPED_TRACE(std::string{version} + " exit " + std::to_string(exit_status));
        install_puppet(version, exit_status);
        CompletionLog::Slot &slot = completions.slot(version);
        ASSERT_EQ(run_to_end(slot), 0u) << log.dump();
        EXPECT_EQ(slot.results, std::vector<int32_t>{reported});
        EXPECT_EQ(stored_status(), stored);
        EXPECT_TRUE(manifests_left().empty());
    }
}

TEST_F(PuppetStandIn, UnusableVersionOutputStopsBeforeAnythingRuns) {
    const std::tuple<const char *, std::string, const char *> cases[] = {
        {"seven\n", "check_puppet: Unexpected output from 'puppet --version': 'seven\\x0a'", ""},
        {"", "check_puppet: Unexpected output from 'puppet --version': ''", ""},
        {"x.y.z\n", "check_puppet: Failed to parse outpuet from 'puppet --version': 'x.y.z\\x0a'",
         ""},
        {"-1.2\n", "check_puppet: Failed to parse outpuet from 'puppet --version': '-1.2\\x0a'",
         ""},
        // The check is given up at its bounds instead of holding the agent.
        {"7.23.0\n", "check_puppet: 'puppet --version' printed more than 65536 bytes",
         "head -c 70000 /dev/zero"},
        {"7.23.0\n", "check_puppet: 'puppet --version' did not finish within 1 s", "sleep 20"},
        {"7.23.0\n", "check_puppet: 'puppet --version' did not finish within 1 s",
         "exec >&-; sleep 20"},
    };
    kx_sysconfig_download_limits_set(0, 0, 0, 0, 1);
    for (const auto &[output, message, on_version] : cases) {
        SCOPED_TRACE(message);
        install_puppet(output, 0, on_version);
        CompletionLog::Slot &slot = completions.slot(message);
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(start(slot, 0), 4u);
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds{5});
        EXPECT_TRUE(log.has(KX_LOG_ERR, message)) << log.dump();
        EXPECT_FALSE(fs::exists(records.file("argv")));
        EXPECT_TRUE(slot.results.empty());
    }
    kx_sysconfig_download_limits_set(0, 0, 0, 0, 0);
    EXPECT_EQ(stored_status(), std::nullopt);
    EXPECT_TRUE(manifests_left().empty());
}

TEST_F(PuppetStandIn, VersionIsAskedOncePerInstalledPuppet) {
    install_puppet("0.25.5\n");
    ASSERT_EQ(run_to_end(slot), 0u) << log.dump();
    ASSERT_EQ(run_to_end(slot), 0u) << log.dump();
    EXPECT_EQ(versions_asked(), 1u);
    EXPECT_EQ(read_file(records.file("argv"))->find("apply"), std::string::npos);

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
    ASSERT_EQ(run_to_end(slot), 0u) << log.dump();
    EXPECT_EQ(versions_asked(), 5u);
    EXPECT_EQ(read_file(records.file("argv"))->find("apply"), 0u);
}

// Manifests may carry secrets; a permissive umask must not show them.
TEST_F(PuppetStandIn, ManifestsArePrivateWhateverTheUmask) {
    UmaskOverride open_mask{0};
    TempDir served{"puppet-served"};
    write_file(served.file("site.pp"), "notify { 'from uri': }\n");
    install_puppet("7.23.0\n");

    ASSERT_EQ(run_to_end(slot), 0u) << log.dump();
    EXPECT_EQ(read_file(records.file("mode")), "600\n");
    ASSERT_EQ(run_uri("file://" + served.file("site.pp"), 1, slot), 0u) << log.dump();
    completions.run_until(2);
    EXPECT_EQ(read_file(records.file("manifest")), "notify { 'from uri': }\n");
    EXPECT_EQ(read_file(records.file("mode")), "600\n");
}

TEST_F(PuppetStandIn, MissingPuppetIsReported) {
    TempDir empty{"puppet-empty-path"};
    ScopedEnv no_puppet{"PATH", empty.path()};

    EXPECT_EQ(start(slot, 0), 4u);
    const std::string prefix = "check_puppet: Failed to check puppet version: (" +
                               std::to_string(G_SPAWN_ERROR_NOENT) + ") ";
    ASSERT_EQ(log.starting_with(prefix).size(), 1u) << log.dump();
    EXPECT_EQ(log.starting_with(prefix)[0].level, KX_LOG_ERR);
    EXPECT_TRUE(slot.results.empty());
    EXPECT_EQ(stored_status(), std::nullopt);
    EXPECT_TRUE(manifests_left().empty());
}

TEST_F(PuppetStandIn, ProcessThatCannotStartLeavesError) {
    // This puppet answers the version question, then removes itself: the run finds no program.
    install_puppet("3.8.7\n", 0, "rm -f \"$0\"");

    EXPECT_EQ(start(slot, 0), 4u);
    EXPECT_EQ(stored_status(), "ERROR");
    EXPECT_TRUE(slot.results.empty());
    EXPECT_TRUE(manifests_left().empty());
    EXPECT_FALSE(fs::exists(bin.file("puppet")));
}

TEST_F(PuppetStandIn, ManifestFetchedByUriIsRun) {
    HttpServer server;
    install_puppet("7.23.0\n");

    ASSERT_EQ(run_uri(server.publish("site.pp", "notify { 'from uri': }\n"), 0, slot), 0u)
        << log.dump();
    completions.run_until(1);
    EXPECT_EQ(read_file(records.file("manifest")), "notify { 'from uri': }\n");
    EXPECT_EQ(slot.results, std::vector<int32_t>{0});
    EXPECT_EQ(stored_status(), "OK");
    EXPECT_TRUE(manifests_left().empty());
}

TEST_F(PuppetStandIn, FailedManifestDownloadRunsNothing) {
    HttpServer server;
    install_puppet("7.23.0\n");

    const std::string uri = server.url("/missing");
    EXPECT_EQ(run_uri(uri, 0, slot), 3u);
    EXPECT_TRUE(log.has(KX_LOG_WARNING, "sysconfig_os_download: curl request for URI '" + uri +
                                            "' got response 404: HTTP/1.0 404 Not Found"))
        << log.dump();
    EXPECT_FALSE(fs::exists(records.file("argv")));
    EXPECT_TRUE(slot.results.empty());
    EXPECT_EQ(stored_status(), std::nullopt);
    EXPECT_TRUE(manifests_left().empty());
}

TEST_F(PuppetStandIn, NoDocumentIsRefusedAfterTheVersionCheck) {
    install_puppet("7.23.0\n");
    EXPECT_EQ(run_puppet(nullptr, nullptr, "k", &CompletionLog::record, &slot), 2);

    install_puppet("seven\n");
    EXPECT_EQ(run_puppet(nullptr, nullptr, "k", &CompletionLog::record, &slot), 4);
    EXPECT_TRUE(slot.results.empty());
    EXPECT_EQ(stored_status(), std::nullopt);
}

TEST_F(PuppetStandIn, ManifestThatCannotBeWrittenStartsNothing) {
    install_puppet("7.23.0\n");
    const auto gone = work.file("gone");
    fs::create_directory(gone);
    {
        WorkingDirectory inside{gone};
        fs::remove(gone);
        EXPECT_EQ(start(slot, 0), 6u);
        EXPECT_EQ(run_uri("file:///dev/null", 0, slot), 6u);
    }
    // A full working directory: the manifest cannot be written whole.
    write_file(records.file("big.pp"), "# " + std::string(200000, 'x') + "\n");
    {
        FullFolder full{work.file("full")};
        WorkingDirectory inside{full.path};
        EXPECT_EQ(kx_sysconfig_run_string(("# " + std::string(200000, 'x') + "\n").c_str(), 0,
                                          "puppet", "k", &CompletionLog::record, &slot),
                  6u);
        EXPECT_EQ(run_uri("file://" + records.path() + "/big.pp", 0, slot), 6u);
        EXPECT_TRUE(entries_with_prefix(full.path, "puppet_conf_").empty());
    }
    EXPECT_FALSE(fs::exists(records.file("argv")));
    EXPECT_TRUE(slot.results.empty());
    EXPECT_EQ(stored_status(), std::nullopt);
}

TEST_F(PuppetStandIn, UnstorableOutcomeIsNotReportedAsSuccess) {
    install_puppet("7.23.0\n", 0);
    ASSERT_EQ(start(slot, 0), 0u);
    // The keys directory becomes unreachable while puppet runs.
    KeysDirectory unreachable{keys_dir.path() + "/missing/keys/"};
    completions.run_until(1);

    EXPECT_EQ(slot.results, std::vector<int32_t>{KX_RES_SYSTEM_ERROR});
    EXPECT_TRUE(log.has(KX_LOG_ERR, "action_cb: Unable to write to key file 'k'")) << log.dump();
    EXPECT_TRUE(manifests_left().empty());
}
