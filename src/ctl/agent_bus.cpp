#include "agent_bus.h"

#include <unistd.h>

#include <charconv>
#include <chrono>
#include <cstdio>
#include <string_view>

namespace korvex::ctl {

namespace {

// dbus-glib names the agents' errors after their GError domain and code.
constexpr std::string_view kAgentErrorPrefix =
    "org.freedesktop.DBus.GLib.UnmappedError.KorvexErrorQuark.Code";
constexpr int kAgentBadArgument = 2;
constexpr int kAgentNotAuthorized = 5;
constexpr const char *kPropertiesInterface = "org.freedesktop.DBus.Properties";

// Errors of the bus itself that mean the agent cannot be reached at all:
// not running and not activatable, or its activation failed. Empty when
// the name is none of them; otherwise why, in the administrator's words
// rather than the bus's ("... was not provided by any .service files").
std::string unreachable_because(std::string_view name, const std::string &message) {
    if (name == "org.freedesktop.DBus.Error.ServiceUnknown" ||
        name == "org.freedesktop.DBus.Error.ServiceNotFound")
        return "it is not running, and the bus knows no way to start it (is korvex installed?)";
    if (name == "org.freedesktop.DBus.Error.NameHasNoOwner")
        return "it is not running";
    if (name.starts_with("org.freedesktop.DBus.Error.Spawn.") ||
        name.starts_with("org.freedesktop.systemd1."))
        return "it is not running, and starting it through the bus was refused or failed: " +
               message;
    if (name == "org.freedesktop.DBus.Error.NoServer" ||
        name == "org.freedesktop.DBus.Error.Disconnected")
        return "the bus connection broke off: " + message;
    return {};
}

std::string local_message(const GError &error) {
    return error.message != nullptr ? error.message : "unknown error";
}

} // namespace

CommandFailure failure_from_call_error(const GError &error, const AgentInfo &agent,
                                       const std::string &action) {
    if (!g_dbus_error_is_remote_error(&error)) {
        if (g_error_matches(&error, G_IO_ERROR, G_IO_ERROR_TIMED_OUT))
            return {ExitStatus::failed,
                    "no answer from the " + agent.word + " agent in time (see --timeout)"};
        if (g_error_matches(&error, G_IO_ERROR, G_IO_ERROR_CLOSED))
            return {ExitStatus::unreachable,
                    "cannot reach the " + agent.word + " agent: " + local_message(error)};
        return {ExitStatus::failed,
                "unexpected answer from the " + agent.word + " agent: " + local_message(error)};
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
            return {ExitStatus::not_authorized, "not authorized to " + action + ": " + message,
                    code};
        if (code == kAgentBadArgument)
            return {ExitStatus::bad_argument, message, code};
        return {ExitStatus::failed, message, code};
    }
    if (const std::string why = unreachable_because(name, message); !why.empty())
        return {ExitStatus::unreachable,
                "the " + agent.word + " agent (" + agent.bus_name + ") is not reachable: " + why};
    if (name == "org.freedesktop.DBus.Error.AccessDenied")
        return {ExitStatus::not_authorized,
                "not authorized to " + action + " (the bus policy refused the call): " + message};
    return {ExitStatus::failed, message};
}

AgentBus::AgentBus(const CommandLine &line)
    : host_(line.value("--host").value_or("")), timeout_ms_(line.timeout_ms()),
      ask_password_(!line.has("--no-ask-password")) {
    const auto flags =
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION);
    GError *raw = nullptr;
    if (line.value("--host")) {
        // PolicyKit on the far host asks the ssh user's session, where no
        // agent of ours runs: nobody could answer a password prompt.
        ask_password_ = false;
        bridge_ = std::make_unique<SshBridge>(parse_remote_host(host_));
        connection_.reset(
            g_dbus_connection_new_sync(bridge_->stream(), nullptr, flags, nullptr, nullptr, &raw));
        ErrorPtr error{raw};
        if (!connection_)
            throw bridge_->failure(local_message(*error)).said_without_host();
        return;
    }
    // A connection of our own rather than the shared singleton, which would
    // end the process with no word should the bus go away mid-call.
    GCharPtr address{g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SYSTEM, nullptr, &raw)};
    ErrorPtr error{raw};
    if (!address)
        throw CommandFailure(ExitStatus::unreachable, "no system bus: " + local_message(*error));
    raw = nullptr;
    connection_.reset(
        g_dbus_connection_new_for_address_sync(address.get(), flags, nullptr, nullptr, &raw));
    error.reset(raw);
    if (!connection_)
        throw CommandFailure(ExitStatus::unreachable, "cannot connect to the system bus at " +
                                                          std::string(address.get()) + ": " +
                                                          local_message(*error));
}

AgentBus::~AgentBus() {
    // Closed before the bridge goes, so that ssh sees the end of its input.
    if (bridge_ && connection_)
        g_dbus_connection_close_sync(connection_.get(), nullptr, nullptr);
}

