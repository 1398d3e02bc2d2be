// Shared by the libksysconfig tests: folders, captured log lines, completions, full folders.
#pragma once

#include <glib.h>
#include <sys/stat.h>

#include <cstdint>
#include <chrono>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include <korvex/kcommon.h>
#include <korvex/sysconfig.h>

#include "http_server.h"
#include "loopback_ports.h"
#include "process.h"
#include "sysconfig_internal.h"
#include "temp_dir.h"

namespace korvex::sysconfig::test {

using korvex::test::HttpServer;
using korvex::test::RefusingTcpPort;
using korvex::test::ScopedEnv;
using korvex::test::TempDir;
using korvex::test::write_file;

namespace fs = std::filesystem;

struct WorkingDirectory {
    explicit WorkingDirectory(const fs::path &dir) { fs::current_path(dir); }
    ~WorkingDirectory() { fs::current_path(previous, ignored); }
    fs::path previous = fs::current_path();
    std::error_code ignored;
};

// Points the library's keys directory at dir, and back to the default after.
struct KeysDirectory {
    explicit KeysDirectory(const std::string &dir) { kx_sysconfig_keys_dir_set(dir.c_str()); }
    ~KeysDirectory() { kx_sysconfig_keys_dir_set(""); }
};

struct UmaskOverride {
    explicit UmaskOverride(mode_t mask) : previous{umask(mask)} {}
    ~UmaskOverride() { umask(previous); }
    mode_t previous;
};

// Moves this process into a new mount namespace with a tmpfs on each of dirs; false on failure.
bool private_tmpfs(std::initializer_list<const char *> dirs, const char *options = "mode=0755");

// A small tmpfs at dir (created here), filled up, in a private mount namespace of this process:
// creating an empty file there works, writing data fails with ENOSPC. Unmounted afterwards.
struct FullFolder {
    explicit FullFolder(const fs::path &dir);
    FullFolder(const FullFolder &) = delete;
    ~FullFolder();
    const fs::path path;
};

// Permission bits of a file or folder, as "600".
std::string mode_of(const fs::path &path);

struct LogLine {
    int level;
    std::string text;
};

// Collects every log line written while it exists, at every level.
class LogCapture {
public:
    LogCapture();
    LogCapture(const LogCapture &) = delete; // the library's log handler points at this one
    ~LogCapture();

    const std::vector<LogLine> &lines() const noexcept { return lines_; }
    bool has(int level, std::string_view text) const;
    std::vector<LogLine> starting_with(std::string_view prefix) const;
    std::string dump() const;
    void clear() { lines_.clear(); }

private:
    std::vector<LogLine> lines_;
    int previous_level_;
};

struct Completions {
    std::vector<int32_t> results;
    static void record(void *self, int32_t result) {
        static_cast<Completions *>(self)->results.push_back(result);
    }
};

// A text the library handed over (released with free()), as a string.
std::optional<std::string> take_text(char *text);
std::optional<std::string> stored_status(const char *key = "k");

std::optional<std::string> read_file(const fs::path &path);
// Sorted names of the entries in dir that start with prefix.
std::vector<std::string> entries_with_prefix(const fs::path &dir, std::string_view prefix);

// Completions of several runs, in the order they arrive; each run gets its own Slot as user data.
class CompletionLog {
public:
    struct Slot {
        CompletionLog *log;
        std::string name;
        std::vector<int32_t> results;
    };

    // Child exits are watched on the context this loop runs.
    CompletionLog() { mainloop_track_children(0); }

    Slot &slot(std::string name);
    static void record(void *slot, int32_t result);
    void run_until(size_t completions);

    const std::vector<std::string> &order() const noexcept { return order_; }
    // Called after each completion, before the loop may stop.
    std::function<void(const std::string &name)> on_completion;

private:
    std::unique_ptr<GMainLoop, decltype(&g_main_loop_unref)> loop_{g_main_loop_new(nullptr, FALSE),
                                                                   g_main_loop_unref};
    std::vector<std::unique_ptr<Slot>> slots_;
    std::vector<std::string> order_;
    size_t expected_ = 0;
};

} // namespace korvex::sysconfig::test
