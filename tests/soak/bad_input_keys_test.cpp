// Keys of every kind of byte and keys shaped like paths or shell words: only
// a run under a valid key leaves a status file, and only in the keys
// directory. Bytes no D-Bus string carries: see bad_input_wire_test.cpp.
#include <gtest/gtest.h>

#include "isolated_sysconfig_agent.h"

using namespace korvex::test;

namespace {

// A key's status file carries the key's name, which must fit NAME_MAX.
constexpr size_t kLongestStorableKey = 255;

class BadInputKeys : public IsolatedAgentTest {
protected:
    void TearDown() override {
        EXPECT_TRUE(agent_.answering());
        EXPECT_TRUE(agent_.left_nothing_behind());
    }

    static std::string shown(const std::string &key) {
        return ::testing::PrintToString(key.substr(0, 40)) + " (" + std::to_string(key.size()) +
               " bytes)";
    }

    // Whether the agent takes the key, without a full augeas run: a valid
    // key gets as far as the download of a document that does not exist
    // (code 3), an invalid one is refused before (code 2). Neither leaves
    // a status file, and neither can be read back.
    bool accepted(const std::string &key) {
        Reply reply =
            agent_.call("run_uri", {Arg::s(missing_), Arg::u(0), Arg::s("augeas"), Arg::s(key)});
        EXPECT_FALSE(reply.ok) << shown(key) << " " << describe(reply);
        EXPECT_TRUE(reply.error_name == code_error(2) || reply.error_name == code_error(3))
            << shown(key) << " " << describe(reply);
        EXPECT_EQ(describe(agent_.call("is_configured", {Arg::s(key)})), "reply (s) \"\"")
            << shown(key);
        return reply.error_name == code_error(3);
    }

    // A real (empty) augeas run under the key: its status text, or the
    // error code when there is none.
    std::string run(const std::string &key) {
        Reply reply =
            agent_.call("run_string", {Arg::s(""), Arg::u(0), Arg::s("augeas"), Arg::s(key)});
        return reply.ok ? reply.str() : reply.error_name.substr(reply.error_name.size() - 5);
    }

    const std::string missing_ = "file://" + agent_.shared().file("missing.aug");
};

} // namespace

// Which bytes a key may hold is the library's rule, tried byte by byte in
// key_store_test.cpp; one key of each kind shows the agent applies it.
TEST_F(BadInputKeys, OnlyTheAllowedCharactersMakeAStatusFile) {
    for (const std::string key : {"a", "Z", "9", "_", "k.k"})
        EXPECT_TRUE(accepted(key)) << shown(key);
    for (const std::string key : {"k\x01k", "k\x7fk", "k\xc2\xa0k", "k\xf4\x80\x80\x80k", "="})
        EXPECT_FALSE(accepted(key)) << shown(key);
    EXPECT_TRUE(agent_.status_keys().empty()) << ::testing::PrintToString(agent_.status_keys());

    // Real runs, each a full augeas load: one key made of every allowed
    // character, and the one-character key a shell would like least.
    const std::string every_allowed =
        "k-0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ_abcdefghijklmnopqrstuvwxyz.k";
    EXPECT_EQ(run(every_allowed), "OK\n");
    EXPECT_EQ(run("-"), "OK\n");
    EXPECT_EQ(run("."), "Code2");
    EXPECT_EQ(agent_.status_keys(), (std::vector<std::string>{"-", every_allowed}));
    EXPECT_EQ(agent_.status_file(every_allowed), "OK\n");
    EXPECT_EQ(agent_.status_file("-"), "OK\n");
}

TEST_F(BadInputKeys, PathsShellWordsAndOverlongNamesStayOutOfTheFileSystem) {
    const std::vector<std::string> refused = {
        ".", "..", "../escape", "../../etc/passwd", "/etc/passwd", "a/b", "a/../b", "./a",
        ".hidden", "~root", "$(touch pwned)", "`id`", "a;b", "a b", "a\nb", "a\tb", "*", "?", "a*",
        "key%s%n", "\xc3\xa9t\xc3\xa9", "\xe2\x80\x8b",
        // A key names its status file: longer than a file name can be
        // is refused before anything runs.
        std::string(kLongestStorableKey + 1, 'e'), std::string(4096, 'e'),
        std::string(100 * 1024, 'f')};
    for (const std::string &key : refused)
        EXPECT_FALSE(accepted(key)) << shown(key);
    for (const std::string &key :
         {std::string("-rf"), std::string("--force"), std::string(kLongestStorableKey, 'd')})
        EXPECT_TRUE(accepted(key)) << shown(key);

    EXPECT_EQ(run("-rf"), "OK\n");
    EXPECT_EQ(run(std::string(kLongestStorableKey, 'a')), "OK\n");
    EXPECT_EQ(run(std::string(kLongestStorableKey + 1, 'b')), "Code2");
    EXPECT_EQ(agent_.status_keys(),
              (std::vector<std::string>{"-rf", std::string(kLongestStorableKey, 'a')}));
}