VariantPtr AgentBus::call(const AgentInfo &agent, const std::string &method, GVariant *parameters,
                          const char *reply_type) {
    return call_interface(agent, agent.interface, method, parameters, reply_type,
                          agent.interface + "." + method);
}

VariantPtr AgentBus::call(const AgentInfo &agent, const std::string &interface,
                          const std::string &method, GVariant *parameters, const char *reply_type) {
    return call_interface(agent, interface, method, parameters, reply_type,
                          interface + "." + method);
}

// The agents name a property's action after the interface and the property.
VariantPtr AgentBus::get_property(const AgentInfo &agent, const std::string &property) {
    const VariantPtr reply =
        call_interface(agent, kPropertiesInterface, "Get",
                       g_variant_new("(ss)", agent.interface.c_str(), property.c_str()), "(v)",
                       agent.interface + "." + property);
    GVariant *boxed = nullptr;
    g_variant_get(reply.get(), "(v)", &boxed);
    return VariantPtr{boxed};
}

void AgentBus::set_property(const AgentInfo &agent, const std::string &property, GVariant *value) {
    call_interface(agent, kPropertiesInterface, "Set",
                   g_variant_new("(ssv)", agent.interface.c_str(), property.c_str(), value), "()",
                   agent.interface + "." + property);
}

VariantPtr AgentBus::call_interface(const AgentInfo &agent, const std::string &interface,
                                    const std::string &method, GVariant *parameters,
                                    const char *reply_type, const std::string &action) {
    // Without NO_AUTO_START the bus may start an agent that is installed for
    // activation but not running yet.
    GDBusCallFlags flags = G_DBUS_CALL_FLAGS_NONE;
    if (ask_password_) {
        if (!auth_agent_)
            auth_agent_ = std::make_unique<TextAuthAgent>();
        flags = G_DBUS_CALL_FLAGS_ALLOW_INTERACTIVE_AUTHORIZATION;
    }
    GError *raw = nullptr;
    VariantPtr reply;
    if (!progress_.empty() && isatty(STDOUT_FILENO) && isatty(STDERR_FILENO))
        reply = wait_with_progress(agent, interface, method, parameters, reply_type, flags, &raw);
    else
        reply.reset(g_dbus_connection_call_sync(
            connection_.get(), agent.bus_name.c_str(), agent.object_path.c_str(), interface.c_str(),
            method.c_str(), parameters, G_VARIANT_TYPE(reply_type), flags, timeout_ms_, nullptr,
            &raw));
    ErrorPtr error{raw};
    // The agent's words as they came: the commands read them for a reason.
    if (!reply)
        throw failure_from_call_error(*error, agent, action);
    return reply;
}

namespace {

struct PendingReply {
    GMainLoop *loop;
    GVariant *reply = nullptr;
    GError *error = nullptr;
};

struct ProgressLine {
    const std::string *what;
    std::chrono::steady_clock::time_point started;
    bool drawn = false;
};

void reply_arrived(GObject *connection, GAsyncResult *result, gpointer data) {
    auto *pending = static_cast<PendingReply *>(data);
    pending->reply =
        g_dbus_connection_call_finish(G_DBUS_CONNECTION(connection), result, &pending->error);
    g_main_loop_quit(pending->loop);
}

gboolean draw_progress(gpointer data) {
    auto *line = static_cast<ProgressLine *>(data);
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
                             std::chrono::steady_clock::now() - line->started)
                             .count();
    std::fprintf(stderr, "\r\033[K%s ... %llds", line->what->c_str(),
                 static_cast<long long>(seconds));
    std::fflush(stderr);
    line->drawn = true;
    return G_SOURCE_CONTINUE;
}

} // namespace

// The call as call_sync makes it, while a line on standard error counts
// the seconds; the line is gone again once the answer is there.
VariantPtr AgentBus::wait_with_progress(const AgentInfo &agent, const std::string &interface,
                                        const std::string &method, GVariant *parameters,
                                        const char *reply_type, GDBusCallFlags flags,
                                        GError **error) {
    MainLoopPtr loop{g_main_loop_new(nullptr, FALSE)};
    PendingReply pending{loop.get()};
    g_dbus_connection_call(connection_.get(), agent.bus_name.c_str(), agent.object_path.c_str(),
                           interface.c_str(), method.c_str(), parameters,
                           G_VARIANT_TYPE(reply_type), flags, timeout_ms_, nullptr, reply_arrived,
                           &pending);
    ProgressLine line{&progress_, std::chrono::steady_clock::now()};
    const guint ticker = g_timeout_add_seconds(1, draw_progress, &line);
    g_main_loop_run(loop.get());
    g_source_remove(ticker);
    if (line.drawn)
        std::fputs("\r\033[K", stderr);
    *error = pending.error;
    return VariantPtr{pending.reply};
}

} // namespace korvex::ctl
