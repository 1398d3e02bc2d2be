#include "process.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <set>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include <fcntl.h>
#include <grp.h>
#include <unistd.h>

#include "temp_dir.h"

namespace korvex::test {

static std::vector<std::string> build_environment(const ProcessOptions &options) {
    const auto name_of = [](const std::string &entry) { return entry.substr(0, entry.find('=')); };
    std::set<std::string> replaced(options.unset.begin(), options.unset.end());
    for (const auto &entry : options.env)
        replaced.insert(name_of(entry));
    std::vector<std::string> env = options.env;
    for (char **e = environ; *e != nullptr; ++e)
        if (!replaced.contains(name_of(*e)))
            env.emplace_back(*e);
    return env;
}

static void redirect(const std::string &path, int target, int flags) {
    if (path.empty())
        return;
    const int fd = open(path.c_str(), flags, 0644);
    if (fd < 0 || dup2(fd, target) < 0)
        _exit(126);
    close(fd);
}

Process::Process(const ProcessOptions &options) {
    const std::vector<std::string> env = build_environment(options);
    std::vector<char *> argv_ptrs = c_strings(options.argv);
    std::vector<char *> env_ptrs = c_strings(env);
    pid_ = fork();
    if (pid_ < 0)
        throw std::system_error(errno, std::generic_category(), "fork");
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

Process::~Process() { stop(); }

std::optional<int> Process::wait(std::chrono::milliseconds timeout) {
    const auto reaped = [this] {
        int status = 0;
        const pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_ || (r < 0 && errno != EINTR))
            status_ = r == pid_ ? status : -1;
        return status_.has_value();
    };
    if (!status_ && pid_ > 0)
        wait_until(reaped, timeout, std::chrono::milliseconds(5));
    return status_;
}

void Process::signal(int sig) {
    if (pid_ > 0 && !status_)
        kill(pid_, sig);
}

int Process::stop(std::chrono::milliseconds grace) {
    if (pid_ <= 0)
        return -1;
    signal(SIGTERM);
    if (!wait(grace)) {
        kill(pid_, SIGKILL);
        wait(std::chrono::seconds(10));
    }
    // Whatever the process left in its group goes too.
    kill(-pid_, SIGKILL);
    return status_.value_or(-1);
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

std::size_t count_occurrences(const std::string &text, const std::string &needle) {
    std::size_t count = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + needle.size()))
        ++count;
    return count;
}

CommandResult run_command(ProcessOptions options, std::chrono::milliseconds timeout) {
    TempDir capture("korvex-cmd");
    options.stdout_path = capture.file("out");
    options.stderr_path = capture.file("err");
    Process process(options);
    process.wait(timeout);
    const int status = process.stop(); // at once when it has ended; reaps what it left
    return {status, capture.read("out"), capture.read("err")};
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
    if (result.exit_code() != 0)
        throw std::runtime_error(options.argv[0] + " failed: " + result.describe());
    return result;
}

} // namespace korvex::test
