#include "interface_list.h"

namespace korvex::network {

const sigar_net_interface_config_t *find_interface(const InterfaceList &list, const char *name) {
    if (name == nullptr)
        return nullptr;
    for (const GList *item = list.get(); item != nullptr; item = item->next) {
        const auto *record = static_cast<const sigar_net_interface_config_t *>(item->data);
        if (g_str_equal(kx_network_interface_get_name(record), name))
            return record;
    }
    return nullptr;
}

} // namespace korvex::network
