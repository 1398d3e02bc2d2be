#include "ship_support.h"

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <unistd.h>

#include "temp_dir.h"

#ifndef KORVEX_BUILD_TREE
#error "KORVEX_BUILD_TREE must name the build folder"
#endif

namespace fs = std::filesystem;

namespace korvex::test {

std::string build_tree() { return KORVEX_BUILD_TREE; }

void install_tree(const std::string &prefix, const std::string &destdir) {
    ProcessOptions install;
    install.argv = {"cmake", "--install", build_tree(), "--prefix", prefix};
    if (destdir.empty())
        install.unset = {"DESTDIR"};
    else
        install.env = {"DESTDIR=" + destdir};
    run_checked(install);
}

namespace {

// The fields of the process's stat line from its state on: the name
// before them may hold spaces and parentheses, so they start after the
// last ')'. Empty when the process is gone.
std::vector<std::string> stat_fields(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');
    std::vector<std::string> fields;
    if (close == std::string::npos)
        return fields;
    std::istringstream rest(text.substr(close + 1));
    for (std::string field; rest >> field;)
        fields.push_back(field);
    return fields;
}

bool is_zombie(pid_t pid) {
    const std::vector<std::string> fields = stat_fields(pid);
    return fields.empty() || fields[0] == "Z";
}

std::vector<pid_t> all_pids() {
    std::vector<pid_t> pids;
    for (const auto &entry : fs::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (!name.empty() && name.find_first_not_of("0123456789") == std::string::npos)
            pids.push_back(static_cast<pid_t>(std::stol(name)));
    }
    return pids;
}

} // namespace

std::string process_start_time(pid_t pid) {
    // Field 22 of the stat line; the state is field 3.
    const std::vector<std::string> fields = stat_fields(pid);
    return fields.size() > 19 ? fields[19] : "";
}

bool process_alive(pid_t pid) {
    return fs::exists("/proc/" + std::to_string(pid)) && !is_zombie(pid);
}

std::vector<pid_t> processes_running(const std::string &program) {
    std::vector<pid_t> found;
    for (pid_t pid : all_pids()) {
        std::error_code error;
        const auto exe = fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", error);
        if (!error && exe == program && process_alive(pid))
            found.push_back(pid);
    }
    return found;
}

std::vector<pid_t> processes_with_environment(const std::string &name_value) {
    std::vector<pid_t> found;
    for (pid_t pid : all_pids()) {
        std::ifstream environ("/proc/" + std::to_string(pid) + "/environ");
        std::string entry;
        while (std::getline(environ, entry, '\0')) {
            if (entry == name_value) {
                if (process_alive(pid))
                    found.push_back(pid);
                break;
            }
        }
    }
    return found;
}

ProgramReaper::~ProgramReaper() {
    for (pid_t pid : processes_running(program_))
        kill(pid, SIGKILL);
}

} // namespace korvex::test
