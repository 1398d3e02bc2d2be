// korvexctl monitor: the agents' change signals as they come, like ip monitor.
#include <ctime>
#include <iostream>

#include "agent_bus.h"
#include "agent_signals.h"
#include "commands.h"
#include "json_text.h"

namespace korvex::ctl {

namespace {

std::string local_time(gint64 seconds) {
    const auto moment = static_cast<std::time_t>(seconds);
    std::tm parts{};
    char text[64] = "";
    if (localtime_r(&moment, &parts) == nullptr ||
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts) == 0)
        return std::to_string(seconds);
    return text;
}

// Each event on a line of its own, flushed: a reader at the other end of a
// pipe sees it as it comes.
void show(const CommandLine &line, const InterfaceChange &change) {
    if (line.json())
        std::cout << JsonObject()
                         .add("event", "interface")
                         .add("iface", change.iface)
                         .add("present", change.present)
                         .add("state", static_cast<int64_t>(change.state))
                         .add("ip", change.ip)
                         .add("mac", change.mac)
                         .text();
    else if (!change.present)
        std::cout << "interface " << change.iface << ": removed";
    else
        std::cout << "interface " << change.iface << ": " << (change.up() ? "up" : "down")
                  << ", ip " << change.ip << ", mac " << change.mac;
    std::cout << std::endl;
}

void show(const CommandLine &line, const KeyChange &change) {
    if (line.json())
        std::cout << JsonObject()
                         .add("event", "key")
                         .add("key", change.key)
                         .add("outcome", change.outcome)
                         .add("when", static_cast<int64_t>(change.when))
                         .text();
    else
        std::cout << "key " << change.key << ": " << change.outcome << " at "
                  << local_time(change.when);
    std::cout << std::endl;
}

} // namespace

ExitStatus monitor_command(const CommandLine &line) {
    line.accept_only({}, "monitor");
    operands(line, 1, {}, "monitor");
    AgentBus bus(line);
    MainLoopPtr loop{g_main_loop_new(nullptr, FALSE)};
    SignalWatch interfaces(bus.connection(),
                           [&](const InterfaceChange &change) { show(line, change); });
    SignalWatch keys(bus.connection(), [&](const KeyChange &change) { show(line, change); });
    // Nothing else ends the loop: the process ends when it is interrupted.
    const gulong closed = g_signal_connect_swapped(bus.connection(), "closed",
                                                   G_CALLBACK(g_main_loop_quit), loop.get());
    g_main_loop_run(loop.get());
    g_signal_handler_disconnect(bus.connection(), closed);
    throw CommandFailure(ExitStatus::unreachable, "the connection to the system bus was closed");
}

} // namespace korvex::ctl
