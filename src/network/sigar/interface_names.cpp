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

// The labels SIOCGIFCONF gives, each once, in its order, appended to
// `names` and kept in `labels`.
int add_configured_names(std::size_t expected, std::vector<std::string> &names,
                         std::unordered_set<std::string> &labels) {
    UniqueFd socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!socket)
        return errno;
    // The kernel fills only what fits and says how much it used: a full
    // buffer may have left entries out (addresses added since the caller
    // counted them), so ask again with more room.
    std::vector<ifreq> requests(expected + 8);
    ifconf configuration{};
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
        const char *raw = requests[i].ifr_name;
        std::string name(raw, strnlen(raw, IFNAMSIZ));
        if (!name.empty() && labels.insert(name).second)
            names.push_back(std::move(name));
    }
    return 0;
}

} // namespace

int list_interface_names(const std::vector<std::string> &devices, std::size_t ipv4_addresses,
                         std::vector<std::string> &names) {
    std::vector<std::string> listed;
    std::unordered_set<std::string> labels;
    if (int error = add_configured_names(ipv4_addresses, listed, labels); error != 0)
        return error;
    // The kernel's device names differ from each other: only a label can
    // have listed one already.
    listed.reserve(listed.size() + devices.size());
    for (const std::string &device : devices) {
        if (!device.empty() && labels.count(device) == 0)
            listed.push_back(device);
    }
    names = std::move(listed);
    return 0;
}

} // namespace korvex::sigar
