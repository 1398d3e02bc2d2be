#include <korvex/kcommon.h>
#include <korvex/network.h>

#include <cstdio>
#include <memory>

namespace korvex::network {

InterfaceAnswers record_answers(const sigar_net_interface_config_t &record) {
    InterfaceAnswers answers;
    answers.present = true;
    answers.state = kx_network_interface_get_flags(&record);

    const unsigned char *mac = record.hwaddr.addr.mac;
    char text[SIGAR_INET6_ADDRSTRLEN] = "";
    std::snprintf(text, sizeof text, "%.2X:%.2X:%.2X:%.2X:%.2X:%.2X", mac[0], mac[1], mac[2],
                  mac[3], mac[4], mac[5]);
    answers.mac = text;

    // An interface without IPv4 has an unset address, which SIGAR renders
    // as 0.0.0.0; only an absent interface reads as no address.
    char scratch[SIGAR_INET6_ADDRSTRLEN] = "";
    sigar_net_address_t address = record.address;
    if (sigar_net_address_to_string(nullptr, &address, scratch) == SIGAR_OK)
        answers.ip = scratch; // else nothing sensible was written
    return answers;
}

// SIGAR's own way to ask about one name: a handle, and the configuration
// of that name alone, outside any enumeration.
InterfaceAnswers interface_answers(const char *iface) {
    if (iface == nullptr)
        return {};
    sigar_t *opened = nullptr;
    if (sigar_open(&opened) != SIGAR_OK || opened == nullptr)
        return {};
    std::unique_ptr<sigar_t, decltype(&sigar_close)> handle(opened, sigar_close);
    sigar_net_interface_config_t record{};
    if (sigar_net_interface_config_get(handle.get(), iface, &record) != SIGAR_OK)
        return {};
    return record_answers(record);
}

} // namespace korvex::network

using korvex::network::interface_answers;

extern "C" char *kx_network_get_mac_address(const char *iface, char *buf, size_t size) {
    if (buf == nullptr || size == 0)
        return buf;
    kx_string_copy(buf, interface_answers(iface).mac.c_str(), size);
    return buf;
}

extern "C" char *kx_network_get_ip_address(const char *iface, char *buf, size_t size) {
    if (buf == nullptr || size == 0)
        return buf;
    kx_string_copy(buf, interface_answers(iface).ip.c_str(), size);
    return buf;
}

extern "C" int kx_network_status(const char *iface, uint64_t *state) {
    const auto answers = interface_answers(iface);
    if (!answers.present)
        return 1;
    if (state != nullptr)
        *state = answers.state;
    return 0;
}
