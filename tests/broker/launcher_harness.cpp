#include "launcher_harness.h"

#include <cerrno>
#include <fcntl.h>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace korvex::test {

namespace {

// Wait status pairs travel from the reaper to the test through a pipe.
struct ReapRecord {
    pid_t pid;
    int status;
};

// Starts program in workdir with exactly argv and env, stdout and stderr
// appended to output_path, and waits until the process and all its
// descendants have exited.
ReapedTree run_reaped(const std::string &program, const std::vector<std::string> &argv,
                      const std::map<std::string, std::string> &env,
                      const std::filesystem::path &workdir,
                      const std::filesystem::path &output_path) {
    // Everything the children need is prepared before fork.
    std::vector<char *> argv_ptrs = c_strings(argv);
    std::vector<std::string> env_texts;
    for (const auto &[name, value] : env)
        env_texts.push_back(name + "=" + value);
    std::vector<char *> env_ptrs = c_strings(env_texts);

    int output_fd = open(output_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (output_fd < 0)
        throw std::runtime_error("cannot open " + output_path.string());
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) {
        close(output_fd);
        throw std::runtime_error("pipe2 failed");
    }

    pid_t reaper = fork();
    if (reaper < 0) {
        close(output_fd);
        close(pipe_fds[0]);
        close(pipe_fds[1]);
        throw std::runtime_error("fork failed");
    }
    if (reaper == 0) {
        // The reaper adopts every orphan of the tree, so the tree is gone
        // once it has no child left.
        if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0)
            _exit(120);
        pid_t main_pid = fork();
        if (main_pid < 0)
            _exit(121);
        if (main_pid == 0) {
            int null_fd = open("/dev/null", O_RDONLY);
            if (chdir(workdir.c_str()) != 0)
                _exit(122);
            if (null_fd < 0 || dup2(null_fd, STDIN_FILENO) < 0 ||
                dup2(output_fd, STDOUT_FILENO) < 0 || dup2(output_fd, STDERR_FILENO) < 0)
                _exit(122);
            execve(program.c_str(), argv_ptrs.data(), env_ptrs.data());
            _exit(127);
        }
        // The main process first, then every process of the tree as it ends.
        for (ReapRecord record{main_pid, 0};;) {
            if (write(pipe_fds[1], &record, sizeof record) != sizeof record)
                _exit(123);
            while ((record.pid = waitpid(-1, &record.status, 0)) < 0 && errno == EINTR) {
            }
            if (record.pid < 0)
                break;
        }
        _exit(0);
    }

    close(output_fd);
    close(pipe_fds[1]);
    std::vector<ReapRecord> records;
    ReapRecord record;
    for (ssize_t n; (n = read(pipe_fds[0], &record, sizeof record)) != 0;) {
        if (n == sizeof record)
            records.push_back(record);
        else if (n > 0 || errno != EINTR)
            break;
    }
    close(pipe_fds[0]);
    int reaper_status = 0;
    while (waitpid(reaper, &reaper_status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(reaper_status) || WEXITSTATUS(reaper_status) != 0 || records.empty())
        throw std::runtime_error("the reaper failed with wait status " +
                                 std::to_string(reaper_status));

    ReapedTree tree;
    pid_t main_pid = records.front().pid;
    for (std::size_t i = 1; i < records.size(); ++i) {
        if (records[i].pid == main_pid)
            tree.main_status = records[i].status;
        else
            tree.descendant_statuses.push_back(records[i].status);
    }
    return tree;
}

// One recorded call of a stand-in, split back into its arguments (the
// stand-in escapes spaces, line feeds and backslashes inside them).
std::vector<std::string> split_recorded_call(const std::string &line) {
    std::vector<std::string> args(1);
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] == ' ') {
            args.emplace_back();
        } else if (line[i] == '\\' && i + 1 < line.size()) {
            const char next = line[++i];
            args.back().push_back(next == 's' ? ' ' : next == 'n' ? '\n' : next);
        } else {
            args.back().push_back(line[i]);
        }
    }
    return args;
}

} // namespace

std::size_t count_occurrences(const std::string &text, const std::string &needle) {
    std::size_t count = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + needle.size()))
        ++count;
    return count;
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
    std::vector<std::string> argv{argv0};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(BROKER_LAUNCHER_PATH, argv);
}

LaunchOutcome LauncherSandbox::launch_wrapped(const std::vector<std::string> &wrapper_argv,
                                              const std::vector<std::string> &args) {
    std::vector<std::string> argv = wrapper_argv;
    argv.push_back(BROKER_LAUNCHER_PATH);
    argv.insert(argv.end(), args.begin(), args.end());
    return run(wrapper_argv.front(), argv);
}

LaunchOutcome LauncherSandbox::run(const std::string &program,
                                   const std::vector<std::string> &argv) {
    std::string tag = std::to_string(++launches_);
    std::filesystem::path qpidd_record = dir() / ("qpidd-" + tag + ".calls");
    std::filesystem::path route_record = dir() / ("qpid-route-" + tag + ".calls");
    std::filesystem::path output = dir() / ("output-" + tag + ".txt");

    std::map<std::string, std::string> env = env_;
    env["KX_TEST_QPIDD_RECORD"] = qpidd_record.string();
    env["KX_TEST_QPID_ROUTE_RECORD"] = route_record.string();

    LaunchOutcome outcome;
    outcome.tree = run_reaped(program, argv, env, dir(), output);
    outcome.output = read_file(output);
    for (const std::string &line : split_lines(read_file(qpidd_record)))
        outcome.qpidd_calls.push_back(split_recorded_call(line));
    for (const std::string &line : split_lines(read_file(route_record))) {
        std::string command;
        for (const std::string &arg : split_recorded_call(line))
            command += (command.empty() ? "" : " ") + arg;
        outcome.route_commands.push_back(command);
    }
    return outcome;
}

} // namespace korvex::test
