// A network namespace for the network agent to serve, plus a second one
// that takes the far ends of its veth pairs so only the near ends are
// listed. Both are deleted with everything in them when the owner goes.
#ifndef KORVEX_TESTS_NETWORK_AGENT_AGENT_NAMESPACE_H
#define KORVEX_TESTS_NETWORK_AGENT_AGENT_NAMESPACE_H

#include <string>
#include <vector>

namespace korvex::test {

class NamedNetns {
public:
    explicit NamedNetns(std::string name);
    ~NamedNetns();
    NamedNetns(const NamedNetns &) = delete;
    NamedNetns &operator=(const NamedNetns &) = delete;

    const std::string &name() const { return name_; }

private:
    std::string name_;
};

class AgentNamespace {
public:
    AgentNamespace();

    const std::string &name() const { return space_.name(); }

    // "ip -n NS args...": throws with the tool's output when it fails.
    void ip(const std::vector<std::string> &args) const;
    // A veth whose peer lives in the second namespace.
    void add_veth(const std::string &name, const std::string &mac);
    // Link names in the order "ip -o link" enumerates them.
    std::vector<std::string> link_names() const;
    // The argument vector that runs a command inside the namespace.
    std::vector<std::string> exec_prefix() const { return {"ip", "netns", "exec", name()}; }

private:
    NamedNetns space_;
    NamedNetns peers_;
    int peer_count_ = 0;
};

} // namespace korvex::test

#endif
