#include "bus_config.h"

namespace korvex::test {

namespace {

// An element line, or nothing for an empty value.
std::string element(const std::string &name, const std::string &value) {
    if (value.empty())
        return "";
    return "  <" + name + ">" + value + "</" + name + ">\n";
}

} // namespace

std::string system_bus_config(const BusConfig &config) {
    return R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
)" + element("user", config.user) +
           element("listen", "unix:path=" + config.socket_path) + "  <auth>EXTERNAL</auth>\n" +
           element("servicehelper", config.service_helper) +
           element("servicedir", config.service_dir) + R"(  <policy context="default">
    <allow user="*"/>
    <deny own="*"/>
    <deny send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow receive_type="signal"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus.Introspectable"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus.Properties"/>
    <allow send_destination="org.freedesktop.PolicyKit1"/>
  </policy>
  <policy user="polkitd">
    <allow own="org.freedesktop.PolicyKit1"/>
    <allow send_interface="org.freedesktop.PolicyKit1.AuthenticationAgent"/>
  </policy>
  <policy user="root">
    <allow own="org.freedesktop.PolicyKit1"/>
  </policy>
)" + config.extra_policy +
           "\n" + element("includedir", config.include_dir) + "</busconfig>\n";
}

} // namespace korvex::test
