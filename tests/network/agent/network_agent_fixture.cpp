#include "network_agent_fixture.h"

#include <filesystem>

namespace korvex::test {

NetworkAgentTest::NetworkAgentTest() {
    space_.ip({"link", "set", "lo", "up"});
    space_.add_veth("eth0", "02:00:00:00:00:0a");
    space_.ip({"address", "add", "192.0.2.10/24", "dev", "eth0"});
    space_.ip({"link", "set", "eth0", "up"});
    space_.add_veth("eth1", "02:ab:cd:ef:00:ff");

    // One write per start, so lines of tools running at once cannot mix.
    const std::string line = "l=\"$0\"\nfor a; do l=\"$l [$a]\"; done\nprintf '%s\\n' \"$l\"";
    dir_.write("recorder", "#!/bin/sh\n" + line + " >> '" + dir_.file("record") + "'\n", 0755);
    dir_.write("record", "");

    for (const char *hook : {"if-pre-up.d", "if-up.d", "if-down.d", "if-post-down.d"})
        std::filesystem::create_directories(dir_.file("etc-network/") + hook);
    dir_.write("etc-network/interfaces", "iface eth1 inet static\n    address 192.0.2.20/24\n");
}

::testing::AssertionResult NetworkAgentTest::start_agent(const TestBusOptions &bus_options,
                                                         InterfaceScripts scripts,
                                                         const std::vector<std::string> &env) {
    // /sbin is a link to /usr/sbin and ifdown a link to ifup: one bind over
    // ifup catches both, and $0 tells which name was started. ifupdown keeps
    // its state under /run/network; a private /run keeps it from the host's.
    const bool recorder = scripts == InterfaceScripts::Recorder;
    std::vector<std::string> prefix = space_.exec_prefix();
    prefix.insert(prefix.end(), {"unshare", "-m", "--propagation", "private", "sh", "-c",
                                 recorder ? "mount --bind \"$0\" /usr/sbin/ifup && exec \"$@\""
                                          : "mount --bind \"$0\" /etc/network && mount -t tmpfs "
                                            "tmpfs /run && mkdir /run/network && exec \"$@\"",
                                 dir_.file(recorder ? "recorder" : "etc-network")});
    bus_ = std::make_unique<TestSystemBus>(bus_options);
    agent_ = std::make_unique<Agent>(*bus_, AgentOptions{.argv = {NETWORK_AGENT_PATH},
                                                         .prefix = prefix,
                                                         .env = env,
                                                         .cwd = dir_.path(),
                                                         .bus_name = kNetworkName});
    if (!agent_->wait_for_name())
        return ::testing::AssertionFailure() << "agent did not take its name:\n" << agent_log();
    client_ = std::make_unique<BusClient>(bus_->address());
    return ::testing::AssertionSuccess();
}

} // namespace korvex::test
