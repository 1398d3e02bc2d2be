// Calls libknetwork (and its SIGAR layer) from inside a network namespace
// and prints what it got, one answer per line, for the tests to compare.
//   network_probe [--fd-limit N] [--wait-for-tools] COMMAND ARGS...
//     list                     names of kx_network_get_interfaces, in list order
//     mac|ip NAME SIZE         the buffer after kx_network_get_{mac,ip}_address
//     status NAME              "RESULT STATE" of kx_network_status, state preset to 77
//     start|stop|restart NAME  calls the operation and prints "returned"
//     config NAME              the SIGAR record of NAME, one "key=value" per line
//     answers NAME...          "NAME|STATE|IP|MAC" of the three queries per name (STATE "absent")
//     records                  the same line made from each record of the list
// --wait-for-tools: after its answer the probe waits for every script it spawned.
// Buffers start as 40 '#' bytes and are printed whole, NUL as "\0", so a test
// sees both what was written and what was left alone.
#include <korvex/network.h>
#include <sigar.h>

#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>

namespace {

int print_text_query(decltype(&kx_network_get_ip_address) query, const char *name,
                     const char *size_text) {
    std::string buffer(40, '#');
    std::size_t size = std::strtoul(size_text, nullptr, 10);
    if (size > buffer.size())
        return 2;
    const char *returned = query(name, buffer.data(), size);
    std::string shown;
    for (char c : buffer)
        shown += c == '\0' ? std::string("\\0") : std::string(1, c);
    std::printf("%s\n%s\n", returned == buffer.data() ? "returned-buffer" : "returned-other",
                shown.c_str());
    return 0;
}

std::string address_text(sigar_net_address_t address) {
    std::string text(SIGAR_INET6_ADDRSTRLEN, '#');
    int status = sigar_net_address_to_string(nullptr, &address, text.data());
    return std::to_string(status) + " " + text.c_str();
}

int print_config(const char *name) {
    sigar_t *opened = nullptr;
    if (sigar_open(&opened) != SIGAR_OK)
        return 3;
    std::unique_ptr<sigar_t, decltype(&sigar_close)> handle(opened, sigar_close);

    sigar_net_interface_config_t config{};
    int status = sigar_net_interface_config_get(handle.get(), name, &config);
    std::printf("status=%d\n", status);
    if (status != SIGAR_OK)
        return 0;
    std::printf("name=%s\ntype=%s\ndescription=%s\n", config.name, config.type, config.description);
    std::printf("hwaddr=%s\n", address_text(config.hwaddr).c_str());
    std::printf("address=%s\n", address_text(config.address).c_str());
    std::printf("netmask=%s\n", address_text(config.netmask).c_str());
    std::printf("broadcast=%s\n", address_text(config.broadcast).c_str());
    std::printf("destination=%s\n", address_text(config.destination).c_str());
    std::printf("address6=%s\n", address_text(config.address6).c_str());
    std::printf("prefix6_length=%d\nscope6=%d\n", config.prefix6_length, config.scope6);
    std::printf("flags=%#llx\n", static_cast<unsigned long long>(config.flags));
    std::printf("mtu=%llu\nmetric=%llu\ntx_queue_len=%d\n",
                static_cast<unsigned long long>(config.mtu),
                static_cast<unsigned long long>(config.metric), config.tx_queue_len);
    return 0;
}

void print_answers(const char *name, const std::string &state, const char *ip, const char *mac) {
    std::printf("%s|%s|%s|%s\n", name, state.c_str(), ip, mac);
}

// Each record's answers as the queries used to find them: by walking the list.
void print_records() {
    korvex::network::InterfaceList list(kx_network_get_interfaces());
    for (const GList *item = list.get(); item != nullptr; item = item->next) {
        auto *record = static_cast<sigar_net_interface_config_t *>(item->data);
        char ip[SIGAR_INET6_ADDRSTRLEN] = "";
        char mac[SIGAR_INET6_ADDRSTRLEN] = "";
        sigar_net_address_to_string(nullptr, &record->address, ip);
        sigar_net_address_to_string(nullptr, &record->hwaddr, mac);
        print_answers(record->name, std::to_string(kx_network_interface_get_flags(record)), ip, mac);
    }
}

} // namespace

int main(int argc, char **argv) {
    rlimit saved_fd_limit{};
    getrlimit(RLIMIT_NOFILE, &saved_fd_limit);
    int first = 1;
    if (argc > 2 && std::strcmp(argv[1], "--fd-limit") == 0) {
        // Only the soft limit, to lift it again before exit (for a leak checker, say).
        rlimit fd_limit = saved_fd_limit;
        fd_limit.rlim_cur = std::strtoul(argv[2], nullptr, 10);
        if (setrlimit(RLIMIT_NOFILE, &fd_limit) != 0)
            return 3;
        first = 3;
    }
    // Scripts the library spawns (GLib detaches them) become children to wait for.
    const bool wait_for_tools = argc > first && std::strcmp(argv[first], "--wait-for-tools") == 0;
    if (wait_for_tools && prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0)
        return 3;
    first += wait_for_tools;
    const std::string command = argc > first ? argv[first] : "";
    char **args = argv + first + 1;
    const int count = argc - first - 1;

    const std::map<std::string, void (*)(const char *)> operations = {
        {"start", kx_network_start}, {"stop", kx_network_stop}, {"restart", kx_network_restart}};
    int status = 0;
    if (command == "list" && count == 0) {
        korvex::network::InterfaceList list(kx_network_get_interfaces());
        for (const GList *item = list.get(); item != nullptr; item = item->next)
            std::printf("%s\n", kx_network_interface_get_name(
                                    static_cast<sigar_net_interface_config_t *>(item->data)));
    } else if ((command == "mac" || command == "ip") && count == 2) {
        status = print_text_query(command == "mac" ? kx_network_get_mac_address
                                                   : kx_network_get_ip_address,
                                  args[0], args[1]);
    } else if (command == "status" && count == 1) {
        uint64_t state = 77;
        int result = kx_network_status(args[0], &state);
        std::printf("%d %llu\n", result, static_cast<unsigned long long>(state));
    } else if (auto op = operations.find(command); op != operations.end() && count == 1) {
        op->second(args[0]);
        std::printf("returned\n");
    } else if (command == "answers") {
        for (int i = 0; i < count; ++i) {
            uint64_t state = 0;
            char ip[64], mac[32];
            const bool absent = kx_network_status(args[i], &state) != 0;
            print_answers(args[i], absent ? "absent" : std::to_string(state),
                          kx_network_get_ip_address(args[i], ip, sizeof ip),
                          kx_network_get_mac_address(args[i], mac, sizeof mac));
        }
    } else if (command == "records" && count == 0) {
        print_records();
    } else if (command == "config" && count == 1) {
        status = print_config(args[0]);
    } else {
        std::fprintf(stderr, "usage: network_probe [OPTIONS] COMMAND ARGS...\n");
        return 2;
    }
    std::fflush(stdout);
    setrlimit(RLIMIT_NOFILE, &saved_fd_limit);
    while (wait_for_tools && (waitpid(-1, nullptr, 0) >= 0 || errno == EINTR)) {
    }
    return status;
}
