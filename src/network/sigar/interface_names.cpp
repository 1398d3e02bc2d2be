#include "interface_names.h"

#include <korvex/owners.h>

#include <fcntl.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>
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
    // The kernel fills only what fits and says how much it used: a full
    // buffer may have left entries out, so ask again with more room.
    std::vector<ifreq> requests(32);
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
        const char *name = requests[i].ifr_name;
        names.add(std::string(name, strnlen(name, IFNAMSIZ)));
    }
    return 0;
}

// "Inter-|   Receive ..." and " face |bytes ...", then one line per
// device: the name, right-aligned, up to a colon (which no device name
// holds), then its counters.
int add_device_names(NameList &names) {
    UniqueFd file(::open("/proc/net/dev", O_RDONLY | O_CLOEXEC));
    if (!file)
        return errno;
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(file.get(), buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (got == 0)
            break;
        text.append(buffer, static_cast<std::size_t>(got));
    }

    std::string_view rest = text;
    for (int line = 0; !rest.empty(); ++line) {
        const std::size_t end = std::min(rest.find('\n'), rest.size());
        std::string_view current = rest.substr(0, end);
        rest.remove_prefix(std::min(end + 1, rest.size()));
        if (line < 2)
            continue;
        const std::size_t start = current.find_first_not_of(' ');
        const std::size_t colon = current.find(':');
        if (start == std::string_view::npos || colon == std::string_view::npos || colon <= start)
            continue;
        names.add(std::string(current.substr(start, colon - start)));
    }
    return 0;
}

} // namespace

int list_interface_names(std::vector<std::string> &names) {
    NameList listed;
    if (int error = add_configured_names(listed); error != 0)
        return error;
    if (int error = add_device_names(listed); error != 0)
        return error;
    names = listed.take();
    return 0;
}

} // namespace korvex::sigar
