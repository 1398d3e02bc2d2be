// Runs the real broker-launcher with qpidd and qpid-route replaced by
// recording stand-ins, and collects everything the launch left behind.
#ifndef KORVEX_TESTS_BROKER_LAUNCHER_HARNESS_H
#define KORVEX_TESTS_BROKER_LAUNCHER_HARNESS_H

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "process.h"
#include "temp_dir.h"

namespace korvex::test {

std::vector<std::string> concat(std::vector<std::string> a, const std::vector<std::string> &b);

struct LaunchOutcome {
    int main_status = -1;                 // wait statuses of the process started
    std::vector<int> descendant_statuses; // and of every descendant
    std::string output;                   // the launcher's and the child's stdout and stderr
    std::vector<std::vector<std::string>> qpidd_calls;
    std::vector<std::string> route_commands; // one command line per call
};

// Launches in the sandbox folder with env(); PATH starts with bin(), the stand-ins.
class LauncherSandbox {
public:
    LauncherSandbox();

    std::map<std::string, std::string> &env() { return env_; }
    const std::filesystem::path &dir() const { return dir_; }
    const std::filesystem::path &bin() const { return bin_; }

    LaunchOutcome launch(const std::vector<std::string> &args = {},
                         const std::string &argv0 = "broker-launcher");

    // Runs wrapper_argv, then the launcher's path and args.
    LaunchOutcome launch_wrapped(const std::vector<std::string> &wrapper_argv,
                                 const std::vector<std::string> &args = {});

private:
    LaunchOutcome run(const std::string &program, const std::vector<std::string> &argv);

    TempDir temp_{"kx-broker-test"};
    std::filesystem::path dir_ = temp_.path();
    std::filesystem::path bin_;
    std::map<std::string, std::string> env_;
    int launches_ = 0;
};

} // namespace korvex::test

#endif
