// The host UUID comes from /etc/machine-id (the identity the init system
// and D-Bus already use), the DMI product UUID being the fallback for hosts
// without one.
#include "korvex/kcommon.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <fstream>
#include <string>
#include <string_view>
#include <unistd.h>

namespace {

std::string first_line_of(const char *path) {
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line))
        return {};
    auto not_space = [](unsigned char c) { return !std::isspace(c); };
    line.erase(line.begin(), std::find_if(line.begin(), line.end(), not_space));
    line.erase(std::find_if(line.rbegin(), line.rend(), not_space).base(), line.end());
    std::transform(line.begin(), line.end(), line.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return line;
}

bool all_hex(std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isxdigit(c); });
}

std::string uuid_from_machine_id() {
    std::string id = first_line_of("/etc/machine-id");
    if (id.size() != 32 || !all_hex(id))
        return {};
    return id.substr(0, 8) + '-' + id.substr(8, 4) + '-' + id.substr(12, 4) + '-' +
           id.substr(16, 4) + '-' + id.substr(20, 12);
}

bool is_uuid_text(std::string_view s) {
    if (s.size() != 36)
        return false;
    for (size_t i = 0; i < s.size(); ++i) {
        bool dash_position = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash_position ? s[i] != '-' : !std::isxdigit(static_cast<unsigned char>(s[i])))
            return false;
    }
    return true;
}

std::string uuid_from_dmi() {
    std::string id = first_line_of("/sys/class/dmi/id/product_uuid");
    return is_uuid_text(id) ? id : std::string();
}

std::string read_uuid() {
    std::string id = uuid_from_machine_id();
    return id.empty() ? uuid_from_dmi() : id;
}

std::string read_hostname() {
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name) != 0)
        return {};
    name[HOST_NAME_MAX] = '\0';
    return name;
}

} // namespace

extern "C" const char *kx_uuid(void) {
    static const std::string uuid = read_uuid();
    return uuid.c_str();
}

extern "C" const char *kx_hostname(void) {
    static const std::string hostname = read_hostname();
    return hostname.c_str();
}
