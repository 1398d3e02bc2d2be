#include "agent_namespace.h"

#include <atomic>
#include <sstream>
#include <stdexcept>

#include <unistd.h>

#include "process.h"

namespace korvex::test {

namespace {

CommandResult run_ip(const std::vector<std::string> &args) {
    ProcessOptions options;
    options.argv = {"ip"};
    options.argv.insert(options.argv.end(), args.begin(), args.end());
    return run_command(options, std::chrono::seconds(60));
}

void run_ip_checked(const std::vector<std::string> &args) {
    CommandResult result = run_ip(args);
    if (result.exit_code() != 0) {
        std::string command = "ip";
        for (const auto &arg : args)
            command += " " + arg;
        throw std::runtime_error(command + " failed: " + result.err);
    }
}

// Interface names are at most 15 characters; namespace names are not bound
// by that, but pid and a per-process counter keep parallel tests apart.
std::string unique_name(const char *role) {
    static std::atomic<int> counter{0};
    return "kxagent-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + "-" + role;
}

} // namespace

NamedNetns::NamedNetns(std::string name) : name_(std::move(name)) {
    run_ip_checked({"netns", "add", name_});
}

NamedNetns::~NamedNetns() { run_ip({"netns", "del", name_}); }

AgentNamespace::AgentNamespace() : space_(unique_name("served")), peers_(unique_name("peers")) {}

void AgentNamespace::ip(const std::vector<std::string> &args) const {
    std::vector<std::string> full{"-n", name()};
    full.insert(full.end(), args.begin(), args.end());
    run_ip_checked(full);
}

void AgentNamespace::add_veth(const std::string &name, const std::string &mac) {
    const std::string peer = "peer" + std::to_string(peer_count_++);
    ip({"link", "add", name, "address", mac, "type", "veth", "peer", "name", peer, "netns",
        peers_.name()});
}

std::vector<std::string> AgentNamespace::link_names() const {
    CommandResult listing = run_ip({"-n", name(), "-o", "link", "show"});
    if (listing.exit_code() != 0)
        throw std::runtime_error("ip -o link show failed: " + listing.err);
    std::vector<std::string> names;
    std::istringstream lines(listing.out);
    for (std::string line; std::getline(lines, line);) {
        // "3: eth0@if2: <BROADCAST,..." - the name ends at '@' or ':'.
        const size_t start = line.find(": ");
        if (start == std::string::npos)
            continue;
        const size_t end = line.find_first_of("@:", start + 2);
        names.push_back(line.substr(start + 2, end - start - 2));
    }
    return names;
}

} // namespace korvex::test
