#include "ship_support.h"

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

namespace fs = std::filesystem;

namespace korvex::test {

void install_tree(const std::string &prefix, const std::string &destdir) {
    ProcessOptions install = command({"cmake", "--install", build_tree(), "--prefix", prefix});
    if (destdir.empty())
        install.unset = {"DESTDIR"};
    else
        install.env = {"DESTDIR=" + destdir};
    run_checked(install);
}

namespace {

std::string proc(pid_t pid, const char *entry) {
    return "/proc/" + std::to_string(pid) + "/" + entry;
}

// The fields of the stat line from the state on: the name before them may
// hold spaces and parentheses. Empty when the process is gone.
std::vector<std::string> stat_fields(pid_t pid) {
    std::ifstream stat(proc(pid, "stat"));
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::vector<std::string> fields;
    const auto close = text.rfind(')');
    std::istringstream rest(close == std::string::npos ? "" : text.substr(close + 1));
    for (std::string field; rest >> field;)
        fields.push_back(field);
    return fields;
}

std::vector<pid_t> live_processes(const std::function<bool(pid_t)> &match) {
    std::vector<pid_t> found;
    for (const auto &entry : fs::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        const auto pid = static_cast<pid_t>(std::stol(name));
        if (match(pid) && process_alive(pid))
            found.push_back(pid);
    }
    return found;
}

} // namespace

std::string process_start_time(pid_t pid) {
    // Field 22 of the stat line; the state is field 3.
    const std::vector<std::string> fields = stat_fields(pid);
    return fields.size() > 19 ? fields[19] : "";
}

bool process_alive(pid_t pid) {
    const std::vector<std::string> fields = stat_fields(pid);
    return !fields.empty() && fields[0] != "Z";
}

std::vector<pid_t> processes_running(const std::string &program) {
    return live_processes([&](pid_t pid) {
        std::error_code error;
        return fs::read_symlink(proc(pid, "exe"), error) == program && !error;
    });
}

std::vector<pid_t> processes_with_environment(const std::string &name_value) {
    return live_processes([&](pid_t pid) {
        std::ifstream environ(proc(pid, "environ"));
        for (std::string entry; std::getline(environ, entry, '\0');)
            if (entry == name_value)
                return true;
        return false;
    });
}

} // namespace korvex::test
