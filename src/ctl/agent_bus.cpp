#include "agent_bus.h"

#include <charconv>
#include <set>
#include <string_view>

namespace korvexctl {

namespace {

// dbus-glib names the agents' errors after their GError domain and code.
constexpr std::string_view kAgentErrorPrefix =
    "org.freedesktop.DBus.GLib.UnmappedError.KorvexErrorQuark.Code";
constexpr int kAgentBadArgument = 2;
constexpr int kAgentNotAuthorized = 5;

// Errors of the bus itself that mean the agent cannot be reached at all:
// not running and not activatable, or its activation failed.
bool means_unreachable(std::string_view name)
{
    static const std::set<std::string_view> names = {
        "org.freedesktop.DBus.Error.ServiceUnknown",
        "org.freedesktop.DBus.Error.NameHasNoOwner",
        "org.freedesktop.DBus.Error.NoServer",
        "org.freedesktop.DBus.Error.Disconnected",
        "org.freedesktop.DBus.Error.ServiceNotFound",
    };
    return names.count(name) != 0 || name.rfind("org.freedesktop.DBus.Error.Spawn.", 0) == 0;
}

std::string local_message(const GError &error)
{
    return error.message != nullptr ? error.message : "unknown error";
}

} // namespace

CommandFailure failure_from_call_error(const GError &error, const AgentInfo &agent)
{
    if (!g_dbus_error_is_remote_error(&error)) {
        if (g_error_matches(&error, G_IO_ERROR, G_IO_ERROR_TIMED_OUT))
            return {ExitStatus::failed,
                    "no answer from the " + agent.word + " agent in time (see --timeout)"};
        if (g_error_matches(&error, G_IO_ERROR, G_IO_ERROR_CLOSED))
            return {ExitStatus::unreachable, "cannot reach the " + agent.word + " agent: " +
                                                 local_message(error)};
        return {ExitStatus::failed, "unexpected answer from the " + agent.word + " agent: " +
                                        local_message(error)};
    }

    GCharPtr remote_name{g_dbus_error_get_remote_error(&error)};
    const std::string name = remote_name ? remote_name.get() : "";
    ErrorPtr stripped{g_error_copy(&error)};
    g_dbus_error_strip_remote_error(stripped.get());
    const std::string message = local_message(*stripped);

    if (name.rfind(kAgentErrorPrefix, 0) == 0) {
        int code = -1;
        const char *digits = name.data() + kAgentErrorPrefix.size();
        std::from_chars(digits, name.data() + name.size(), code);
        if (code == kAgentNotAuthorized)
            return {ExitStatus::not_authorized, message};
        if (code == kAgentBadArgument)
            return {ExitStatus::bad_argument, message};
        return {ExitStatus::failed, message};
    }
    if (means_unreachable(name))
        return {ExitStatus::unreachable,
                "the " + agent.word + " agent (" + agent.bus_name + ") is not reachable: " + message};
    if (name == "org.freedesktop.DBus.Error.AccessDenied")
        return {ExitStatus::not_authorized, message};
    return {ExitStatus::failed, message};
}

AgentBus::AgentBus(int timeout_ms) : timeout_ms_(timeout_ms)
{
    // A connection of our own rather than the shared singleton, which would
    // end the process with no word should the bus go away mid-call.
    GError *raw = nullptr;
    GCharPtr address{g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SYSTEM, nullptr, &raw)};
    ErrorPtr error{raw};
    if (!address)
        throw CommandFailure(ExitStatus::unreachable,
                             "no system bus: " + local_message(*error));
    raw = nullptr;
    connection_.reset(g_dbus_connection_new_for_address_sync(
        address.get(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &raw));
    error.reset(raw);
    if (!connection_)
        throw CommandFailure(ExitStatus::unreachable,
                             "cannot connect to the system bus at " + std::string(address.get()) +
                                 ": " + local_message(*error));
}

VariantPtr AgentBus::call(const AgentInfo &agent, const std::string &method, GVariant *parameters,
                          const char *reply_type)
{
    return call_interface(agent, agent.interface, method, parameters, reply_type);
}

VariantPtr AgentBus::call_interface(const AgentInfo &agent, const std::string &interface,
                                    const std::string &method, GVariant *parameters,
                                    const char *reply_type)
{
    GError *raw = nullptr;
    // Without NO_AUTO_START the bus may start an agent that is installed for
    // activation but not running yet.
    VariantPtr reply{g_dbus_connection_call_sync(
        connection_.get(), agent.bus_name.c_str(), agent.object_path.c_str(), interface.c_str(),
        method.c_str(), parameters, G_VARIANT_TYPE(reply_type), G_DBUS_CALL_FLAGS_NONE,
        timeout_ms_, nullptr, &raw)};
    ErrorPtr error{raw};
    if (!reply)
        throw failure_from_call_error(*error, agent);
    return reply;
}

} // namespace korvexctl
