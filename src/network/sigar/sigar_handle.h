// What a sigar_t holds: the snapshot of the enumeration in progress.
#ifndef KORVEX_SIGAR_HANDLE_H
#define KORVEX_SIGAR_HANDLE_H

#include "interface_snapshot.h"

#include <optional>

struct sigar_t {
    // Set by sigar_net_interface_list_get, dropped by
    // sigar_net_interface_list_destroy.
    std::optional<korvex::sigar::InterfaceSnapshot> enumeration;
};

#endif
