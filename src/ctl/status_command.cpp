// korvexctl with no command (or "status"): the host as the agents see it,
// which of them answer, and the network interfaces with their state.
#include <algorithm>
#include <cctype>
#include <iomanip>
#include <iostream>
#include <optional>
#include <sstream>

#include "commands.h"
#include "json_text.h"

namespace korvex::ctl {

namespace {

struct AgentAnswer {
    const AgentInfo *agent;
    std::optional<CommandFailure> failure; // empty when the agent answered
};

std::string string_property(AgentBus &bus, const AgentInfo &agent, const std::string &name) {
    const VariantPtr value = bus.get_property(agent, name);
    return g_variant_is_of_type(value.get(), G_VARIANT_TYPE_STRING)
               ? g_variant_get_string(value.get(), nullptr)
               : "";
}

// "   Label: value", the labels right-aligned as hostnamectl has them; a
// field of several lines has its label (and colon) on the first one only.
void print_field(const std::string &label, const std::string &value) {
    std::cout << std::right << std::setw(16) << label << (label.empty() ? "  " : ": ") << value
              << '\n';
}

} // namespace

ExitStatus status_command(const CommandLine &line) {
    line.accept_only({}, "status");
    operands(line, line.words.empty() ? 0 : 1, {}, "status");
    AgentBus bus(line);

    std::string hostname, uuid;
    std::vector<AgentAnswer> answers;
    for (const AgentInfo *agent : {&sysconfig_agent(), &network_agent()}) {
        try {
            const std::string agent_uuid = string_property(bus, *agent, "uuid");
            if (uuid.empty()) {
                uuid = agent_uuid;
                hostname = string_property(bus, *agent, "hostname");
            }
            answers.push_back({agent, std::nullopt});
        } catch (const CommandFailure &failure) {
            answers.push_back({agent, failure});
        }
    }
    std::vector<std::pair<std::string, bool>> interfaces;
    if (!answers.back().failure) {
        try {
            interfaces = interface_states(bus);
        } catch (const CommandFailure &failure) {
            answers.back().failure = failure;
        }
    }

    if (line.json()) {
        std::vector<JsonObject> agents, items;
        for (const auto &answer : answers) {
            JsonObject item;
            item.add("agent", answer.agent->word).add("bus_name", answer.agent->bus_name);
            item.add("answers", !answer.failure);
            if (answer.failure)
                item.add("error", answer.failure->what());
            agents.push_back(item);
        }
        for (const auto &[iface, up] : interfaces)
            items.push_back(JsonObject().add("name", iface).add("up", up));
        std::cout << JsonObject()
                         .add("hostname", hostname)
                         .add("uuid", uuid)
                         .add("agents", agents)
                         .add("interfaces", items)
                         .text()
                  << '\n';
    } else {
        print_field("Host name", hostname.empty() ? "(unknown)" : hostname);
        print_field("Host UUID", uuid.empty() ? "(unknown)" : uuid);
        for (const auto &answer : answers) {
            std::string label = answer.agent->word + " agent";
            label[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(label[0])));
            print_field(label, answer.failure
                                   ? std::string("not answering: ") + answer.failure->what()
                                   : "answering (" + answer.agent->bus_name + ")");
        }
        size_t width = 0;
        for (const auto &entry : interfaces)
            width = std::max(width, entry.first.size());
        std::string label = "Interfaces";
        for (const auto &[iface, up] : interfaces) {
            std::ostringstream row;
            row << std::left << std::setw(static_cast<int>(width) + 2) << iface
                << (up ? "up" : "down");
            print_field(label, row.str());
            label.clear();
        }
    }

    // Useful as long as one agent answers; otherwise say why none did.
    for (const auto &answer : answers)
        if (!answer.failure)
            return ExitStatus::ok;
    return answers.front().failure->status();
}

} // namespace korvex::ctl
