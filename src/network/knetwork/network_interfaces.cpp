#include <korvex/network.h>
#include <korvex/owners.h>

#include <memory>

namespace {

struct SigarCloser {
    void operator()(sigar_t *handle) const { sigar_close(handle); }
};
using SigarHandle = std::unique_ptr<sigar_t, SigarCloser>;

struct NameListReleaser {
    sigar_t *handle;
    sigar_net_interface_list_t *names;
    ~NameListReleaser() { sigar_net_interface_list_destroy(handle, names); }
};

using Record = std::unique_ptr<sigar_net_interface_config_t, korvex::GFreeDeleter>;

} // namespace

extern "C" GList *kx_network_get_interfaces(void) {
    sigar_t *opened = nullptr;
    if (sigar_open(&opened) != SIGAR_OK || opened == nullptr)
        return nullptr;
    SigarHandle handle(opened);

    sigar_net_interface_list_t names{};
    if (sigar_net_interface_list_get(handle.get(), &names) != SIGAR_OK)
        return nullptr;
    NameListReleaser release_names{handle.get(), &names};

    GList *list = nullptr;
    for (unsigned long i = 0; i < names.number; ++i) {
        Record record(g_new0(sigar_net_interface_config_t, 1));
        // An interface whose configuration cannot be read is left out.
        if (sigar_net_interface_config_get(handle.get(), names.data[i], record.get()) != SIGAR_OK)
            continue;
        list = g_list_prepend(list, record.release());
    }
    return list;
}

extern "C" const char *kx_network_interface_get_name(const sigar_net_interface_config_t *iface) {
    return iface->name;
}

extern "C" uint64_t kx_network_interface_get_flags(const sigar_net_interface_config_t *iface) {
    return (iface->flags & SIGAR_IFF_UP) != 0 ? KX_NETWORK_IF_UP : KX_NETWORK_IF_DOWN;
}

extern "C" void kx_network_interface_destroy(gpointer iface) { g_free(iface); }
