#include "interface_names.h"

#include <korvex/owners.h>

#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <unordered_set>

namespace korvex::sigar {

namespace {

// Names in the order of their first appearance, each once.
class NameList {
public:
    void add(std::string name) {
        if (!name.empty() && seen_.insert(name).second)
            names_.push_back(std::move(name));
    }
    std::vector<std::string> take() { return std::move(names_); }

private:
    std::vector<std::string> names_;
    std::unordered_set<std::string> seen_;
};

int add_configured_names(NameList &names) {
    UniqueFd socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!socket)
        return errno;
    // Without a buffer the kernel says how much room the entries need. It
    // fills only what fits and says how much it used: a full buffer may
    // have left entries out (some were added in between), so ask again
    // with more room.
    ifconf configuration{};
    if (::ioctl(socket.get(), SIOCGIFCONF, &configuration) != 0)
        return errno;
    std::vector<ifreq> requests(static_cast<std::size_t>(configuration.ifc_len) / sizeof(ifreq) +
                                8);
    for (;;) {
        const auto capacity = static_cast<int>(requests.size() * sizeof(ifreq));
        configuration.ifc_len = capacity;
        configuration.ifc_req = requests.data();
        if (::ioctl(socket.get(), SIOCGIFCONF, &configuration) != 0)
            return errno;
        if (configuration.ifc_len < capacity)
            break;
        requests.resize(requests.size() * 2);
    }
    const auto count = static_cast<std::size_t>(configuration.ifc_len) / sizeof(ifreq);
    for (std::size_t i = 0; i < count; ++i) {
        const char *name = requests[i].ifr_name;
        names.add(std::string(name, strnlen(name, IFNAMSIZ)));
    }
    return 0;
}

} // namespace

int list_interface_names(const std::vector<std::string> &devices, std::vector<std::string> &names) {
    NameList listed;
    if (int error = add_configured_names(listed); error != 0)
        return error;
    for (const std::string &device : devices)
        listed.add(device);
    names = listed.take();
    return 0;
}

} // namespace korvex::sigar
