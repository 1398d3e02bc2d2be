// The two agents korvexctl talks to: where they are on the bus and which
// properties they publish.
#ifndef KORVEXCTL_AGENT_CATALOG_H
#define KORVEXCTL_AGENT_CATALOG_H

#include <string>
#include <vector>

namespace korvex::ctl {

struct PropertyInfo {
    std::string name;
    char type; // D-Bus type letter of the value
    bool writable;
};

struct AgentInfo {
    std::string word; // as typed on the command line
    std::string bus_name;
    std::string object_path;
    std::string interface;
    std::vector<PropertyInfo> properties;

    const PropertyInfo *property(const std::string &name) const;
    std::string property_names() const; // "a, b, c" for messages
};

const AgentInfo &sysconfig_agent();
const AgentInfo &network_agent();
// nullptr when no agent answers to `word`.
const AgentInfo *find_agent(const std::string &word);

} // namespace korvex::ctl

#endif
