// srv_lookup_probe NAME HOST_SIZE: prints "found HOST PORT" or "none HOST PORT";
// on "none" the outputs must still hold their values from before.
#include "korvex/kcommon.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char **argv) {
    if (argc != 3)
        return 2;
    const size_t host_size = std::strtoul(argv[2], nullptr, 10);
    std::vector<char> host(host_size + 1, '\0');
    kx_string_copy(host.data(), "untouched", host.size());
    uint16_t port = 7;
    const int rc = kx_dnssrv_lookup_single(argv[1], host.data(), host_size, &port);
    std::printf("%s %s %u", rc == 0 ? "found" : "none", host.data(), static_cast<unsigned>(port));
}
