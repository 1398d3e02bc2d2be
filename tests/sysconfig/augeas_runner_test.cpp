// Augeas runs (inline and by URI) with their stored status texts, and single-value queries.
#include <sys/wait.h>
#include <unistd.h>

#include "sysconfig_test_support.h"

using namespace korvex::sysconfig::test;

class AugeasRun : public ::testing::Test {
protected:
    void TearDown() override {
        EXPECT_TRUE(entries_with_prefix(work.path(), "augeas_conf_").empty())
            << "temporary files left in the working directory";
    }

    uint32_t run_string(const std::string &script, const char *key = "k") {
        return kx_sysconfig_run_string(script.c_str(), KX_SYSCONFIG_FLAG_FORCE, "augeas", key,
                                       &Completions::record, &done);
    }

    uint32_t run_uri(const std::string &uri, const char *key = "k") {
        return kx_sysconfig_run_uri(uri.c_str(), KX_SYSCONFIG_FLAG_FORCE, "augeas", key,
                                    &Completions::record, &done);
    }

    // A hosts file that only the script's own transform reaches.
    std::string hosts_edit_script() {
        write_file(work.file("hosts"), "127.0.0.1 localhost\n10.0.0.1 old\n");
        return "transform Hosts incl " + work.path() + "/hosts\n" + "load\n" + "set /files" +
               work.path() + "/hosts/2/canonical renamed\n" + "save\n";
    }

    TempDir keys_dir{"augeas-keys"};
    KeysDirectory keys{keys_dir.path() + "/"};
    TempDir work{"augeas-work"};
    WorkingDirectory cwd{work.path()};
    LogCapture log;
    Completions done;
};

TEST_F(AugeasRun, EmptyScriptStoresOkWithEmptyOutput) {
    EXPECT_EQ(run_string(""), 0u);
    EXPECT_EQ(done.results, std::vector<int32_t>{0});
    EXPECT_EQ(read_file(keys_dir.file("k")), "OK\n");
    EXPECT_TRUE(log.has(KX_LOG_INFO,
                        "run_augeas: run_augeas for key \"k\" exited with status 0 and data of "
                        "0 bytes"))
        << log.dump();
}

// A script may carry secrets: below trace level only its length is logged.
TEST_F(AugeasRun, ScriptTextIsLoggedOnlyAtTrace) {
    EXPECT_EQ(run_string("set /augeas/secret hunter2\n"), 0u);
    EXPECT_TRUE(log.has(KX_LOG_INFO, "run_augeas: run_augeas for key \"k\" exited with status 1 "
                                     "and data of 27 bytes"))
        << log.dump();
    EXPECT_TRUE(log.has(KX_LOG_TRACE, "run_augeas: run_augeas for key \"k\" exited with status 1 "
                                      "and data \"set /augeas/secret hunter2\\x0a\""))
        << log.dump();
    for (const LogLine &line : log.lines())
        EXPECT_TRUE(line.level == KX_LOG_TRACE || line.text.find("hunter2") == std::string::npos)
            << line.text;
}

TEST_F(AugeasRun, QuitEndsTheScriptLikeItsEnd) {
    EXPECT_EQ(run_string(hosts_edit_script() + "quit\nset /augeas/never x\n"), 0u);
    EXPECT_EQ(done.results, std::vector<int32_t>{0});
    EXPECT_EQ(stored_status(), "OK\nSaved 1 file(s)\n");
    EXPECT_EQ(read_file(work.file("hosts")), "127.0.0.1 localhost\n10.0.0.1 renamed\n");
}

// Output beyond the bound is cut to its beginning, with a note of how much was dropped.
TEST_F(AugeasRun, LongOutputIsCutInTheStatus) {
    std::string hosts;
    for (int i = 0; i < 8000; ++i)
        hosts += "10.0.0.1 h" + std::to_string(i) + "\n";
    write_file(work.file("hosts"), hosts);
    const std::string files = "/files" + work.path() + "/hosts";
    EXPECT_EQ(
        run_string("transform Hosts incl " + work.file("hosts") + "\nload\nprint " + files + "\n"),
        0u);
    EXPECT_EQ(done.results, std::vector<int32_t>{0});

    const std::string stored = read_file(keys_dir.file("k")).value_or("");
    EXPECT_LE(stored.size(), size_t{1} << 20);
    EXPECT_TRUE(stored.starts_with("OK\n" + files + "\n" + files + "/1\n"))
        << stored.substr(0, 200);
    const size_t note = stored.rfind("\n[");
    ASSERT_NE(note, std::string::npos);
    EXPECT_TRUE(stored.ends_with(" bytes dropped]\n")) << stored.substr(note);
    // Every entry prints its node and its two values.
    size_t whole = files.size() + 1;
    for (int i = 0; i < 8000; ++i) {
        const std::string entry = files + "/" + std::to_string(i + 1);
        whole += entry.size() + 1 + entry.size() + sizeof "/ipaddr = \"10.0.0.1\"" + entry.size() +
                 sizeof "/canonical = \"h\"" + std::to_string(i).size();
    }
    EXPECT_EQ(note - 3 + std::stoul(stored.substr(note + 2)), whole);
    EXPECT_EQ(stored_status(), stored);
}

