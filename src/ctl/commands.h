// The command groups of korvexctl. Each prints its result on standard
// output and returns the exit status; failures are thrown as
// CommandFailure (see exit_status.h).
#ifndef KORVEXCTL_COMMANDS_H
#define KORVEXCTL_COMMANDS_H

#include <string>
#include <utility>
#include <vector>

#include "agent_bus.h"
#include "command_line.h"
#include "exit_status.h"

namespace korvex::ctl {

ExitStatus sysconfig_command(const CommandLine &line); // words: sysconfig SUB ...
ExitStatus network_command(const CommandLine &line);   // words: network SUB [IFACE]
ExitStatus get_command(const CommandLine &line);       // words: get AGENT PROPERTY
ExitStatus set_command(const CommandLine &line);       // words: set AGENT PROPERTY VALUE
ExitStatus status_command(const CommandLine &line);    // words: none, or status
ExitStatus monitor_command(const CommandLine &line);   // words: monitor; ends when interrupted

// Every interface the network agent lists, with whether it is up.
std::vector<std::pair<std::string, bool>> interface_states(AgentBus &bus);

// The operands after the first `skip` words; throws a UsageError unless
// there are exactly `names.size()` of them.
std::vector<std::string> operands(const CommandLine &line, size_t skip,
                                  const std::vector<std::string> &names,
                                  const std::string &help_topic);

} // namespace korvex::ctl

#endif
