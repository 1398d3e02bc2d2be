// Key validation and the status files of the keys directory.
#include <sys/wait.h>
#include <unistd.h>

#include <set>
#include <thread>

#include "sysconfig_test_support.h"

using namespace korvex::sysconfig::test;

static bool allowed_key(const std::string &key) {
    static const std::string allowed =
        "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ_-.";
    return !key.empty() && key.front() != '.' &&
           key.find_first_not_of(allowed) == std::string::npos;
}

// The shortest valid UTF-8 text that holds `byte`; empty for the bytes no valid UTF-8 holds.
// Longer encodings belong to higher code points.
static std::string utf8_holding(unsigned char byte) {
    char text[6];
    for (gunichar c = 1; c <= 0x10ffff; ++c) {
        const std::string_view encoded(text, g_unichar_to_utf8(c, text));
        if (encoded.find(static_cast<char>(byte)) != std::string_view::npos)
            return std::string{encoded};
    }
    return {};
}

class KeyStore : public ::testing::Test {
protected:
    TempDir dir{"keys"};
    KeysDirectory keys{dir.path() + "/"};
    LogCapture log;
};

TEST_F(KeyStore, AcceptsKeysMadeOfTheAllowedCharacters) {
    for (const char *key : {"post-boot_v1.2", "a..b", "Z9", "trailing."}) {
        EXPECT_EQ(check_key_sanity(key), 0) << key;
        EXPECT_EQ(kx_sysconfig_set_configured(key, "OK"), 0u) << key;
        EXPECT_EQ(read_file(dir.file(key)), "OK") << key;
    }
    EXPECT_TRUE(log.starting_with("check_key_sanity").empty()) << log.dump();

    // Every byte alone and inside a key (from 0x80 on in its shortest UTF-8, as D-Bus needs).
    std::set<std::string> taken;
    for (int byte = 1; byte < 256; ++byte) {
        const std::string text = utf8_holding(byte);
        for (const std::string &key : {text, "k" + text + "k"}) {
            if (text.empty())
                continue;
            const bool expected = allowed_key(key);
            EXPECT_EQ(check_key_sanity(key.c_str()) == 0, expected)
                << ::testing::PrintToString(key);
            if (expected)
                taken.insert(key);
        }
    }
    // 64 characters alone (all but the dot), 65 inside a key.
    EXPECT_EQ(taken.size(), 129u);
    std::string every_allowed = "k";
    for (const std::string &key : taken)
        if (key.size() == 1)
            every_allowed += key;
    every_allowed += ".k";
    EXPECT_EQ(every_allowed, "k-0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ_abcdefghijklmnopqrstuvwxyz.k");
    EXPECT_EQ(every_allowed.size(), 67u);
    EXPECT_EQ(check_key_sanity(every_allowed.c_str()), 0);
}

