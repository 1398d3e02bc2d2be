#include "command_line.h"

#include <charconv>
#include <climits>

#include "exit_status.h"

namespace korvex::ctl {

namespace {

const std::set<std::string> kFlags = {"--json", "--help", "--force", "--version",
                                      "--no-ask-password", "--no-wait"};
const std::set<std::string> kValued = {"--scheme", "--key", "--timeout", "--host", "--wait"};
// Taken by every command.
const std::set<std::string> kCommon = {"--json", "--help", "--timeout", "--no-ask-password",
                                       "--host"};

} // namespace

std::optional<std::string> CommandLine::value(const std::string &option) const {
    auto found = values.find(option);
    if (found == values.end())
        return std::nullopt;
    return found->second;
}

void CommandLine::accept_only(const std::set<std::string> &accepted,
                              const std::string &help_topic) const {
    auto check = [&](const std::string &option) {
        if (!kCommon.count(option) && !accepted.count(option))
            throw UsageError("option " + option + " does not apply here", help_topic);
    };
    for (const auto &flag : flags)
        check(flag);
    for (const auto &[option, unused] : values)
        check(option);
}

int CommandLine::timeout_ms() const {
    const auto text = value("--timeout");
    if (!text)
        return kDefaultTimeoutSeconds * 1000;
    unsigned long seconds = 0;
    const char *end = text->data() + text->size();
    const auto [stop, error] = std::from_chars(text->data(), end, seconds);
    if (text->empty() || error != std::errc() || stop != end)
        throw UsageError("--timeout wants a number of seconds, not \"" + *text + "\"", "");
    // GDBus waits without limit when given the largest int.
    if (seconds == 0 || seconds > INT_MAX / 1000)
        return INT_MAX;
    return static_cast<int>(seconds * 1000);
}

CommandLine parse_command_line(const std::vector<std::string> &args) {
    CommandLine line;
    bool options_done = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &arg = args[i];
        if (options_done || arg == "-" || arg.rfind("-", 0) != 0) {
            line.words.push_back(arg);
            continue;
        }
        if (arg == "--") {
            options_done = true;
            continue;
        }
        if (arg == "-h") {
            line.flags.insert("--help");
            continue;
        }
        const auto equals = arg.find('=');
        // -H HOST is --host HOST, as for hostnamectl.
        const std::string name = arg == "-H" ? "--host" : arg.substr(0, equals);
        if (kFlags.count(name)) {
            if (equals != std::string::npos)
                throw UsageError("option " + name + " takes no value", "");
            line.flags.insert(name);
        } else if (kValued.count(name)) {
            if (equals != std::string::npos) {
                line.values[name] = arg.substr(equals + 1);
            } else if (i + 1 < args.size()) {
                line.values[name] = args[++i];
            } else {
                throw UsageError("option " + name + " needs a value", "");
            }
        } else {
            throw UsageError("unknown option " + arg, "");
        }
    }
    return line;
}

} // namespace korvex::ctl
