// The broker port is read from KORVEX_PORT once per process; the federation
// child inherits the cached value through the fork.
#include "broker_launcher.h"
#include "port_text.h"
#include "shell_words.h"

#include <korvex/kcommon.h>

#include <cstdlib>

namespace {

constexpr unsigned short default_broker_port = 49000;

// 0: no port known yet. The default is never stored, so a missing or bad
// variable is looked at (and warned about) on every call.
unsigned short cached_port = 0;

} // namespace

extern "C" unsigned short broker_get_port(void) {
    if (cached_port != 0)
        return cached_port;

    const char *text = std::getenv("KORVEX_PORT");
    if (text != nullptr) {
        std::optional<unsigned short> parsed = korvex::broker::parse_leading_port(text);
        if (parsed)
            cached_port = *parsed;
        else
            // Escaped like every other value the launcher logs: line feeds in
            // it must not make lines of their own.
            kx_log(KX_LOG_WARNING, "%s: Failed to parse KORVEX_PORT=\"%s\"", "broker_get_port",
                   korvex::broker::printable(text).c_str());
    }
    return cached_port != 0 ? cached_port : default_broker_port;
}
