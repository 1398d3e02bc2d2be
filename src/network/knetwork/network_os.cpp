#include <korvex/network.h>
#include <korvex/owners.h>

namespace {

// A name beginning with "-" would reach the scripts as an option ("-a"
// brings every configured interface up or down), so such names, like an
// empty or missing one, start nothing.
bool usable_as_argument(const char *iface) {
    return iface != nullptr && iface[0] != '\0' && iface[0] != '-';
}

void spawn_detached(const char *tool, const char *iface) {
    if (!usable_as_argument(iface))
        return;
    const gchar *argv[] = {tool, iface, nullptr};
    GError *raw_error = nullptr;
    // Without G_SPAWN_DO_NOT_REAP_CHILD GLib reaps the tool itself; nobody
    // waits for it or looks at its outcome.
    g_spawn_async(nullptr, const_cast<gchar **>(argv), nullptr, G_SPAWN_SEARCH_PATH, nullptr,
                  nullptr, nullptr, &raw_error);
    korvex::ErrorPtr error(raw_error); // a tool that cannot be started is not reported
}

} // namespace

extern "C" void network_os_start(const char *iface) { spawn_detached("/sbin/ifup", iface); }

extern "C" void network_os_stop(const char *iface) { spawn_detached("/sbin/ifdown", iface); }
