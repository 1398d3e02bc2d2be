// The system-bus connection korvexctl calls the agents through, and the
// translation of D-Bus errors into its exit statuses.
#ifndef KORVEXCTL_AGENT_BUS_H
#define KORVEXCTL_AGENT_BUS_H

#include <memory>
#include <string>

#include "agent_catalog.h"
#include "auth_agent.h"
#include "command_line.h"
#include "exit_status.h"
#include "ssh_bridge.h"
#include <gio/gio.h>

#include <korvex/owners.h>

namespace korvex::ctl {

class AgentBus {
public:
    // Connects to the system bus (DBUS_SYSTEM_BUS_ADDRESS when set), or to
    // the one of the host --host names over ssh, with the time-out and
    // password prompting the command line asks for; throws a CommandFailure
    // with ExitStatus::unreachable when that fails.
    explicit AgentBus(const CommandLine &line);
    ~AgentBus();

    // Calls `method` of the agent's own interface. `parameters` may be
    // floating (the call sinks it) or null; the reply must have
    // `reply_type`. Errors are thrown as CommandFailure.
    VariantPtr call(const AgentInfo &agent, const std::string &method, GVariant *parameters,
                    const char *reply_type);
    // The same for a further interface on the agent's object.
    VariantPtr call(const AgentInfo &agent, const std::string &interface, const std::string &method,
                    GVariant *parameters, const char *reply_type);
    // A property of the agent (org.freedesktop.DBus.Properties), as a
    // boxed variant; Set returns null.
    VariantPtr get_property(const AgentInfo &agent, const std::string &property);
    void set_property(const AgentInfo &agent, const std::string &property, GVariant *value);

    // For listening to the agents' signals on the same connection.
    GDBusConnection *connection() const { return connection_.get(); }

    // Calls from now on show `what` and the time they have run on standard
    // error while they last, when both outputs are terminals.
    void show_progress(std::string what) { progress_ = std::move(what); }

private:
    VariantPtr call_interface(const AgentInfo &agent, const std::string &interface,
                              const std::string &method, GVariant *parameters,
                              const char *reply_type, const std::string &action);
    VariantPtr wait_with_progress(const AgentInfo &agent, const std::string &interface,
                                  const std::string &method, GVariant *parameters,
                                  const char *reply_type, GDBusCallFlags flags, GError **error);

    std::string host_;                  // --host as given; empty: this host
    std::unique_ptr<SshBridge> bridge_; // the connection's transport to host_
    ObjectPtr<GDBusConnection> connection_;
    int timeout_ms_;
    bool ask_password_;
    std::unique_ptr<TextAuthAgent> auth_agent_;
    std::string progress_;
};

// How a failed call is reported: exit status and message. `action` is the
// PolicyKit action the call needs ("<interface>.<member>").
CommandFailure failure_from_call_error(const GError &error, const AgentInfo &agent,
                                       const std::string &action);

} // namespace korvex::ctl

#endif
