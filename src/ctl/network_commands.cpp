// korvexctl network: list, status, start, stop, ip, mac.
#include <algorithm>
#include <charconv>
#include <iomanip>
#include <iostream>
#include <map>
#include <optional>

#include "agent_bus.h"
#include "agent_signals.h"
#include "commands.h"
#include "json_text.h"

namespace korvex::ctl {

namespace {

bool interface_state(AgentBus &bus, const std::string &method, const std::string &iface) {
    const VariantPtr reply =
        bus.call(network_agent(), method, g_variant_new("(s)", iface.c_str()), "(u)");
    guint32 up = 0;
    g_variant_get(reply.get(), "(u)", &up);
    return up == 1;
}

const char *state_word(bool up) { return up ? "up" : "down"; }

std::vector<std::string> interface_names(AgentBus &bus) {
    const VariantPtr reply = bus.call(network_agent(), "list", nullptr, "(as)");
    std::vector<std::string> names;
    const VariantPtr listed{g_variant_get_child_value(reply.get(), 0)};
    for (gsize i = 0; i < g_variant_n_children(listed.get()); ++i) {
        const char *name = nullptr;
        g_variant_get_child(listed.get(), i, "&s", &name);
        names.emplace_back(name);
    }
    return names;
}

// The agent answers a name no interface has as if it named a down one (and
// start runs ifup on it); an administrator who mistyped should hear so.
void require_interface(AgentBus &bus, const std::string &iface) {
    const auto names = interface_names(bus);
    if (std::find(names.begin(), names.end(), iface) == names.end())
        throw CommandFailure(ExitStatus::bad_argument,
                             "no interface \"" + iface + "\" (see korvexctl network list)");
}

} // namespace

std::vector<std::pair<std::string, bool>> interface_states(AgentBus &bus) {
    std::vector<std::pair<std::string, bool>> interfaces;
    for (const auto &iface : interface_names(bus))
        interfaces.emplace_back(iface, interface_state(bus, "status", iface));
    return interfaces;
}

namespace {

ExitStatus list(const CommandLine &line) {
    line.accept_only({}, "network list");
    operands(line, 2, {}, "network list");
    AgentBus bus(line);
    const auto interfaces = interface_states(bus);

    if (line.json()) {
        std::vector<JsonObject> items;
        for (const auto &[iface, up] : interfaces)
            items.push_back(JsonObject().add("name", iface).add("up", up));
        std::cout << JsonObject().add("interfaces", items).text() << '\n';
        return ExitStatus::ok;
    }
    size_t width = 0;
    for (const auto &entry : interfaces)
        width = std::max(width, entry.first.size());
    for (const auto &[iface, up] : interfaces)
        std::cout << std::left << std::setw(static_cast<int>(width) + 2) << iface << state_word(up)
                  << '\n';
    return ExitStatus::ok;
}

constexpr unsigned kDefaultWaitSeconds = 10;
constexpr unsigned kLongestWaitSeconds = 86400;

// How long start and stop wait for the state they ask for: --wait
// SECONDS, 10 by default; none with --no-wait.
std::optional<unsigned> wait_seconds(const CommandLine &line, const std::string &topic) {
    const auto text = line.value("--wait");
    if (line.has("--no-wait")) {
        if (text)
            throw UsageError("--wait and --no-wait exclude each other", topic);
        return std::nullopt;
    }
    if (!text)
        return kDefaultWaitSeconds;
    unsigned seconds = 0;
    const char *end = text->data() + text->size();
    const auto [stop, error] = std::from_chars(text->data(), end, seconds);
    if (text->empty() || error != std::errc() || stop != end || seconds > kLongestWaitSeconds)
        throw UsageError("--wait wants a number of seconds up to " +
                             std::to_string(kLongestWaitSeconds) + ", not \"" + *text + "\"",
                         topic);
    return seconds;
}

struct Deadline {
    GMainLoop *loop;
    bool passed = false;
};

gboolean deadline_passed(gpointer data) {
    auto *deadline = static_cast<Deadline *>(data);
    deadline->passed = true;
    g_main_loop_quit(deadline->loop);
    return G_SOURCE_REMOVE;
}

// start or stop, then the agent's interface_changed signals until one
// brings the wanted state or `seconds` have passed. The agent answers with
// the state read right after it started the script, so that answer counts
// too. Listening starts before the call: nothing said after it is missed.
bool change_and_wait(AgentBus &bus, const std::string &sub, const std::string &iface,
                     unsigned seconds) {
    const bool want_up = sub == "start";
    MainLoopPtr loop{g_main_loop_new(nullptr, FALSE)};
    SignalWatch watch(bus.connection(), [&](const InterfaceChange &change) {
        if (change.iface == iface && change.up() == want_up)
            g_main_loop_quit(loop.get());
    });
    if (interface_state(bus, sub, iface) == want_up)
        return want_up;
    Deadline deadline{loop.get()};
    SourcePtr timer{g_timeout_source_new(seconds * 1000)};
    g_source_set_callback(timer.get(), deadline_passed, &deadline, nullptr);
    g_source_attach(timer.get(), nullptr);
    g_main_loop_run(loop.get());
    g_source_destroy(timer.get());
    if (deadline.passed)
        throw CommandFailure(ExitStatus::failed,
                             iface + (want_up ? " did not come up" : " did not go down") +
                                 " within " + std::to_string(seconds) + " s (" +
                                 (want_up ? "ifup" : "ifdown") +
                                 "'s messages are in the agent's log)");
    return want_up;
}

ExitStatus state_change(const CommandLine &line, const std::string &sub) {
    const std::string topic = "network " + sub;
    const bool changes = sub != "status";
    line.accept_only(changes ? std::set<std::string>{"--wait", "--no-wait"}
                             : std::set<std::string>{},
                     topic);
    const std::string iface = operands(line, 2, {"IFACE"}, topic).at(0);
    const std::optional<unsigned> wait = changes ? wait_seconds(line, topic) : std::nullopt;
    AgentBus bus(line);
    require_interface(bus, iface);
    const bool up =
        wait ? change_and_wait(bus, sub, iface, *wait) : interface_state(bus, sub, iface);
    if (line.json())
        std::cout << JsonObject().add("interface", iface).add("up", up).text() << '\n';
    else
        std::cout << iface << ": " << state_word(up) << '\n';
    return ExitStatus::ok;
}

ExitStatus address(const CommandLine &line, const std::string &sub) {
    static const std::map<std::string, std::pair<std::string, std::string>> methods = {
        {"ip", {"get_ip_address", "ip"}}, {"mac", {"get_mac_address", "mac"}}};
    const auto &[method, field] = methods.at(sub);
    const std::string topic = "network " + sub;
    line.accept_only({}, topic);
    const std::string iface = operands(line, 2, {"IFACE"}, topic).at(0);
    AgentBus bus(line);
    require_interface(bus, iface);
    const VariantPtr reply =
        bus.call(network_agent(), method, g_variant_new("(s)", iface.c_str()), "(s)");
    const char *value = nullptr;
    g_variant_get(reply.get(), "(&s)", &value);
    if (line.json())
        std::cout << JsonObject().add("interface", iface).add(field, value).text() << '\n';
    else if (*value != '\0')
        std::cout << value << '\n';
    return ExitStatus::ok;
}

} // namespace

ExitStatus network_command(const CommandLine &line) {
    if (line.words.size() < 2)
        throw UsageError("missing network command", "network");
    const std::string &sub = line.words[1];
    if (sub == "list")
        return list(line);
    if (sub == "status" || sub == "start" || sub == "stop")
        return state_change(line, sub);
    if (sub == "ip" || sub == "mac")
        return address(line, sub);
    throw UsageError("unknown network command \"" + sub + "\"", "network");
}

} // namespace korvex::ctl
