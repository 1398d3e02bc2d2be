// korvexctl: the administrator's command-line client of the korvex agents.
#include <iostream>
#include <optional>

#include <unistd.h>

#include "commands.h"
#include "help_texts.h"
#include "terminal_text.h"

#ifndef KORVEX_VERSION
#define KORVEX_VERSION "unknown"
#endif

using namespace korvex::ctl;

namespace {

// The command path the help and usage hints refer to: "sysconfig run-uri",
// "network", "get", ...
std::string help_topic(const CommandLine &line) {
    if (line.words.empty())
        return "";
    std::string topic = line.words[0];
    if ((topic == "sysconfig" || topic == "network") && line.words.size() > 1)
        topic += " " + line.words[1];
    return topic;
}

ExitStatus dispatch(const CommandLine &line) {
    // Like hostnamectl: no command shows the status.
    if (line.words.empty())
        return status_command(line);
    const std::string &command = line.words[0];
    if (command == "status")
        return status_command(line);
    if (command == "sysconfig")
        return sysconfig_command(line);
    if (command == "network")
        return network_command(line);
    if (command == "monitor")
        return monitor_command(line);
    if (command == "get")
        return get_command(line);
    if (command == "set")
        return set_command(line);
    throw UsageError("unknown command \"" + command + "\"", "");
}

} // namespace

int main(int argc, char **argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    // Every text of an agent is printed through std::cout or std::cerr, so
    // this is the one place where it is made safe for a terminal; --json
    // output escapes it already.
    const TerminalEscapes error_escapes(std::cerr, STDERR_FILENO);
    std::optional<TerminalEscapes> output_escapes;
    std::string host;
    try {
        const CommandLine line = parse_command_line(args);
        host = line.value("--host").value_or("");
        if (!line.json())
            output_escapes.emplace(std::cout, STDOUT_FILENO);
        if (line.has("--version")) {
            std::cout << "korvexctl " << KORVEX_VERSION << '\n';
            return 0;
        }
        if (line.help()) {
            std::cout << help_text(help_topic(line));
            return 0;
        }
        return static_cast<int>(dispatch(line));
    } catch (const UsageError &e) {
        const std::string topic = e.help_topic();
        std::cerr << "korvexctl: " << e.what() << "\nTry \"korvexctl "
                  << (topic.empty() ? "" : topic + " ") << "--help\".\n";
        return static_cast<int>(e.status());
    } catch (const CommandFailure &e) {
        // Said once here, so that the commands read the agents' own words.
        std::cerr << "korvexctl: " << (host.empty() || e.without_host() ? "" : host + ": ")
                  << e.what() << '\n';
        return static_cast<int>(e.status());
    }
}
