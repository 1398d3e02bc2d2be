// Resident memory of a running agent, as the kernel accounts it.
#ifndef KORVEX_BENCH_AGENT_MEMORY_H
#define KORVEX_BENCH_AGENT_MEMORY_H

#include <fstream>
#include <string>

#include <sys/types.h>

namespace korvex::bench {

// VmRSS of the process in kB, or -1 when it cannot be read.
inline long resident_kb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    }
    return -1;
}

} // namespace korvex::bench

#endif
