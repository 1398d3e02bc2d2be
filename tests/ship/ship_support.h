// Shared by the ship tests: installing the build tree, finding processes by path or environment.
#pragma once

#include <filesystem>
#include <functional>
#include <iterator>
#include <sstream>

#include "netns.h"
#include "test_bus.h"

namespace korvex::test {

inline void install_tree(const std::string &prefix, const std::string &destdir = "") {
    ProcessOptions install = command({"cmake", "--install", KORVEX_BUILD_TREE, "--prefix", prefix});
    install.env = {"DESTDIR=" + destdir}; // empty: none
    run_checked(install);
}

// The stat line's fields from the state on (the name before may hold ')'); none once it is gone.
inline std::vector<std::string> stat_fields(pid_t pid) {
    const std::string text = read_file("/proc/" + std::to_string(pid) + "/stat");
    std::istringstream rest(text.substr(text.rfind(')') + 1));
    return {std::istream_iterator<std::string>(rest), std::istream_iterator<std::string>()};
}

// Clock ticks since boot at which it started (field 22, the state being 3); empty once gone.
inline std::string process_start_time(pid_t pid) {
    const std::vector<std::string> fields = stat_fields(pid);
    return fields.size() > 19 ? fields[19] : "";
}

inline bool process_alive(pid_t pid) {
    const std::vector<std::string> fields = stat_fields(pid);
    return !fields.empty() && fields[0] != "Z";
}

// Live processes (not zombies) that `match` accepts.
inline std::vector<pid_t> live_processes(const std::function<bool(pid_t)> &match) {
    std::vector<pid_t> found;
    for (const auto &entry : std::filesystem::directory_iterator("/proc"))
        if (const pid_t pid = std::atoi(entry.path().filename().c_str());
            pid > 0 && match(pid) && process_alive(pid))
            found.push_back(pid);
    return found;
}

inline std::vector<pid_t> processes_running(const std::string &program) {
    return live_processes([&](pid_t pid) {
        std::error_code error;
        const auto exe =
            std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", error);
        return !error && exe == program;
    });
}

inline std::vector<pid_t> processes_with_environment(const std::string &name_value) {
    return live_processes([&](pid_t pid) {
        const std::string entries = '\0' + read_file("/proc/" + std::to_string(pid) + "/environ");
        return entries.find('\0' + name_value + '\0') != std::string::npos;
    });
}

} // namespace korvex::test
