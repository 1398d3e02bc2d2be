// Shared by the shipping tests: installing the built tree into a private
// folder and finding processes by program path or environment entry.
#ifndef KORVEX_TEST_SHIP_SUPPORT_H
#define KORVEX_TEST_SHIP_SUPPORT_H

#include <string>
#include <vector>

#include <sys/types.h>

#include "netns.h"
#include "process.h"

namespace korvex::test {

inline std::string build_tree() { return KORVEX_BUILD_TREE; }

// `cmake --install` of the build tree under `prefix` (and DESTDIR when given);
// throws with the output when it fails.
void install_tree(const std::string &prefix, const std::string &destdir = "");

// Live processes (not zombies) running `program`, or whose environment holds
// the entry `name_value` ("N=V").
std::vector<pid_t> processes_running(const std::string &program);
std::vector<pid_t> processes_with_environment(const std::string &name_value);
bool process_alive(pid_t pid);
// Clock ticks since boot at which the process started; empty once it is gone.
std::string process_start_time(pid_t pid);

} // namespace korvex::test

#endif