TEST_F(KeyStore, RefusesInvalidKeysWithTheReasonLogged) {
    const std::string invalid = "check_key_sanity: Invalid key filename ";
    const std::string rule = "a key holds only letters A-Z and a-z, digits 0-9, \"_\", \"-\" and "
                             "\".\", and does not start with \".\"";
    const std::pair<const char *, std::string> cases[] = {
        {nullptr, "check_key_sanity: key cannot be empty"},
        {"", "check_key_sanity: key cannot be empty"},
        {".profile", invalid + ".profile: invalid key \".profile\": " + rule},
        {".", invalid + ".: invalid key \".\": " + rule},
        {"..", invalid + "..: invalid key \"..\": " + rule},
        {"etc/hosts",
         invalid + "etc!hosts: invalid key \"etc/hosts\": \"/\" is not allowed; " + rule},
        {"../../etc/passwd",
         invalid + "../../etc/passwd: invalid key \"../../etc/passwd\": " + rule},
        {"sub/../../x",
         invalid + "sub!..!..!x: invalid key \"sub/../../x\": \"/\" is not allowed; " + rule},
        {"bang!key", invalid + "bang!key: invalid key \"bang!key\": \"!\" is not allowed; " + rule},
        {"tab\tkey",
         invalid + "tab!key: invalid key \"tab\\x09key\": \"\\x09\" is not allowed; " + rule},
        {"a b/c d",
         invalid + "a!b!c!d: invalid key \"a b/c d\": \" \" and \"/\" are not allowed; " + rule},
    };
    for (const auto &[key, message] : cases) {
        SCOPED_TRACE(key != nullptr ? key : "(null)");
        const size_t before = log.lines().size();
        EXPECT_EQ(check_key_sanity(key), -1);
        EXPECT_EQ(kx_sysconfig_set_configured(key, "OK"), 2u);
        EXPECT_EQ(stored_status(key), std::nullopt);
        ASSERT_EQ(log.lines().size(), before + 3) << log.dump();
        for (size_t i = before; i < log.lines().size(); ++i) {
            EXPECT_EQ(log.lines()[i].level, KX_LOG_ERR);
            EXPECT_EQ(log.lines()[i].text, message);
        }
    }
    EXPECT_TRUE(fs::is_empty(dir.path()));
}

// A key names its status file: one longer than a file name is refused before anything runs, not
// left unrecorded after its document applied. Nor may a slash far beyond the examined part pass.
TEST_F(KeyStore, RefusesKeysLongerThanAFileName) {
    EXPECT_EQ(check_key_sanity(std::string(255, 'k').c_str()), 0);
    const std::string too_long(256, 'k');
    EXPECT_EQ(check_key_sanity(too_long.c_str()), -1);
    EXPECT_TRUE(log.has(KX_LOG_ERR, "check_key_sanity: Invalid key filename " + too_long +
                                        " (longer than 255 characters)"))
        << log.dump();
    EXPECT_EQ(kx_sysconfig_set_configured(too_long.c_str(), "OK"), 2u);
    const std::string slash_beyond = std::string(4095, 'k') + "/x";
    EXPECT_EQ(check_key_sanity(slash_beyond.c_str()), -1);
    EXPECT_EQ(kx_sysconfig_set_configured(slash_beyond.c_str(), "OK"), 2u);
    EXPECT_TRUE(fs::is_empty(dir.path()));
}

TEST_F(KeyStore, ReadsBackExactlyWhatWasStored) {
    EXPECT_EQ(stored_status("never-set"), std::nullopt);

    const std::string texts[] = {"OK\nx", "FAILED\n-1\nfirst line\nsecond line\n", "", "ERROR",
                                 std::string(10000, 'y')};
    for (const std::string &text : texts) {
        ASSERT_EQ(kx_sysconfig_set_configured("k1", text.c_str()), 0u);
        EXPECT_EQ(read_file(dir.file("k1")), text);
        EXPECT_EQ(stored_status("k1"), text);
    }
    // An empty status file still counts as a status.
    ASSERT_EQ(kx_sysconfig_set_configured("k2", ""), 0u);
    EXPECT_EQ(stored_status("k2"), std::string{});
    // Whole-file replacement leaves no side files behind.
    EXPECT_EQ(entries_with_prefix(dir.path(), ""), (std::vector<std::string>{"k1", "k2"}));
}

// A key is stored under its own name, so any name up to the filesystem's 255-byte limit must be
// storable, and replacing the file must not need a longer name of its own.
TEST_F(KeyStore, StoresKeysUpToTheLongestFileName) {
    for (const size_t length : {248u, 249u, 254u, 255u}) {
        const std::string key(length, 'n');
        SCOPED_TRACE(length);
        ASSERT_EQ(kx_sysconfig_set_configured(key.c_str(), "OK\nfirst"), 0u) << log.dump();
        ASSERT_EQ(kx_sysconfig_set_configured(key.c_str(), "OK\nsecond"), 0u) << log.dump();
        EXPECT_EQ(stored_status(key.c_str()), "OK\nsecond");
    }
    EXPECT_EQ(entries_with_prefix(dir.path(), "").size(), 4u) << "a side file was left behind";
}

