// Fixtures shared by the libksysconfig tests: working and keys folders,
// captured log lines, recorded completions, full folders.
#pragma once

#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "http_server.h"
#include "loopback_ports.h"
#include "process.h"
#include "temp_dir.h"

namespace korvex::sysconfig::test {

using korvex::test::HttpServer;
using korvex::test::RefusingTcpPort;
using korvex::test::TempDir;
using korvex::test::write_file;

class WorkingDirectory {
public:
    explicit WorkingDirectory(const std::filesystem::path &dir);
    WorkingDirectory(const WorkingDirectory &) = delete;
    WorkingDirectory &operator=(const WorkingDirectory &) = delete;
    ~WorkingDirectory();

private:
    std::filesystem::path previous_;
};

// Points the library's keys directory at dir and back to the default
// afterwards.
class KeysDirectory {
public:
    explicit KeysDirectory(const std::string &dir);
    KeysDirectory(const KeysDirectory &) = delete;
    KeysDirectory &operator=(const KeysDirectory &) = delete;
    ~KeysDirectory();
};

class UmaskOverride {
public:
    explicit UmaskOverride(unsigned mask);
    UmaskOverride(const UmaskOverride &) = delete;
    UmaskOverride &operator=(const UmaskOverride &) = delete;
    ~UmaskOverride();

private:
    unsigned previous_;
};

// Moves this process into a mount namespace of its own with a new tmpfs
// on each of dirs; false, with errno set, at the first step that fails.
bool private_tmpfs(std::initializer_list<const char *> dirs, const char *options = "mode=0755");

// A small tmpfs mounted at dir (created here) and filled up, in a private
// mount namespace of this test process: creating an empty file there
// works, writing data fails with ENOSPC. Unmounted afterwards.
class FullFolder {
public:
    explicit FullFolder(const std::filesystem::path &dir);
    FullFolder(const FullFolder &) = delete;
    FullFolder &operator=(const FullFolder &) = delete;
    ~FullFolder();

    const std::filesystem::path &path() const noexcept { return path_; }

private:
    std::filesystem::path path_;
};

// Permission bits of a file or folder, as "600".
std::string mode_of(const std::filesystem::path &path);

struct LogLine {
    int level;
    std::string text;
};

// Collects every log line written while it exists, at every level.
class LogCapture {
public:
    LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;
    ~LogCapture();

    const std::vector<LogLine> &lines() const noexcept { return lines_; }
    bool has(int level, std::string_view text) const;
    std::vector<LogLine> starting_with(std::string_view prefix) const;
    std::string dump() const;
    void clear() { lines_.clear(); }

private:
    static void handle(int level, const char *message, void *self);

    std::vector<LogLine> lines_;
    int previous_level_;
};

// Completion callback target: remembers every result it was called with.
struct Completions {
    std::vector<int32_t> results;
    static void record(void *self, int32_t result);
};

using korvex::test::ScopedEnv;

// A text the library handed over (released with free()), as a string.
std::optional<std::string> take_text(char *text);
// The key's status text as the library reads it back.
std::optional<std::string> stored_status(const char *key);

std::optional<std::string> read_file(const std::filesystem::path &path);
// Sorted names of the entries in dir that start with prefix.
std::vector<std::string> entries_with_prefix(const std::filesystem::path &dir,
                                             std::string_view prefix);

} // namespace korvex::sysconfig::test
