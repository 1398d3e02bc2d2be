// qpid-route runs through the shell, one command at a time, each to its end.
// Its output and errors go wherever the launcher's own do.
#include "broker_launcher.h"
#include "shell_words.h"

#include <korvex/kcommon.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>

namespace {

// Longer command lines are cut to fit and run as cut.
using CommandLine = std::array<char, 1024>;
constexpr std::size_t command_capacity = std::tuple_size_v<CommandLine>;

// Refuses the command when a word would mean something to the shell. The
// federation step already skips such peers; this guards every other caller.
bool words_are_inert(const char *step, std::initializer_list<const char *> words)
{
    for (const char *word : words) {
        if (word == nullptr || !korvex::broker::is_inert_shell_word(word)) {
            kx_log(KX_LOG_WARNING, "%s: Refusing to run qpid-route with \"%s\" on its command line", step,
                   word == nullptr ? "(null)" : korvex::broker::printable(word).c_str());
            return false;
        }
    }
    return true;
}

// A command cut to fit would still run, with a peer, exchange or key that
// is not what was asked for; one that does not fit is refused instead.
bool fits(const char *step, int length)
{
    if (length >= 0 && static_cast<std::size_t>(length) < command_capacity)
        return true;
    kx_log(KX_LOG_WARNING, "%s: Refusing to run a qpid-route command of %d characters; at most %zu fit",
           step, length, command_capacity - 1);
    return false;
}

int run_command(const CommandLine &command)
{
    int status = std::system(command.data());
    if (status < 0)
        std::perror("system()");
    return status;
}

} // namespace

extern "C" int broker_os_add_qpid_route(const qpid_route *route)
{
    CommandLine command{};
    if (!route->static_route) {
        if (!words_are_inert("broker_os_add_qpid_route", {route->dest, route->src, route->exchange}))
            return -1;
        if (!fits("broker_os_add_qpid_route",
                  std::snprintf(command.data(), command.size(), "qpid-route --timeout=5 dynamic add %s %s %s",
                                route->dest, route->src, route->exchange)))
            return -1;
    } else {
        if (!words_are_inert("broker_os_add_qpid_route",
                             {route->dest, route->src, route->exchange, route->routing_key}))
            return -1;
        if (!fits("broker_os_add_qpid_route",
                  std::snprintf(command.data(), command.size(),
                                route->src_local ? "qpid-route --src-local route add %s %s %s %s"
                                                 : "qpid-route route add %s %s %s %s",
                                route->dest, route->src, route->exchange, route->routing_key)))
            return -1;
    }
    return run_command(command);
}

extern "C" int broker_os_add_qpid_route_link(const char *dest, const char *src)
{
    if (!words_are_inert("broker_os_add_qpid_route_link", {dest, src}))
        return -1;
    CommandLine command{};
    if (!fits("broker_os_add_qpid_route_link",
              std::snprintf(command.data(), command.size(), "qpid-route link add %s guestonly/guestonly@%s PLAIN",
                            dest, src)))
        return -1;
    return run_command(command);
}
