// Whole reads and writes of a descriptor, going on after interruptions:
// for the preview's programs, which hand documents and reports on through
// pipes and files in memory. And what the sandbox and the agent that starts
// it both need to know of a process's end.
#pragma once

#include <errno.h>
#include <stddef.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <string_view>

namespace korvex::sysconfig {

// The sandbox's own failures (126 and 127 when a program cannot be
// started), and the first status of a tool killed by a signal: 128 + N for
// signal N, as a shell gives it.
constexpr int sandbox_failed = 125;
constexpr int killed_by_signal = 128;

// A descriptor that becomes readable when the process ends; -1 on error.
inline int pidfd_of(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }

inline bool write_all(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = write(fd, text.data(), text.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        text.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

// Reads fd to its end, appending to text no more than limit bytes in all
// (what goes beyond is read and dropped). False on a read error or when
// more came.
inline bool read_up_to(int fd, std::string &text, size_t limit = std::string::npos) {
    char buffer[65536];
    bool fits = true;
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return fits;
        const size_t room = limit - std::min(limit, text.size());
        text.append(buffer, std::min(room, static_cast<size_t>(n)));
        fits = fits && static_cast<size_t>(n) <= room;
    }
}

} // namespace korvex::sysconfig
