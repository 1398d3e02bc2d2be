// Child processes of a test: started with a chosen environment, folder and
// user, and always reaped (killed first if need be) when the owner goes.
#ifndef KORVEX_TEST_PROCESS_H
#define KORVEX_TEST_PROCESS_H

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <sys/types.h>
#include <sys/wait.h>

namespace korvex::test {

struct ProcessOptions {
    std::vector<std::string> argv{};
    std::vector<std::string> env{};   // "NAME=value", added to (or replacing in) the test's own
    std::vector<std::string> unset{}; // names removed from the environment
    std::string cwd{};
    std::optional<uid_t> uid{}; // run as this uid (and gid = uid, no groups)
    std::string stdout_path{};  // empty: inherit
    std::string stderr_path{};  // empty: inherit
    std::string stdin_path = "/dev/null";
};

class Process {
public:
    explicit Process(const ProcessOptions &options);
    ~Process();
    Process(Process &&other) noexcept; // and no copy, no assignment

    pid_t pid() const { return pid_; }
    bool running() { return !wait(std::chrono::milliseconds(0)).has_value(); }
    // Raw wait status once the process has ended, nullopt on time-out.
    std::optional<int> wait(std::chrono::milliseconds timeout);
    // SIGTERM, then SIGKILL after a grace period; reaps. Returns the wait status.
    int stop(std::chrono::milliseconds grace = std::chrono::milliseconds(3000));
    void signal(int sig);

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

std::vector<std::string> split_lines(const std::string &text);
std::size_t count_occurrences(const std::string &text, const std::string &needle);
// argv or envp for an exec: pointers into `texts`, then a null pointer.
std::vector<char *> c_strings(const std::vector<std::string> &texts);

struct CommandResult {
    int status = -1; // raw wait status
    std::string out;
    std::string err;
    int exit_code() const { return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1; }
    std::vector<std::string> lines() const { return split_lines(out); }
    std::string describe() const { // for failure messages
        return "exit " + std::to_string(exit_code()) + "\nstdout:\n" + out + "stderr:\n" + err;
    }
};

inline ProcessOptions command(std::vector<std::string> argv) { return {.argv = std::move(argv)}; }

// Runs a command to its end (killed after `timeout`), capturing both streams.
CommandResult run_command(ProcessOptions options,
                          std::chrono::milliseconds timeout = std::chrono::seconds(60));
// Like run_command, but anything other than exit status 0 throws.
CommandResult run_checked(const ProcessOptions &options,
                          std::chrono::milliseconds timeout = std::chrono::seconds(120));

// Sets a variable of this process for the owner's lifetime, then restores it.
class ScopedEnv {
public:
    ScopedEnv(std::string name, const std::string &value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv &) = delete;
    ScopedEnv &operator=(const ScopedEnv &) = delete;

private:
    std::string name_;
    std::optional<std::string> old_;
};

template <typename Predicate>
bool wait_until(Predicate predicate, std::chrono::milliseconds timeout,
                std::chrono::milliseconds step = std::chrono::milliseconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (; !predicate(); std::this_thread::sleep_for(step))
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
    return true;
}

} // namespace korvex::test

#endif