TEST_F(AugeasRun, FullWorkingDirectoryFailsTheRun) {
    TempDir served{"augeas-served"};
    write_file(served.file("big.augeas"), "# " + std::string(200000, 'x') + "\n");
    const std::string uri = "file://" + served.file("big.augeas");
    ASSERT_EQ(kx_sysconfig_set_configured("k", "previous"), 0u);
    {
        FullFolder full{work.file("full")};
        WorkingDirectory inside{full.path};
        EXPECT_EQ(run_string("print /augeas\n"), 4u);
        EXPECT_EQ(run_uri(uri), 6u);
        EXPECT_TRUE(entries_with_prefix(full.path, "augeas_conf_").empty());
    }
    // stdio keeps only the stream's error flag, not always the reason.
    EXPECT_EQ(log.starting_with("run_augeas: Unable to read augeas results: ").size(), 1u)
        << log.dump();
    EXPECT_TRUE(log.has(KX_LOG_ERR, "sysconfig_os_download: Unable to write the document of URI '" +
                                        uri + "': No space left on device"))
        << log.dump();
    EXPECT_TRUE(done.results.empty());
    EXPECT_EQ(stored_status(), "previous");
}

TEST_F(AugeasRun, EditingScriptSavesTheFileAndStoresItsOutput) {
    EXPECT_EQ(run_string(hosts_edit_script()), 0u);
    EXPECT_EQ(done.results, std::vector<int32_t>{0});
    EXPECT_EQ(stored_status(), "OK\nSaved 1 file(s)\n");
    EXPECT_EQ(read_file(work.file("hosts")), "127.0.0.1 localhost\n10.0.0.1 renamed\n");
    EXPECT_EQ(read_file(work.file("hosts.augsave")), "127.0.0.1 localhost\n10.0.0.1 old\n");
}

TEST_F(AugeasRun, FailingCommandsStoreTheFailureAndStillComplete) {
    // The second command matches many nodes, which stops the run.
    EXPECT_EQ(run_string("print /augeas/root\nget /augeas/load/*\nset /augeas/never x\n"), 0u);
    EXPECT_EQ(done.results, std::vector<int32_t>{0});
    // The output, then augeas's error as augtool prints it (how many nodes depends on the host).
    const std::string status = stored_status().value_or("");
    EXPECT_TRUE(status.starts_with("FAILED\n-1\n/augeas/root = \"/\"\nerror: Too many matches for "
                                   "path expression\nThere are "))
        << status;
    EXPECT_TRUE(status.ends_with(" nodes matching /augeas/load/*\n")) << status;
}

TEST_F(AugeasRun, ScriptFetchedByUriIsApplied) {
    HttpServer server;
    EXPECT_EQ(run_uri(server.publish("edit.augeas", hosts_edit_script())), 0u);
    EXPECT_EQ(done.results, std::vector<int32_t>{0});
    EXPECT_EQ(stored_status(), "OK\nSaved 1 file(s)\n");
    EXPECT_EQ(read_file(work.file("hosts")), "127.0.0.1 localhost\n10.0.0.1 renamed\n");
}

TEST_F(AugeasRun, FailedDownloadsLeaveTheStatusAlone) {
    HttpServer server;
    RefusingTcpPort closed;
    ASSERT_EQ(kx_sysconfig_set_configured("k", "previous"), 0u);

    const std::string missing = server.url("/missing");
    EXPECT_EQ(run_uri(missing), 3u);
    EXPECT_TRUE(log.has(KX_LOG_WARNING, "sysconfig_os_download: curl request for URI '" + missing +
                                            "' got response 404: HTTP/1.0 404 Not Found"))
        << log.dump();
    EXPECT_TRUE(log.has(KX_LOG_ERR, "run_augeas: Unable to download file from uri " + missing))
        << log.dump();

    const std::string refused = "http://127.0.0.1:" + std::to_string(closed.port()) + "/x";
    EXPECT_EQ(run_uri(refused), 3u);
    EXPECT_TRUE(log.has(KX_LOG_ERR, "run_augeas: Unable to download file from uri " + refused))
        << log.dump();

    EXPECT_TRUE(done.results.empty());
    EXPECT_EQ(stored_status(), "previous");
}