// An older version's status may be of any length; it is read back cut, as a run cuts output.
TEST_F(KeyStore, LongStoredStatusIsCutWhenRead) {
    std::string long_status = "OK\n";
    for (int line = 0; line < 100000; ++line)
        long_status += "/files/etc/hosts/" + std::to_string(line) + " = \"x\"\n";
    write_file(dir.file("old"), long_status);

    const std::string read = stored_status("old").value_or("");
    ASSERT_LE(read.size(), size_t{1} << 20);
    const size_t note = read.rfind("\n[");
    ASSERT_NE(note, std::string::npos);
    EXPECT_EQ(read.substr(note),
              "\n[" + std::to_string(long_status.size() - note) + " bytes dropped]\n");
    EXPECT_EQ(read.substr(0, note), long_status.substr(0, note));
    EXPECT_EQ(read_file(dir.file("old")), long_status) << "the file itself stays as it was";

    // Stored again, the cut text is within the bound and reads back whole.
    ASSERT_EQ(kx_sysconfig_set_configured("again", read.c_str()), 0u);
    EXPECT_EQ(stored_status("again"), read);
}

// Status texts may quote any file a tool read: no umask may make them readable by others.
TEST_F(KeyStore, KeysDirectoryAndStatusFilesArePrivateWhateverTheUmask) {
    UmaskOverride open_mask{0};
    KeysDirectory fresh{dir.path() + "/fresh/"};
    ASSERT_EQ(kx_sysconfig_set_configured("k", "OK"), 0u);
    EXPECT_EQ(mode_of(dir.file("fresh")), "700");
    EXPECT_EQ(mode_of(dir.file("fresh/k")), "600");
}

// What a killed process left: its own temporary files go, nothing else, and no link is followed.
TEST_F(KeyStore, LeftoversOfAnEarlierProcessAreRemoved) {
    TempDir work{"leftovers-work"};
    WorkingDirectory cwd{work.path()};
    TempDir elsewhere{"leftovers-target"};
    write_file(elsewhere.file("target"), "keep");
    for (const char *name : {"augeas_conf_a1B2c3", "puppet_conf_Zx9y8W", "puppet_conf_4021937455"})
        write_file(work.file(name), "document");
    write_file(dir.file(".set-key-Q1w2E3"), "OK");
    for (const char *name : {"augeas_conf_", "augeas_conf_much_too_long", "notes"})
        write_file(work.file(name), "x");
    fs::create_directory(work.file("augeas_conf_dir1"));
    fs::create_symlink(elsewhere.file("target"), work.file("puppet_conf_link"));
    fs::create_symlink(elsewhere.file("target"), dir.file(".set-key-link01"));
    ASSERT_EQ(kx_sysconfig_set_configured("k", "OK"), 0u);

    EXPECT_EQ(kx_sysconfig_remove_leftovers(), 4u);

    EXPECT_EQ(entries_with_prefix(work.path(), ""),
              (std::vector<std::string>{"augeas_conf_", "augeas_conf_dir1",
                                        "augeas_conf_much_too_long", "notes", "puppet_conf_link"}));
    EXPECT_EQ(entries_with_prefix(dir.path(), ""),
              (std::vector<std::string>{".set-key-link01", "k"}));
    EXPECT_EQ(read_file(elsewhere.file("target")), "keep");
    EXPECT_EQ(log.starting_with("remove_leftovers: Removed ").size(), 4u) << log.dump();
}

