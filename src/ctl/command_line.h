// korvexctl's command line: the command words and the options, parsed once
// for the whole line; each command then says which options it accepts.
#ifndef KORVEXCTL_COMMAND_LINE_H
#define KORVEXCTL_COMMAND_LINE_H

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace korvex::ctl {

struct CommandLine {
    std::vector<std::string> words;            // command words and operands, in order
    std::set<std::string> flags;               // "--json", "--force", ...
    std::map<std::string, std::string> values; // "--scheme" -> "augeas", ...

    bool has(const std::string &flag) const { return flags.count(flag) != 0; }
    std::optional<std::string> value(const std::string &option) const;
    bool json() const { return has("--json"); }
    bool help() const { return has("--help"); }

    // Throws a UsageError naming `help_topic` when an option outside
    // `accepted` (besides the ones every command takes) was given.
    void accept_only(const std::set<std::string> &accepted, const std::string &help_topic) const;
    // The call time-out in milliseconds (--timeout SECONDS; 0: none).
    int timeout_ms() const;
};

// "-h" is --help, "-H" --host; "--name=value" and "--name value" both work; "-" is an
// operand (standard input) and "--" ends the options.
CommandLine parse_command_line(const std::vector<std::string> &args);

inline constexpr int kDefaultTimeoutSeconds = 600;

} // namespace korvex::ctl

#endif
