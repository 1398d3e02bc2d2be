// Tells the bus when an interface changes: its name, whether it is there,
// up or down, its IPv4 and MAC address, as the agent's queries would
// answer them at that moment.
#ifndef KORVEX_NETWORK_INTERFACE_MONITOR_H
#define KORVEX_NETWORK_INTERFACE_MONITOR_H

namespace korvex::network {

inline constexpr const char *kMonitorInterface = "org.vaduderuvoziz.Network.Monitor";
inline constexpr const char *kInterfaceChanged = "interface_changed";

// Call before the agent's object is registered: declares the signal to
// GObject, and sets the watch to start on the system-bus connection once
// the main loop runs, that is once the agent owns its name. The watch
// emits at `object_path` and lasts for the life of the process.
void monitor_interfaces(const char *object_path);

} // namespace korvex::network

#endif
