#include "netns.h"

#include <atomic>

#include <unistd.h>

#include "process.h"

namespace korvex::test {

NetNamespace::NetNamespace(const std::string &role) {
    static std::atomic<int> counter{0};
    name_ = "kx-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + "-" + role;
    run_checked(command({"ip", "netns", "add", name_}));
}

NetNamespace::~NetNamespace() { run_command(command({"ip", "netns", "del", name_})); }

std::string NetNamespace::ip(const std::vector<std::string> &args) const {
    ProcessOptions options = command({"ip", "-n", name_});
    options.argv.insert(options.argv.end(), args.begin(), args.end());
    return run_checked(options).out;
}

void NetNamespace::add_veth(const std::string &name, const std::string &mac) {
    if (!peers_)
        peers_ = std::make_unique<NetNamespace>("peers");
    std::vector<std::string> args{"link", "add", name};
    if (!mac.empty())
        args.insert(args.end(), {"address", mac});
    args.insert(args.end(), {"type", "veth", "peer", "name", "peer" + std::to_string(peer_count_++),
                             "netns", peers_->name()});
    ip(args);
}

std::vector<std::string> NetNamespace::link_names() const {
    std::vector<std::string> names;
    // "eth0@if3     UP ...": the name ends at '@' or a blank.
    for (const std::string &line : split_lines(ip({"-br", "link", "show"})))
        names.push_back(line.substr(0, line.find_first_of("@ ")));
    return names;
}

} // namespace korvex::test
