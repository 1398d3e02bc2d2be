#include "launcher_harness.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <system_error>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace korvex::test {

namespace {

// What the reaper writes to its file for each process it reaps.
struct ReapRecord {
    pid_t pid;
    int status;
};

// A stand-in's recorded call, split at separator, with its escapes undone.
std::vector<std::string> split_recorded_call(const std::string &line, char separator = ' ') {
    std::vector<std::string> args(1);
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] == separator)
            args.emplace_back();
        else if (line[i] == '\\' && i + 1 < line.size())
            args.back().push_back(line[++i] == 's' ? ' ' : line[i] == 'n' ? '\n' : line[i]);
        else
            args.back().push_back(line[i]);
    }
    return args;
}

} // namespace

std::vector<std::string> concat(std::vector<std::string> a, const std::vector<std::string> &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

LauncherSandbox::LauncherSandbox() : bin_(dir_ / "bin") {
    std::filesystem::create_directory(bin_);
    std::filesystem::create_symlink(QPIDD_STAND_IN, bin_ / "qpidd");
    std::filesystem::create_symlink(QPID_ROUTE_STAND_IN, bin_ / "qpid-route");
    env_["PATH"] = bin_.string() + ":/usr/sbin:/usr/bin:/sbin:/bin";
    env_["KX_LOG_STDERR"] = "1";
}

LaunchOutcome LauncherSandbox::launch(const std::vector<std::string> &args,
                                      const std::string &argv0) {
    return run(BROKER_LAUNCHER_PATH, concat({argv0}, args));
}

LaunchOutcome LauncherSandbox::launch_wrapped(const std::vector<std::string> &wrapper_argv,
                                              const std::vector<std::string> &args) {
    return run(wrapper_argv.front(), concat(concat(wrapper_argv, {BROKER_LAUNCHER_PATH}), args));
}

// Runs program with exactly argv and env in the sandbox folder until it and
// all its descendants have exited.
LaunchOutcome LauncherSandbox::run(const std::string &program,
                                   const std::vector<std::string> &argv) {
    const std::string tag = std::to_string(++launches_);
    std::map<std::string, std::string> env = env_;
    std::string &qpidd_record = env["KX_TEST_QPIDD_RECORD"] = dir_ / ("qpidd-" + tag + ".calls");
    std::string &route_record = env["KX_TEST_QPID_ROUTE_RECORD"] =
        dir_ / ("qpid-route-" + tag + ".calls");
    const std::filesystem::path output = dir_ / ("output-" + tag + ".txt");
    const std::filesystem::path reaped = dir_ / ("reaped-" + tag);

    // Everything the children need is prepared before fork.
    std::vector<char *> argv_ptrs = c_strings(argv);
    std::vector<std::string> env_texts;
    for (const auto &[name, value] : env)
        env_texts.push_back(name + "=" + value);
    std::vector<char *> env_ptrs = c_strings(env_texts);

    pid_t reaper = fork();
    if (reaper < 0)
        throw std::system_error(errno, std::generic_category(), "fork");
    if (reaper == 0) {
        // A subreaper adopts every orphan: with no child left, the tree is gone.
        int reaped_fd = open(reaped.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (reaped_fd < 0 || prctl(PR_SET_CHILD_SUBREAPER, 1) != 0)
            _exit(120);
        pid_t main_pid = fork();
        if (main_pid == 0) {
            int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
            int out = open(output.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
            if (chdir(dir_.c_str()) != 0 || in < 0 || out < 0 || dup2(in, STDIN_FILENO) < 0 ||
                dup2(out, STDOUT_FILENO) < 0 || dup2(out, STDERR_FILENO) < 0)
                _exit(122);
            execve(program.c_str(), argv_ptrs.data(), env_ptrs.data());
            _exit(127);
        }
        // The main process first, then every process of the tree as it ends.
        for (ReapRecord record{main_pid, 0}; record.pid > 0;) {
            if (write(reaped_fd, &record, sizeof record) != sizeof record)
                _exit(123);
            while ((record.pid = waitpid(-1, &record.status, 0)) < 0 && errno == EINTR) {
            }
        }
        _exit(0);
    }

    int reaper_status = -1;
    while (waitpid(reaper, &reaper_status, 0) < 0 && errno == EINTR) {
    }
    const std::string data = read_file(reaped);
    std::filesystem::remove(reaped);
    std::vector<ReapRecord> records(data.size() / sizeof(ReapRecord));
    if (reaper_status != 0 || records.empty())
        throw std::runtime_error("the reaper failed with wait status " +
                                 std::to_string(reaper_status));
    std::memcpy(records.data(), data.data(), records.size() * sizeof(ReapRecord));

    LaunchOutcome outcome;
    for (std::size_t i = 1; i < records.size(); ++i) {
        if (records[i].pid == records[0].pid)
            outcome.main_status = records[i].status;
        else
            outcome.descendant_statuses.push_back(records[i].status);
    }
    outcome.output = read_file(output);
    for (const std::string &line : split_lines(read_file(qpidd_record)))
        outcome.qpidd_calls.push_back(split_recorded_call(line));
    for (const std::string &line : split_lines(read_file(route_record)))
        outcome.route_commands.push_back(split_recorded_call(line, '\0').front());
    return outcome;
}

} // namespace korvex::test
