// Keys made of every byte value a D-Bus string can carry, alone and inside
// a longer key, and keys shaped like paths or shell words: only letters,
// digits, '_', '-' and '.' (not first) get a status file, and only in the
// keys directory. The bytes a D-Bus string cannot carry at all (C0, C1,
// F5 to FF) are refused by the bus; see bad_input_wire_test.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <set>

#include "isolated_sysconfig_agent.h"
#include "request_plan.h"

using namespace korvex::test;

namespace {

// The status file is written under a temporary name, the key and seven
// more characters, which must fit NAME_MAX (255).
constexpr size_t kLongestStorableKey = 248;

bool allowed_key(const std::string &key)
{
    static const std::string allowed =
        "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ_-.";
    return !key.empty() && key.front() != '.' &&
           key.find_first_not_of(allowed) == std::string::npos;
}

// The shortest valid UTF-8 text that holds `byte`, for bytes from 0x80 on;
// empty for the bytes no valid UTF-8 holds.
std::string utf8_holding(unsigned char byte)
{
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
    void SetUp() override { agent_ = std::make_unique<IsolatedSysconfigAgent>(); }

    // Runs an empty augeas script under each key; returns the keys that
    // the agent accepted. Refused keys must get code 2 (invalid key), or
    // code 6 for a valid key whose status file the file system refuses.
    std::set<std::string> run_each(const std::vector<std::string> &keys)
    {
        std::set<std::string> accepted;
        for (const std::string &key : keys) {
            Reply reply = agent_->call(
                "run_string", {Arg::s(""), Arg::u(0), Arg::s("augeas"), Arg::s(key)});
            const std::string shown = ::testing::PrintToString(key.substr(0, 40)) + " (" +
                                      std::to_string(key.size()) + " bytes)";
            if (reply.ok) {
                EXPECT_EQ(reply.str(), "OK\n") << shown;
                accepted.insert(key);
            } else {
                const bool storable = key.size() <= kLongestStorableKey;
                const int code = allowed_key(key) && !storable && key.size() < 4096 ? 6 : 2;
                EXPECT_EQ(reply.error_name, code_error(code)) << shown << " " << describe(reply);
            }
            // Reading a refused key back is no way around the check either.
            Reply status = agent_->call("is_configured", {Arg::s(key)});
            EXPECT_EQ(describe(status), reply.ok ? "reply (s) \"OK\n\"" : "reply (s) \"\"")
                << shown;
        }
        return accepted;
    }

    std::unique_ptr<IsolatedSysconfigAgent> agent_;
};

} // namespace

TEST_F(BadInputKeys, OnlyTheAllowedCharactersMakeAStatusFile)
{
    // Every byte alone, and every byte that is refused alone also inside a
    // key; the allowed ones inside a key are all in one key, since each
    // accepted key costs a full augeas run.
    std::vector<std::string> keys;
    std::string all_allowed_inside = "k";
    for (int byte = 1; byte < 256; ++byte) {
        const std::string text =
            byte < 0x80 ? std::string(1, static_cast<char>(byte)) : utf8_holding(byte);
        if (text.empty())
            continue;
        keys.push_back(text);
        if (allowed_key("k" + text + "k"))
            all_allowed_inside += text;
        else
            keys.push_back("k" + text + "k");
    }
    all_allowed_inside += "k";
    keys.push_back(all_allowed_inside);
    const std::set<std::string> accepted = run_each(keys);

    std::set<std::string> expected;
    for (const std::string &key : keys)
        if (allowed_key(key))
            expected.insert(key);
    // 64 single characters (all but the dot) and the key holding all 65.
    EXPECT_EQ(expected.size(), 65u);
    EXPECT_EQ(all_allowed_inside.size(), 67u);
    EXPECT_EQ(accepted, expected);
    const std::vector<std::string> files = agent_->status_keys();
    EXPECT_EQ(std::set<std::string>(files.begin(), files.end()), expected);
    for (const std::string &key : expected)
        EXPECT_EQ(agent_->status_file(key), "OK\n") << key;

    EXPECT_TRUE(agent_->answering());
    EXPECT_TRUE(agent_->working_directory_entries().empty());
    EXPECT_TRUE(agent_->writes_elsewhere().empty())
        << ::testing::PrintToString(agent_->writes_elsewhere());
}

TEST_F(BadInputKeys, PathsShellWordsAndOverlongNamesStayOutOfTheFileSystem)
{
    const std::vector<std::string> keys = {
        ".", "..", "../escape", "../../etc/passwd", "/etc/passwd", "a/b", "a/../b", "./a",
        ".hidden", "~root", "$(touch pwned)", "`id`", "a;b", "a b", "a\nb", "a\tb", "-rf",
        "--force", "*", "?", "a*", "key%s%n", "\xc3\xa9t\xc3\xa9", "\xe2\x80\x8b",
        // Longer keys pass the character check but no status file can
        // carry them; beyond 4095 characters they are refused outright.
        std::string(kLongestStorableKey, 'a'), std::string(kLongestStorableKey + 1, 'b'),
        std::string(256, 'c'), std::string(4095, 'd'), std::string(4096, 'e'),
        std::string(100 * 1024, 'f')};
    const std::set<std::string> accepted = run_each(keys);
    EXPECT_EQ(accepted,
              (std::set<std::string>{"-rf", "--force", std::string(kLongestStorableKey, 'a')}));
    const std::vector<std::string> files = agent_->status_keys();
    EXPECT_EQ(std::set<std::string>(files.begin(), files.end()), accepted);

    EXPECT_TRUE(agent_->answering());
    EXPECT_TRUE(agent_->working_directory_entries().empty())
        << ::testing::PrintToString(agent_->working_directory_entries());
    EXPECT_TRUE(agent_->writes_elsewhere().empty())
        << ::testing::PrintToString(agent_->writes_elsewhere());
}
