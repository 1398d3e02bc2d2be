// What korvexctl's exit status means, and the exception that carries a
// failed command up to main together with the text for standard error.
#ifndef KORVEXCTL_EXIT_STATUS_H
#define KORVEXCTL_EXIT_STATUS_H

#include <stdexcept>
#include <string>

namespace korvex::ctl {

enum class ExitStatus : int {
    ok = 0,
    failed = 1,         // the agent reported a failure, or the call broke off
    would_change = 1,   // a preview: the document would change something
    bad_argument = 2,   // wrong usage, or the agent refused an argument
    unreachable = 3,    // no system bus, or the agent is not on it
    not_authorized = 4, // PolicyKit (or the bus policy) refused the caller
    not_configured = 5, // is-configured: the key has no status
    // A preview's failure: 1 says there are changes there, as for diff.
    preview_failed = 6,
};

class CommandFailure : public std::runtime_error {
public:
    // `agent_code`: the agent's result code when the agent itself answered
    // with the error, -1 otherwise.
    CommandFailure(ExitStatus status, const std::string &message, int agent_code = -1)
        : std::runtime_error(message), status_(status), agent_code_(agent_code) {}
    ExitStatus status() const { return status_; }
    int agent_code() const { return agent_code_; }

    // With --host main puts the host before the message, except for a
    // message that names the host already or is about this machine (a
    // document read here).
    bool without_host() const { return without_host_; }
    CommandFailure &said_without_host() {
        without_host_ = true;
        return *this;
    }

private:
    ExitStatus status_;
    int agent_code_;
    bool without_host_ = false;
};

// Wrong use of the command line; main adds a pointer to the right --help.
class UsageError : public CommandFailure {
public:
    UsageError(const std::string &message, std::string help_topic)
        : CommandFailure(ExitStatus::bad_argument, message), help_topic_(std::move(help_topic)) {}
    const std::string &help_topic() const { return help_topic_; }

private:
    std::string help_topic_;
};

} // namespace korvex::ctl

#endif
