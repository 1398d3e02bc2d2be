// The system-bus connection korvexctl calls the agents through, and the
// translation of D-Bus errors into its exit statuses.
#ifndef KORVEXCTL_AGENT_BUS_H
#define KORVEXCTL_AGENT_BUS_H

#include <string>

#include "agent_catalog.h"
#include "exit_status.h"
#include "gio_handles.h"

namespace korvexctl {

class AgentBus {
public:
    // Connects to the system bus (DBUS_SYSTEM_BUS_ADDRESS when set); throws
    // a CommandFailure with ExitStatus::unreachable when that fails.
    explicit AgentBus(int timeout_ms);

    // Calls `method` of the agent's own interface. `parameters` may be
    // floating (the call sinks it) or null; the reply must have
    // `reply_type`. Errors are thrown as CommandFailure.
    VariantPtr call(const AgentInfo &agent, const std::string &method, GVariant *parameters,
                    const char *reply_type);
    // The same on another interface of the agent's object (Properties).
    VariantPtr call_interface(const AgentInfo &agent, const std::string &interface,
                              const std::string &method, GVariant *parameters,
                              const char *reply_type);

private:
    ObjectPtr<GDBusConnection> connection_;
    int timeout_ms_;
};

// How a failed call is reported: exit status and message.
CommandFailure failure_from_call_error(const GError &error, const AgentInfo &agent);

} // namespace korvexctl

#endif
