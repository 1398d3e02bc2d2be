#include "process.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include "temp_dir.h"

extern char **environ;

namespace korvex::test {

namespace {

std::vector<std::string> build_environment(const ProcessOptions &options) {
    const auto name_of = [](const std::string &entry) { return entry.substr(0, entry.find('=')); };
    std::set<std::string> replaced(options.unset.begin(), options.unset.end());
    for (const auto &entry : options.env)
        replaced.insert(name_of(entry));
    std::vector<std::string> env;
    for (char **e = environ; *e != nullptr; ++e)
        if (!replaced.contains(name_of(*e)))
            env.emplace_back(*e);
    env.insert(env.end(), options.env.begin(), options.env.end());
    return env;
}

void redirect(const std::string &path, int target, int flags) {
    if (path.empty())
        return;
    int fd = open(path.c_str(), flags, 0644);
    if (fd < 0)
        _exit(126);
    dup2(fd, target);
    close(fd);
}

} // namespace

Process::Process(const ProcessOptions &options) {
    if (options.argv.empty())
        throw std::invalid_argument("empty argv");
    const std::vector<std::string> env = build_environment(options);
    std::vector<char *> argv_ptrs = c_strings(options.argv);
    std::vector<char *> env_ptrs = c_strings(env);

    pid_ = fork();
    if (pid_ < 0)
        throw std::runtime_error(std::string("fork: ") + strerror(errno));
    if (pid_ == 0) {
        // Own process group, so that a stop also reaches what it started.
        setpgid(0, 0);
        redirect(options.stdin_path, 0, O_RDONLY);
        redirect(options.stdout_path, 1, O_WRONLY | O_CREAT | O_TRUNC);
        redirect(options.stderr_path, 2, O_WRONLY | O_CREAT | O_TRUNC);
        if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0)
            _exit(126);
        if (options.uid &&
            (setgroups(0, nullptr) != 0 || setgid(*options.uid) != 0 || setuid(*options.uid) != 0))
            _exit(126);
        execvpe(argv_ptrs[0], argv_ptrs.data(), env_ptrs.data());
        _exit(127);
    }
}

Process::Process(Process &&other) noexcept : pid_(other.pid_), status_(other.status_) {
    other.pid_ = -1;
}

Process::~Process() {
    if (pid_ > 0)
        stop();
}

bool Process::running() { return !wait(std::chrono::milliseconds(0)).has_value(); }

std::optional<int> Process::wait(std::chrono::milliseconds timeout) {
    if (status_)
        return status_;
    if (pid_ <= 0)
        return std::nullopt;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;; std::this_thread::sleep_for(std::chrono::milliseconds(5))) {
        int status = 0;
        const pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_ || (r < 0 && errno != EINTR))
            return status_ = r == pid_ ? status : -1;
        if (std::chrono::steady_clock::now() >= deadline)
            return std::nullopt;
    }
}

void Process::signal(int sig) {
    if (pid_ > 0 && !status_)
        kill(pid_, sig);
}

int Process::stop(std::chrono::milliseconds grace) {
    if (pid_ <= 0)
        return -1;
    if (!status_) {
        kill(pid_, SIGTERM);
        if (!wait(grace)) {
            kill(-pid_, SIGKILL);
            kill(pid_, SIGKILL);
            wait(std::chrono::seconds(10));
        }
    }
    // Whatever the process left in its group goes too.
    kill(-pid_, SIGKILL);
    return status_.value_or(-1);
}

std::string CommandResult::describe() const {
    return "exit " + std::to_string(exit_code()) + "\nstdout:\n" + out + "stderr:\n" + err;
}

std::vector<char *> c_strings(const std::vector<std::string> &texts) {
    std::vector<char *> pointers;
    for (const std::string &text : texts)
        pointers.push_back(const_cast<char *>(text.c_str()));
    pointers.push_back(nullptr);
    return pointers;
}

std::vector<std::string> split_lines(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        lines.push_back(line);
    return lines;
}

ProcessOptions command(std::vector<std::string> argv) {
    ProcessOptions options;
    options.argv = std::move(argv);
    return options;
}

CommandResult run_command(ProcessOptions options, std::chrono::milliseconds timeout) {
    TempDir capture("korvex-cmd");
    options.stdout_path = capture.file("out");
    options.stderr_path = capture.file("err");
    CommandResult result;
    {
        Process process(options);
        auto status = process.wait(timeout);
        result.status = status ? *status : process.stop();
    }
    result.out = read_file(capture.file("out"));
    result.err = read_file(capture.file("err"));
    return result;
}

ScopedEnv::ScopedEnv(std::string name, const std::string &value) : name_(std::move(name)) {
    if (const char *old = std::getenv(name_.c_str()))
        old_ = old;
    setenv(name_.c_str(), value.c_str(), 1);
}

ScopedEnv::~ScopedEnv() {
    if (old_)
        setenv(name_.c_str(), old_->c_str(), 1);
    else
        unsetenv(name_.c_str());
}

CommandResult run_checked(const ProcessOptions &options, std::chrono::milliseconds timeout) {
    CommandResult result = run_command(options, timeout);
    if (result.exit_code() != 0) {
        std::string line;
        for (const auto &arg : options.argv)
            line += arg + " ";
        throw std::runtime_error("command failed: " + line + "\n" + result.describe());
    }
    return result;
}

} // namespace korvex::test
