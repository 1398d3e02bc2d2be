// Whole reads and writes of a descriptor, going on after interruptions:
// for the preview's programs, which hand documents and reports on through
// pipes and files in memory.
#pragma once

#include <errno.h>
#include <stddef.h>
#include <unistd.h>

#include <string>
#include <string_view>

namespace korvex::sysconfig {

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
// (the rest is read and dropped). False on a read error or when more came.
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
        if (text.size() + static_cast<size_t>(n) > limit)
            fits = false;
        else
            text.append(buffer, static_cast<size_t>(n));
    }
}

} // namespace korvex::sysconfig
