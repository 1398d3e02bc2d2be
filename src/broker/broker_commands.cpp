// qpid-route runs through the shell, one command at a time, each to its end.
// Its output and errors go wherever the launcher's own do.
#include "broker_launcher.h"
#include "shell_words.h"

#include <korvex/kcommon.h>

#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <string_view>

namespace {

// What a command line may take, terminator included.
constexpr std::size_t command_capacity = 1024;

// Every word reaches the shell quoted; what quoting cannot make safe is
// refused here for every caller, not only for the federation step.
bool words_are_quotable(const char *step, std::initializer_list<const char *> words) {
    for (const char *word : words) {
        if (word == nullptr || !korvex::broker::is_quotable_word(word)) {
            kx_log(KX_LOG_WARNING, "%s: Refusing to run qpid-route with \"%s\" on its command line",
                   step, word == nullptr ? "(null)" : korvex::broker::printable(word).c_str());
            return false;
        }
    }
    return true;
}

// A command cut to fit would still run, with a peer, exchange or key that
// is not what was asked for; one that does not fit is refused instead.
bool fits(const char *step, const std::string &command) {
    if (command.size() < command_capacity)
        return true;
    kx_log(KX_LOG_WARNING,
           "%s: Refusing to run a qpid-route command of %zu characters; at most %zu fit", step,
           command.size(), command_capacity - 1);
    return false;
}

int run_command(const std::string &command) {
    int status = std::system(command.c_str());
    if (status < 0)
        std::perror("system()");
    return status;
}

} // namespace

extern "C" int broker_os_add_qpid_route(const qpid_route *route) {
    using korvex::broker::quoted_command;
    std::string command;
    if (!route->static_route) {
        if (!words_are_quotable("broker_os_add_qpid_route",
                                {route->dest, route->src, route->exchange}))
            return -1;
        command = quoted_command({"qpid-route", "--timeout=5", "dynamic", "add", route->dest,
                                  route->src, route->exchange});
    } else {
        if (!words_are_quotable("broker_os_add_qpid_route",
                                {route->dest, route->src, route->exchange, route->routing_key}))
            return -1;
        command = route->src_local
                      ? quoted_command({"qpid-route", "--src-local", "route", "add", route->dest,
                                        route->src, route->exchange, route->routing_key})
                      : quoted_command({"qpid-route", "route", "add", route->dest, route->src,
                                        route->exchange, route->routing_key});
    }
    if (!fits("broker_os_add_qpid_route", command))
        return -1;
    return run_command(command);
}

extern "C" int broker_os_add_qpid_route_link(const char *dest, const char *src) {
    if (!words_are_quotable("broker_os_add_qpid_route_link", {dest, src}))
        return -1;
    const std::string login = std::string("guestonly/guestonly@") + src;
    const std::string command =
        korvex::broker::quoted_command({"qpid-route", "link", "add", dest, login, "PLAIN"});
    if (!fits("broker_os_add_qpid_route_link", command))
        return -1;
    return run_command(command);
}
