// Calls libknetwork (and its SIGAR layer) from inside a network namespace
// and prints what it got, one answer per line, for the tests to compare.
//
//   network_probe [--fd-limit N] [--wait-for-tools] COMMAND ARGS...
//     list                     names of kx_network_get_interfaces, in list order
//     mac NAME SIZE            buffer after kx_network_get_mac_address(NAME, buf, SIZE)
//     ip NAME SIZE             buffer after kx_network_get_ip_address(NAME, buf, SIZE)
//     status NAME              "RESULT STATE" of kx_network_status, state preset to 77
//     start|stop|restart NAME  calls the operation and prints "returned"
//     config NAME              the SIGAR record of NAME, one "key=value" per line
//
// --wait-for-tools: after printing its answer the probe waits until every
// script it spawned has ended.
//
// Buffers start as 40 '#' bytes; they are printed whole, NUL as "\0", so a
// test sees both what was written and what was left alone.
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
#include <optional>
#include <string>

namespace {

constexpr std::size_t probe_buffer_size = 40;

void print_buffer(const char *returned, const char *buffer) {
    std::string shown;
    for (std::size_t i = 0; i < probe_buffer_size; ++i)
        shown += buffer[i] == '\0' ? std::string("\\0") : std::string(1, buffer[i]);
    std::printf("%s\n%s\n", returned == buffer ? "returned-buffer" : "returned-other",
                shown.c_str());
}

template <typename Query>
int print_text_query(Query query, const char *name, const char *size_text) {
    char buffer[probe_buffer_size];
    std::memset(buffer, '#', sizeof buffer);
    std::size_t size = std::strtoul(size_text, nullptr, 10);
    if (size > sizeof buffer)
        return 2;
    print_buffer(query(name, buffer, size), buffer);
    return 0;
}

int print_status(const char *name) {
    uint64_t state = 77;
    int result = kx_network_status(name, &state);
    std::printf("%d %llu\n", result, static_cast<unsigned long long>(state));
    return 0;
}

int run_operation(void (*operation)(const char *), const char *name) {
    operation(name);
    std::printf("returned\n");
    return 0;
}

int print_list() {
    korvex::network::InterfaceList list(kx_network_get_interfaces());
    for (const GList *item = list.get(); item != nullptr; item = item->next)
        std::printf("%s\n", kx_network_interface_get_name(
                                static_cast<sigar_net_interface_config_t *>(item->data)));
    return 0;
}

std::string address_text(sigar_net_address_t address) {
    char text[SIGAR_INET6_ADDRSTRLEN];
    std::memset(text, '#', sizeof text);
    int status = sigar_net_address_to_string(nullptr, &address, text);
    return std::to_string(status) + " " + text;
}

int print_config(const char *name) {
    struct SigarCloser {
        void operator()(sigar_t *handle) const { sigar_close(handle); }
    };
    sigar_t *opened = nullptr;
    if (sigar_open(&opened) != SIGAR_OK)
        return 3;
    std::unique_ptr<sigar_t, SigarCloser> handle(opened);

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

int usage() {
    std::fprintf(stderr,
                 "usage: network_probe [--fd-limit N] [--wait-for-tools] COMMAND ARGS...\n");
    return 2;
}

} // namespace

int main(int argc, char **argv) {
    std::optional<rlimit> saved_fd_limit;
    int first = 1;
    if (argc > 2 && std::strcmp(argv[1], "--fd-limit") == 0) {
        // Only the soft limit, so that it can be lifted again before exit
        // for whatever needs descriptors then (a leak checker, say).
        rlimit fd_limit{};
        getrlimit(RLIMIT_NOFILE, &fd_limit);
        saved_fd_limit = fd_limit;
        fd_limit.rlim_cur = std::strtoul(argv[2], nullptr, 10);
        if (setrlimit(RLIMIT_NOFILE, &fd_limit) != 0) {
            std::perror("setrlimit");
            return 3;
        }
        first = 3;
    }
    bool wait_for_tools = false;
    if (argc > first && std::strcmp(argv[first], "--wait-for-tools") == 0) {
        // The scripts the library spawns (and GLib detaches) become this
        // process's children once their parent is gone: they can be waited for.
        if (prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0) {
            std::perror("prctl");
            return 3;
        }
        wait_for_tools = true;
        ++first;
    }
    if (argc <= first)
        return usage();
    const std::string command = argv[first];
    char **args = argv + first + 1;
    const int count = argc - first - 1;

    const std::map<std::string, void (*)(const char *)> operations = {
        {"start", kx_network_start}, {"stop", kx_network_stop}, {"restart", kx_network_restart}};
    int status = 2;
    if (command == "list" && count == 0)
        status = print_list();
    else if (command == "mac" && count == 2)
        status = print_text_query(kx_network_get_mac_address, args[0], args[1]);
    else if (command == "ip" && count == 2)
        status = print_text_query(kx_network_get_ip_address, args[0], args[1]);
    else if (command == "status" && count == 1)
        status = print_status(args[0]);
    else if (auto op = operations.find(command); op != operations.end() && count == 1)
        status = run_operation(op->second, args[0]);
    else if (command == "config" && count == 1)
        status = print_config(args[0]);
    else
        return usage();
    std::fflush(stdout);
    if (saved_fd_limit)
        setrlimit(RLIMIT_NOFILE, &*saved_fd_limit);
    while (wait_for_tools && (waitpid(-1, nullptr, 0) >= 0 || errno == EINTR)) {
    }
    return status;
}
