// The network agent and polkitd on a private bus, serving a namespace with lo
// (up), eth0 (up, 192.0.2.10, 02:00:00:00:00:0a), eth1 (down, 02:ab:cd:ef:00:ff);
// ifup is a recorder, or the real one on a private /etc/network and /run.
#ifndef KORVEX_TESTS_NETWORK_AGENT_NETWORK_AGENT_FIXTURE_H
#define KORVEX_TESTS_NETWORK_AGENT_NETWORK_AGENT_FIXTURE_H

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "agent_names.h"
#include "bus_client.h"
#include "netns.h"
#include "temp_dir.h"
#include "test_bus.h"

namespace korvex::test {

using Lines = std::vector<std::string>;

enum class InterfaceScripts { Recorder, Ifupdown };

class NetworkAgentTest : public ::testing::Test {
protected:
    NetworkAgentTest();

    // Starts bus, polkitd and the agent; call from SetUp and ASSERT on it.
    ::testing::AssertionResult start_agent(const TestBusOptions &bus_options,
                                           InterfaceScripts scripts = InterfaceScripts::Recorder,
                                           const std::vector<std::string> &env = {});

    // Calls on the agent's own interface by default, as root or as nobody.
    Reply call(const std::string &member, const std::vector<Arg> &args = {},
               const std::string &iface = kNetworkIface) {
        return client_->call(kNetworkName, kNetworkPath, iface, member, args);
    }
    Reply call_as_nobody(const std::string &member, const std::vector<Arg> &args = {},
                         const std::string &iface = kNetworkIface) {
        return call_as(kNobody, bus_->address(), kNetworkName, kNetworkPath, iface, member, args);
    }
    Reply get_property(const std::string &name) {
        return call("Get", {Arg::s(kNetworkIface), Arg::s(name)}, kPropertiesIface);
    }

    // The text of a one-value reply, or what came instead.
    static std::string value_of(const Reply &reply) {
        if (!reply.ok)
            return "error " + reply.error_name + ": " + reply.error_message;
        if (reply.values.size() != 1)
            return "reply with " + std::to_string(reply.values.size()) + " values";
        return reply.values[0].text;
    }

    // Lines the recorder wrote, e.g. "/sbin/ifup [eth1]".
    Lines recorded() const { return split_lines(dir_.read("record")); }
    // Waits (20 s at most) for at least `count` recorded lines.
    bool wait_for_recorded(size_t count) const {
        return wait_until([&] { return recorded().size() >= count; }, std::chrono::seconds(20));
    }

    std::string agent_log() const { return agent_->stderr_text(); }
    bool logged(const std::string &s) const { return agent_log().find(s) != std::string::npos; }

    NetNamespace space_{"served"};
    TempDir dir_{"korvex-netagent"};
    std::unique_ptr<TestSystemBus> bus_;
    std::unique_ptr<Agent> agent_;
    std::unique_ptr<BusClient> client_;
};

} // namespace korvex::test

#endif
