// Run requests: key check, skip of configured keys, choice of the runner. A search path without
// puppet makes any attempt to run puppet visible (result 4) without running a tool.
#include "sysconfig_test_support.h"

using namespace korvex::sysconfig::test;

class Dispatch : public ::testing::Test {
protected:
    uint32_t run_string(const char *text, uint32_t flags, const char *scheme, const char *key) {
        return kx_sysconfig_run_string(text, flags, scheme, key, &Completions::record, &done);
    }
    uint32_t run_uri(const char *uri, uint32_t flags, const char *scheme, const char *key) {
        return kx_sysconfig_run_uri(uri, flags, scheme, key, &Completions::record, &done);
    }

    bool tried_puppet() const { return !log.starting_with("check_puppet:").empty(); }

    TempDir keys_dir{"dispatch-keys"};
    TempDir work{"dispatch-work"};
    TempDir no_tools{"dispatch-path"};
    KeysDirectory keys{keys_dir.path() + "/"};
    WorkingDirectory cwd{work.path()};
    ScopedEnv path{"PATH", no_tools.path()};
    LogCapture log;
    Completions done;
};

TEST_F(Dispatch, ConfiguredKeysAreSkippedUnlessForced) {
    for (const char *stored : {"FAILED\n1", "ERROR", "", "OK\nSaved 1 file(s)\n"}) {
        SCOPED_TRACE(stored);
        ASSERT_EQ(kx_sysconfig_set_configured("k", stored), 0u);
        for (uint32_t flags : {0u, 2u}) {
            done.results.clear();
            EXPECT_EQ(run_string("notify {}", flags, "puppet", "k"), 0u);
            EXPECT_EQ(run_uri("http://127.0.0.1:1/x", flags, "puppet", "k"), 0u);
            // The scheme is not even looked at.
            EXPECT_EQ(run_string("x", flags, "chef", "k"), 0u);
            EXPECT_EQ(done.results, (std::vector<int32_t>{0, 0, 0}));
        }
        EXPECT_FALSE(tried_puppet()) << log.dump();
        EXPECT_EQ(read_file(keys_dir.file("k")), stored);

        done.results.clear();
        EXPECT_EQ(run_string("notify {}", 3, "puppet", "k"), 4u);
        EXPECT_TRUE(tried_puppet());
        EXPECT_TRUE(done.results.empty());
        log.clear();
    }
}

TEST_F(Dispatch, SchemesAreMatchedWithoutRegardToCase) {
    EXPECT_EQ(run_string("notify {}", 0, "PUPPET", "p"), 4u);
    EXPECT_TRUE(tried_puppet()) << log.dump();

    EXPECT_EQ(run_string("", 0, "Augeas", "a"), 0u);
    EXPECT_EQ(done.results, std::vector<int32_t>{0});
    EXPECT_EQ(stored_status("a"), "OK\n");
}

TEST_F(Dispatch, UnknownSchemeIsRefusedQuietly) {
    for (const char *scheme : {"chef", "", "puppetx", static_cast<const char *>(nullptr)}) {
        SCOPED_TRACE(scheme != nullptr ? scheme : "(null)");
        EXPECT_EQ(run_string("x", 0, scheme, "k"), 2u);
        EXPECT_EQ(run_uri("file:///dev/null", 1, scheme, "k"), 2u);
    }
    EXPECT_TRUE(done.results.empty());
    EXPECT_TRUE(log.lines().empty()) << log.dump();
    EXPECT_EQ(stored_status(), std::nullopt);
}

TEST_F(Dispatch, InvalidKeyIsRefusedBeforeTheScheme) {
    for (const char *scheme : {"chef", "puppet", "augeas"}) {
        SCOPED_TRACE(scheme);
        EXPECT_EQ(run_string("x", 1, scheme, "../k"), 2u);
        EXPECT_EQ(run_uri("file:///dev/null", 1, scheme, ""), 2u);
    }
    EXPECT_TRUE(done.results.empty());
    EXPECT_FALSE(tried_puppet());
    EXPECT_EQ(log.starting_with("check_key_sanity: Invalid key filename ../k").size(), 3u)
        << log.dump();
    EXPECT_EQ(log.starting_with("check_key_sanity: key cannot be empty").size(), 3u) << log.dump();
    EXPECT_TRUE(fs::is_empty(keys_dir.path()));
}
