// What a running process holds, read from /proc: resident memory and open
// descriptors.
#ifndef KORVEX_TESTS_SOAK_PROCESS_FOOTPRINT_H
#define KORVEX_TESTS_SOAK_PROCESS_FOOTPRINT_H

#include <string>
#include <vector>

#include <sys/types.h>

namespace korvex::test {

struct Footprint {
    long rss_kib = -1;
    // "fd -> target" for every open descriptor, in descriptor order.
    std::vector<std::string> descriptors;
};

// Throws when the process is gone.
Footprint footprint_of(pid_t pid);

} // namespace korvex::test

#endif
