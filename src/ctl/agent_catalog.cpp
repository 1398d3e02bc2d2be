#include "agent_catalog.h"

namespace korvex::ctl {

const PropertyInfo *AgentInfo::property(const std::string &name) const {
    for (const auto &p : properties)
        if (p.name == name)
            return &p;
    return nullptr;
}

std::string AgentInfo::property_names() const {
    std::string text;
    for (const auto &p : properties)
        text += (text.empty() ? "" : ", ") + p.name;
    return text;
}

const AgentInfo &sysconfig_agent() {
    static const AgentInfo agent{"sysconfig",
                                 "org.vaduderuvoziz.Sysconfig",
                                 "/org/vaduderuvoziz/Sysconfig",
                                 "org.vaduderuvoziz.Sysconfig",
                                 {{"uuid", 's', false},
                                  {"hostname", 's', false},
                                  {"is_postboot_configured", 'u', true},
                                  {"qmf-gen-no-crash", 'i', false}}};
    return agent;
}

const AgentInfo &network_agent() {
    static const AgentInfo agent{
        "network",
        "org.vaduderuvoziz.Network",
        "/org/vaduderuvoziz/Network",
        "org.vaduderuvoziz.Network",
        {{"uuid", 's', false}, {"hostname", 's', false}, {"qmf-gen-no-crash", 'i', false}}};
    return agent;
}

const AgentInfo *find_agent(const std::string &word) {
    if (word == sysconfig_agent().word)
        return &sysconfig_agent();
    if (word == network_agent().word)
        return &network_agent();
    return nullptr;
}

} // namespace korvex::ctl
