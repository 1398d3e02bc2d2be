// Helpers shared by the shipping tests: installing the built tree into a
// private folder and finding processes by program path or environment marker.
#ifndef KORVEX_TEST_SHIP_SUPPORT_H
#define KORVEX_TEST_SHIP_SUPPORT_H

#include <string>
#include <vector>

#include <sys/types.h>

#include "netns.h"
#include "process.h"

namespace korvex::test {

std::string build_tree(); // the build folder these tests belong to

// `cmake --install` of the build tree under `prefix`, with DESTDIR set when
// `destdir` is not empty. Throws with the output when the install fails.
void install_tree(const std::string &prefix, const std::string &destdir = "");

// Live processes (not zombies) whose executable is `program`.
std::vector<pid_t> processes_running(const std::string &program);
// Live processes whose environment holds the entry `name_value` ("N=V").
std::vector<pid_t> processes_with_environment(const std::string &name_value);
bool process_alive(pid_t pid); // exists and is not a zombie
// Clock ticks since boot at which the process started; empty once it is gone.
std::string process_start_time(pid_t pid);

// Kills, by pid, every process running `program` when it goes: for
// processes the tests did not start themselves (bus activation).
class ProgramReaper {
public:
    explicit ProgramReaper(std::string program) : program_(std::move(program)) {}
    ~ProgramReaper();
    ProgramReaper(const ProgramReaper &) = delete;
    ProgramReaper &operator=(const ProgramReaper &) = delete;

private:
    std::string program_;
};

} // namespace korvex::test

#endif
