#include "process_footprint.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace korvex::test {

Footprint footprint_of(pid_t pid) {
    const std::string proc = "/proc/" + std::to_string(pid);
    Footprint footprint;
    std::ifstream status(proc + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("VmRSS:"))
            footprint.rss_kib = std::stol(line.substr(6));
    }
    if (footprint.rss_kib < 0)
        throw std::runtime_error("no VmRSS for pid " + std::to_string(pid));

    std::vector<std::pair<int, std::string>> fds;
    for (const auto &entry : fs::directory_iterator(proc + "/fd")) {
        std::error_code ignored;
        const fs::path target = fs::read_symlink(entry.path(), ignored);
        fds.emplace_back(std::stoi(entry.path().filename()), target.string());
    }
    std::sort(fds.begin(), fds.end());
    for (const auto &[fd, target] : fds)
        footprint.descriptors.push_back(std::to_string(fd) + " -> " + target);
    return footprint;
}

} // namespace korvex::test
