// Runs the real broker-launcher with qpidd and qpid-route replaced by
// recording stand-ins, and collects everything the launch left behind.
#ifndef KORVEX_TESTS_BROKER_LAUNCHER_HARNESS_H
#define KORVEX_TESTS_BROKER_LAUNCHER_HARNESS_H

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace korvex::test {

// A fresh directory under /tmp named after the test process, removed with
// everything in it when the owner goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::filesystem::path &path() const { return path_; }

private:
    std::filesystem::path path_;
};

// Wait statuses of a process tree: the process started and every
// descendant, collected by a subreaper until none was left.
struct ReapedTree {
    int main_status = -1;
    std::vector<int> descendant_statuses;
};

// Starts program in workdir with exactly argv and env, stdout and stderr
// appended to output_path, and waits until the process and all its
// descendants have exited.
ReapedTree run_reaped(const std::string &program, const std::vector<std::string> &argv,
                      const std::map<std::string, std::string> &env,
                      const std::filesystem::path &workdir,
                      const std::filesystem::path &output_path);

// Runs a helper command to its end with the test's own environment;
// returns its wait status.
int run_command(const std::vector<std::string> &argv);

// One recorded call of a stand-in, split back into its arguments.
std::vector<std::string> split_recorded_call(const std::string &line);

std::vector<std::string> read_lines(const std::filesystem::path &path);
std::string read_file(const std::filesystem::path &path);

// How often needle occurs in text.
std::size_t count_occurrences(const std::string &text, const std::string &needle);

struct LaunchOutcome {
    ReapedTree tree;
    std::string output; // the launcher's and the child's stdout and stderr
    std::vector<std::vector<std::string>> qpidd_calls;
    std::vector<std::string> route_commands; // one command line per call
};

// A launch with a controlled environment, run in the sandbox folder: PATH
// starts with a folder that holds the stand-ins; env() can be changed
// before launch().
class LauncherSandbox {
public:
    LauncherSandbox();

    std::map<std::string, std::string> &env() { return env_; }
    const std::filesystem::path &dir() const { return temp_.path(); }
    const std::filesystem::path &bin() const { return bin_; }

    // Drops qpidd from the stand-in folder, so the exec finds none.
    void remove_qpidd();

    LaunchOutcome launch(const std::vector<std::string> &args = {},
                         const std::string &argv0 = "broker-launcher");

    // Runs the launcher through wrapper: wrapper_argv, then the launcher's
    // path and args.
    LaunchOutcome launch_wrapped(const std::vector<std::string> &wrapper_argv,
                                 const std::vector<std::string> &args = {});

private:
    LaunchOutcome run(const std::string &program, const std::vector<std::string> &argv);

    TempDir temp_;
    std::filesystem::path bin_;
    std::map<std::string, std::string> env_;
    int launches_ = 0;
};

} // namespace korvex::test

#endif
