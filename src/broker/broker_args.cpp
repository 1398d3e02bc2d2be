// The broker's argument vector: the launcher's argv[0], the port and the
// fixed broker options, then whatever the launcher itself was given.
#include "broker_launcher.h"

#include <korvex/kcommon.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char *fixed_broker_options[] = {
    "--data-dir=/var/lib/korvex",
    "--no-module-dir",
    "--load-module=/usr/lib64/qpid/daemon/ssl.so",
};

// Room for the program name, the port option, the fixed options and the
// terminator.
constexpr int extra_entries = 5;

// "--port=" plus at most 5 digits and the terminator: never cut.
constexpr std::size_t port_option_size = 13;

} // namespace

extern "C" char **broker_args(int argc, char **argv) {
    if (argc < 0)
        argc = 0;
    auto *list = static_cast<char **>(
        std::malloc(sizeof(char *) * static_cast<std::size_t>(argc + extra_entries)));
    if (list == nullptr) {
        kx_log(KX_LOG_ERR, "%s: Failed to allocate argument list", "broker_args");
        return nullptr;
    }
    korvex::broker::BrokerArgs owner(list);

    std::size_t next = 0;
    // Each copy is stored before it is checked: a null entry ends the list
    // where the failed copy would have gone, so the owner frees exactly the
    // copies made so far.
    auto append = [&](const char *text) {
        list[next] = strdup(text);
        return list[next++] != nullptr;
    };

    bool copied = argc == 0 || append(argv[0]);
    if (copied) {
        std::array<char, port_option_size> port_option{};
        std::snprintf(port_option.data(), port_option.size(), "--port=%hu", broker_get_port());
        copied = append(port_option.data());
    }
    for (const char *option : fixed_broker_options)
        copied = copied && append(option);
    for (int i = 1; copied && i < argc; ++i)
        copied = append(argv[i]);

    if (!copied) {
        kx_log(KX_LOG_ERR, "%s: Failed to allocate string", "broker_args");
        return nullptr;
    }
    list[next] = nullptr;
    return owner.release();
}

extern "C" void broker_args_free(char **list) {
    if (list == nullptr)
        return;
    for (char **entry = list; *entry != nullptr; ++entry)
        std::free(*entry);
    std::free(list);
}
