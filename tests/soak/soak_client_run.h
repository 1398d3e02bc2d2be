// What the soak and bad-input tests share: kx-test-call --soak runs on a
// plan, as root and as another user at once, the agent's footprint, and
// long hostile text.
#ifndef KORVEX_TESTS_SOAK_SOAK_CLIENT_RUN_H
#define KORVEX_TESTS_SOAK_SOAK_CLIENT_RUN_H

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <sys/types.h>

#include "request_plan.h"

namespace korvex::test {

// `piece` over and over, to at least `size` bytes.
inline std::string repeated(const std::string &piece, size_t size = 10 * 1024) {
    std::string text;
    while (text.size() < size)
        text += piece;
    return text;
}

inline const std::string kInvalidArgs = "org.freedesktop.DBus.Error.InvalidArgs";
inline const std::string kUnknownMethod = "org.freedesktop.DBus.Error.UnknownMethod";

// The calls, each expecting the refusal a caller without authorization gets.
std::vector<PlannedCall> all_refused(std::vector<PlannedCall> calls);

// Runs `root_count` calls of `root_plan` as root and `refused_count` of
// `refused_plan` as user nobody at once, `meanwhile` while both are under
// way, and expects every call sent, answered, and answered as planned.
void run_root_and_nobody(const std::string &address, const std::vector<PlannedCall> &root_plan,
                         uint64_t root_count, const std::vector<PlannedCall> &refused_plan,
                         uint64_t refused_count, const std::function<void()> &meanwhile = {});

long seconds_since(std::chrono::steady_clock::time_point start);

// What a running process holds, read from /proc; throws when it is gone.
struct Footprint {
    long rss_kib = -1;
    std::map<int, std::string> descriptors; // every open one, to its target
};
Footprint footprint_of(pid_t pid);

// Entries for the agent's environment ("NAME=value") that make its memory
// figure meaningful in a sanitized build too.
std::vector<std::string> steady_memory_environment();

// Prints both footprints of the agent `name` and expects no more memory
// (within the bound) and the same descriptors after the soak.
void expect_footprint_kept(const std::string &name, const Footprint &warm, const Footprint &after);

} // namespace korvex::test

#endif
