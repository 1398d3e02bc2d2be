// korvexctl network: list, status, start, stop, ip, mac.
#include <algorithm>
#include <iomanip>
#include <iostream>
#include <map>

#include "agent_bus.h"
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

ExitStatus state_change(const CommandLine &line, const std::string &sub) {
    const std::string topic = "network " + sub;
    line.accept_only({}, topic);
    const std::string iface = operands(line, 2, {"IFACE"}, topic).at(0);
    AgentBus bus(line);
    require_interface(bus, iface);
    const bool up = interface_state(bus, sub, iface);
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