TEST_F(AugeasRun, NeitherUriNorTextIsRefused) {
    EXPECT_EQ(run_augeas(nullptr, nullptr, "k", &Completions::record, &done), 2);
    EXPECT_TRUE(log.has(KX_LOG_ERR, "run_augeas: No uri/data provided for augeas")) << log.dump();
    EXPECT_EQ(kx_sysconfig_run_uri(nullptr, 0, "augeas", "k", &Completions::record, &done), 2u);
    EXPECT_TRUE(done.results.empty());
    EXPECT_EQ(stored_status(), std::nullopt);
}

TEST_F(AugeasRun, UnwritableWorkingDirectoryEndsTheRunEarly) {
    // A working directory that no longer exists: no temporary file can be made.
    const auto gone = work.file("gone");
    fs::create_directory(gone);
    {
        WorkingDirectory inside{gone};
        fs::remove(gone);
        EXPECT_EQ(run_string("set /augeas/never x\n"), 6u);
        EXPECT_EQ(run_uri("file:///dev/null"), 6u);
    }
    EXPECT_TRUE(log.has(KX_LOG_ERR, "run_augeas: Unable to create temporary file")) << log.dump();
    EXPECT_TRUE(done.results.empty());
    EXPECT_EQ(stored_status(), std::nullopt);
}

TEST_F(AugeasRun, UnstorableStatusIsNotReportedAsSuccess) {
    ASSERT_EQ(kx_sysconfig_set_configured("k", "previous"), 0u);
    KeysDirectory unreachable{keys_dir.path() + "/missing/keys/"};

    EXPECT_EQ(run_string(""), 6u);
    EXPECT_TRUE(done.results.empty());
    EXPECT_TRUE(log.has(KX_LOG_ERR, "set_key: Could not create keys directory " + keys_dir.path() +
                                        "/missing/keys/"))
        << log.dump();
}

class AugeasQuery : public ::testing::Test {
protected:
    std::optional<std::string> query(const char *path, const char *scheme = "augeas",
                                     uint32_t flags = 0) {
        return take_text(kx_sysconfig_query(path, flags, scheme));
    }
};

TEST_F(AugeasQuery, OnlyAPathWithExactlyOneValuedNodeYieldsAValue) {
    EXPECT_EQ(query("/augeas/root"), "/");
    EXPECT_EQ(query("/augeas/root", "AUGEAS", 7), "/");
    EXPECT_EQ(query("/augeas/no/such/node"), std::nullopt);
    EXPECT_EQ(query("/augeas/load/*"), std::nullopt) << "several matches";
    EXPECT_EQ(query("/augeas/load"), std::nullopt) << "node without a value";
    EXPECT_EQ(query("/augeas/root[", "augeas"), std::nullopt) << "invalid path";
}

// A value from any file on the host is bounded like a status text; the child's /etc holds it.
TEST_F(AugeasQuery, LongValueIsCutLikeAStatusText) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (!private_tmpfs({"/etc"}))
            _exit(10);
        const std::string alias(3 << 20, 'a');
        write_file("/etc/hosts", "10.0.0.1 " + alias + "\n");
        const std::optional<std::string> value = query("/files/etc/hosts/1/canonical");
        if (!value || value->size() > size_t{1} << 20)
            _exit(11);
        const size_t note = value->rfind("\n[");
        if (note == std::string::npos || value->substr(0, note) != alias.substr(0, note))
            _exit(12);
        const std::string dropped = std::to_string(alias.size() - note);
        _exit(value->substr(note) == "\n[" + dropped + " bytes dropped]\n" ? 0 : 13);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "step that failed: exit code";
}

TEST_F(AugeasQuery, OtherSchemesYieldNothing) {
    EXPECT_EQ(query("/augeas/root", "puppet"), std::nullopt);
    EXPECT_EQ(query("/augeas/root", "augeasx"), std::nullopt);
    EXPECT_EQ(query("/augeas/root", nullptr), std::nullopt);
    EXPECT_EQ(query(nullptr, "augeas"), std::nullopt);
}
