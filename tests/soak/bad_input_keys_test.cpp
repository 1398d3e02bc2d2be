// Keys made of every byte value a D-Bus string can carry, alone and inside
// a longer key, and keys shaped like paths or shell words: only letters,
// digits, '_', '-' and '.' (not first) are taken, only a run under such a
// key leaves a status file, and only in the keys directory. The bytes a D-Bus string cannot carry
// at all (C0, C1, F5 to FF) are refused by the bus; see bad_input_wire_test.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <set>

#include "isolated_sysconfig_agent.h"
#include "request_plan.h"

using namespace korvex::test;

namespace {

// A key's status file carries the key's name, which must fit NAME_MAX.
constexpr size_t kLongestStorableKey = 255;

bool allowed_key(const std::string &key) {
    static const std::string allowed =
        "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ_-.";
    return !key.empty() && key.front() != '.' &&
           key.find_first_not_of(allowed) == std::string::npos;
}

// The shortest valid UTF-8 text that holds `byte`, for bytes from 0x80 on;
// empty for the bytes no valid UTF-8 holds.
std::string utf8_holding(unsigned char byte) {
    const std::string b(1, static_cast<char>(byte));
    if (byte <= 0xbf)
        return "\xc2" + b; // as a continuation byte
    if (byte >= 0xc2 && byte <= 0xdf)
        return b + "\x80";
    if (byte == 0xe0)
        return "\xe0\xa0\x80";
    if (byte >= 0xe1 && byte <= 0xef)
        return b + "\x80\x80";
    if (byte == 0xf0)
        return "\xf0\x90\x80\x80";
    if (byte >= 0xf1 && byte <= 0xf4)
        return b + "\x80\x80\x80";
    return {};
}

class BadInputKeys : public ::testing::Test {
protected:
    void SetUp() override {
        agent_ = std::make_unique<IsolatedSysconfigAgent>();
        missing_ = "file://" + agent_->shared().file("missing.aug");
    }

    void TearDown() override {
        EXPECT_TRUE(agent_->answering());
        EXPECT_TRUE(agent_->left_nothing_behind());
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
            agent_->call("run_uri", {Arg::s(missing_), Arg::u(0), Arg::s("augeas"), Arg::s(key)});
        EXPECT_FALSE(reply.ok) << shown(key) << " " << describe(reply);
        EXPECT_TRUE(reply.error_name == code_error(2) || reply.error_name == code_error(3))
            << shown(key) << " " << describe(reply);
        EXPECT_EQ(describe(agent_->call("is_configured", {Arg::s(key)})), "reply (s) \"\"")
            << shown(key);
        return reply.error_name == code_error(3);
    }

    // A real (empty) augeas run under the key: its status text, or the
    // error code when there is none.
    std::string run(const std::string &key) {
        Reply reply =
            agent_->call("run_string", {Arg::s(""), Arg::u(0), Arg::s("augeas"), Arg::s(key)});
        return reply.ok ? reply.str() : reply.error_name.substr(reply.error_name.size() - 5);
    }

    std::unique_ptr<IsolatedSysconfigAgent> agent_;
    std::string missing_;
};

} // namespace

TEST_F(BadInputKeys, OnlyTheAllowedCharactersMakeAStatusFile) {
    // Every byte alone and inside a key.
    std::vector<std::string> keys;
    for (int byte = 1; byte < 256; ++byte) {
        const std::string text =
            byte < 0x80 ? std::string(1, static_cast<char>(byte)) : utf8_holding(byte);
        if (text.empty())
            continue;
        keys.push_back(text);
        keys.push_back("k" + text + "k");
    }
    std::set<std::string> taken;
    for (const std::string &key : keys) {
        const bool expected = allowed_key(key);
        EXPECT_EQ(accepted(key), expected) << shown(key);
        if (expected)
            taken.insert(key);
    }
    // 64 characters alone (all but the dot), 65 inside a key.
    EXPECT_EQ(taken.size(), 129u);
    EXPECT_TRUE(agent_->status_keys().empty()) << ::testing::PrintToString(agent_->status_keys());

    // Real runs, each a full augeas load: one key made of every allowed
    // character, and the one-character key a shell would like least.
    std::string every_allowed = "k";
    for (const std::string &key : taken)
        if (key.size() == 1)
            every_allowed += key;
    every_allowed += ".k";
    EXPECT_EQ(every_allowed.size(), 67u);
    EXPECT_EQ(run(every_allowed), "OK\n");
    EXPECT_EQ(run("-"), "OK\n");
    EXPECT_EQ(run("."), "Code2");
    const std::vector<std::string> files = agent_->status_keys();
    EXPECT_EQ(std::set<std::string>(files.begin(), files.end()),
              (std::set<std::string>{every_allowed, "-"}));
    EXPECT_EQ(agent_->status_file(every_allowed), "OK\n");
    EXPECT_EQ(agent_->status_file("-"), "OK\n");
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
    const std::vector<std::string> files = agent_->status_keys();
    EXPECT_EQ(std::set<std::string>(files.begin(), files.end()),
              (std::set<std::string>{"-rf", std::string(kLongestStorableKey, 'a')}));
}
