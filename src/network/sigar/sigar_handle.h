// What a sigar_t holds: the socket the interface ioctls go through and
// the snapshot of the enumeration in progress.
#ifndef KORVEX_SIGAR_HANDLE_H
#define KORVEX_SIGAR_HANDLE_H

#include "interface_snapshot.h"
#include "unique_fd.h"

#include <optional>

struct sigar_t {
    korvex::sigar::UniqueFd control_socket;
    // Set by sigar_net_interface_list_get, dropped by
    // sigar_net_interface_list_destroy.
    std::optional<korvex::sigar::InterfaceSnapshot> enumeration;
};

#endif
