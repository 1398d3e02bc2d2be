// The bus names, object paths and interfaces of the korvex agents.
#ifndef KORVEX_TEST_AGENT_NAMES_H
#define KORVEX_TEST_AGENT_NAMES_H

namespace korvex::test {

inline constexpr const char *kSysconfigName = "org.vaduderuvoziz.Sysconfig";
inline constexpr const char *kSysconfigPath = "/org/vaduderuvoziz/Sysconfig";
inline constexpr const char *kSysconfigIface = "org.vaduderuvoziz.Sysconfig";
inline constexpr const char *kSysconfigPreviewIface = "org.vaduderuvoziz.Sysconfig.Preview";

inline constexpr const char *kNetworkName = "org.vaduderuvoziz.Network";
inline constexpr const char *kNetworkPath = "/org/vaduderuvoziz/Network";
inline constexpr const char *kNetworkIface = "org.vaduderuvoziz.Network";
inline constexpr const char *kNetworkMonitorIface = "org.vaduderuvoziz.Network.Monitor";

} // namespace korvex::test

#endif
