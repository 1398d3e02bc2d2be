// Runs an outside program to its end, the way a shell user would run the
// tool directly: output discarded, blocking until it exits.
#ifndef KORVEX_BENCH_COMMAND_RUN_H
#define KORVEX_BENCH_COMMAND_RUN_H

#include <string>
#include <vector>

namespace korvex::bench {

// Exit status of the program (127 when it could not be started,
// 128 + signal when it was killed). Runs in the caller's folder and
// environment.
int run_to_end(const std::vector<std::string> &argv);

} // namespace korvex::bench

#endif
