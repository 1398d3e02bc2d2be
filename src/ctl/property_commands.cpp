// korvexctl get and set: the agents' org.freedesktop.DBus.Properties.
#include <charconv>
#include <iostream>

#include "agent_bus.h"
#include "commands.h"
#include "json_text.h"

namespace korvex::ctl {

namespace {

const AgentInfo &agent_named(const std::string &word, const std::string &topic) {
    const AgentInfo *agent = find_agent(word);
    if (agent == nullptr)
        throw UsageError("unknown agent \"" + word + "\" (sysconfig or network)", topic);
    return *agent;
}

// Checked here, because the agent would answer an unknown name with an
// authorization failure (no PolicyKit action exists for it).
const PropertyInfo &property_named(const AgentInfo &agent, const std::string &name,
                                   const std::string &topic) {
    const PropertyInfo *property = agent.property(name);
    if (property == nullptr)
        throw UsageError("the " + agent.word + " agent has no property \"" + name + "\" (it has " +
                             agent.property_names() + ")",
                         topic);
    return *property;
}

} // namespace

ExitStatus get_command(const CommandLine &line) {
    line.accept_only({}, "get");
    const auto args = operands(line, 1, {"AGENT", "PROPERTY"}, "get");
    const AgentInfo &agent = agent_named(args[0], "get");
    const PropertyInfo &property = property_named(agent, args[1], "get");

    AgentBus bus(line);
    const VariantPtr value = bus.get_property(agent, property.name);

    JsonObject out;
    out.add("agent", agent.word).add("property", property.name);
    std::string text;
    if (g_variant_is_of_type(value.get(), G_VARIANT_TYPE_STRING)) {
        text = g_variant_get_string(value.get(), nullptr);
        out.add("value", text);
    } else if (g_variant_is_of_type(value.get(), G_VARIANT_TYPE_UINT32)) {
        const int64_t number = g_variant_get_uint32(value.get());
        text = std::to_string(number);
        out.add("value", number);
    } else if (g_variant_is_of_type(value.get(), G_VARIANT_TYPE_INT32)) {
        const int64_t number = g_variant_get_int32(value.get());
        text = std::to_string(number);
        out.add("value", number);
    } else {
        GCharPtr printed{g_variant_print(value.get(), FALSE)};
        text = printed.get();
        out.add("value", text);
    }
    std::cout << (line.json() ? out.text() : text) << '\n';
    return ExitStatus::ok;
}

ExitStatus set_command(const CommandLine &line) {
    line.accept_only({}, "set");
    const auto args = operands(line, 1, {"AGENT", "PROPERTY", "VALUE"}, "set");
    const AgentInfo &agent = agent_named(args[0], "set");
    const PropertyInfo &property = property_named(agent, args[1], "set");
    if (!property.writable)
        throw UsageError("property \"" + property.name + "\" is read-only", "set");

    // The only writable property is unsigned; refuse anything else early.
    guint32 number = 0;
    const std::string &text = args[2];
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (text.empty() || error != std::errc() || end != text.data() + text.size())
        throw UsageError("\"" + text + "\" is not an unsigned number", "set");

    AgentBus bus(line);
    bus.set_property(agent, property.name, g_variant_new_uint32(number));
    if (line.json())
        std::cout << JsonObject()
                         .add("agent", agent.word)
                         .add("property", property.name)
                         .add("value", static_cast<int64_t>(number))
                         .text()
                  << '\n';
    return ExitStatus::ok;
}

} // namespace korvex::ctl