TEST_F(KeyStore, CreatesAMissingKeysDirectoryOneLevelDeep) {
    const std::string keys_dir = dir.path() + "/fresh/";
    KeysDirectory fresh{keys_dir};

    EXPECT_EQ(stored_status("k"), std::nullopt);
    EXPECT_FALSE(fs::exists(keys_dir)) << "reading must not create the directory";

    ASSERT_EQ(kx_sysconfig_set_configured("k", "OK"), 0u);
    EXPECT_TRUE(fs::is_directory(keys_dir));
    EXPECT_EQ(stored_status("k"), "OK");

    // First writes racing each other into a missing folder all succeed.
    for (int round = 0; round < 25; ++round) {
        KeysDirectory raced{dir.path() + "/raced-" + std::to_string(round) + "/"};
        std::vector<uint32_t> results(16, 99);
        std::vector<std::thread> writers;
        for (size_t i = 0; i < results.size(); ++i)
            writers.emplace_back([&results, i] {
                results[i] = kx_sysconfig_set_configured(("k" + std::to_string(i)).c_str(), "OK");
            });
        for (std::thread &writer : writers)
            writer.join();
        EXPECT_EQ(results, std::vector<uint32_t>(16, 0u)) << "round " << round << log.dump();
    }
}

TEST_F(KeyStore, FailsWhenTheParentOfTheKeysDirectoryIsMissing) {
    const std::string keys_dir = dir.path() + "/missing/keys/";
    KeysDirectory nested{keys_dir};

    EXPECT_EQ(kx_sysconfig_set_configured("k", "OK"), 6u);
    EXPECT_TRUE(log.has(KX_LOG_ERR, "set_key: Could not create keys directory " + keys_dir))
        << log.dump();
    EXPECT_FALSE(fs::exists(dir.file("missing")));
}

TEST_F(KeyStore, FailsWhenTheStatusFileCannotBeWritten) {
    // A directory where the status file belongs cannot be replaced by it.
    fs::create_directory(dir.file("taken"));
    EXPECT_EQ(kx_sysconfig_set_configured("taken", "OK"), 6u);
    EXPECT_TRUE(log.has(KX_LOG_ERR, "set_key: Could not set file " + dir.path() + "/" + "taken"))
        << log.dump();
}

TEST_F(KeyStore, NeverWritesUnderACutPath) {
    // "./" steps keep the directory while the text, with the key, outgrows the path buffer.
    std::string long_dir = dir.path() + "/";
    while (long_dir.size() < 4000)
        long_dir += "./";
    KeysDirectory padded{long_dir};
    const std::string key(200, 'q');

    EXPECT_EQ(kx_sysconfig_set_configured(key.c_str(), "OK"), 6u);
    EXPECT_EQ(stored_status(key.c_str()), std::nullopt);
    EXPECT_TRUE(fs::is_empty(dir.path())) << "a cut path named some other file";
}

TEST_F(KeyStore, DirectoryWithoutTrailingSlashIsAPrefix) {
    KeysDirectory prefix{dir.path() + "/keys"};
    ASSERT_EQ(kx_sysconfig_set_configured("k", "OK\nx"), 0u);
    EXPECT_EQ(read_file(dir.path() + "/keysk"), "OK\nx");
    EXPECT_EQ(stored_status("k"), "OK\nx");
}

// The default lives under /var/lib: the child gets a private, empty /var/lib of its own.
TEST(KeyStoreDefault, EmptyDirectoryTextMeansTheDefaultAgain) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (!private_tmpfs({"/var/lib"}))
            _exit(10);
        if (mkdir("/var/lib/korvex", 0755) != 0)
            _exit(13);
        kx_sysconfig_keys_dir_set("/var/lib/korvex/elsewhere/");
        if (kx_sysconfig_set_configured("k", "elsewhere") != 0)
            _exit(14);
        kx_sysconfig_keys_dir_set("");
        if (kx_sysconfig_set_configured("k", "default") != 0)
            _exit(15);
        if (read_file("/var/lib/korvex/sysconfig-keys/k") != "default")
            _exit(16);
        _exit(stored_status("k") == "default" ? 0 : 17);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "step that failed: exit code";
}
