// The network agent and polkitd on a private bus, serving a namespace with lo
// (up), eth0 (up, 192.0.2.10, 02:00:00:00:00:0a), eth1 (down, 02:ab:cd:ef:00:ff);
// ifup is a recorder, or the real one on a private /etc/network and /run.
#ifndef KORVEX_TESTS_NETWORK_AGENT_NETWORK_AGENT_FIXTURE_H
#define KORVEX_TESTS_NETWORK_AGENT_NETWORK_AGENT_FIXTURE_H

#include <gtest/gtest.h>

#include <cstdint>
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

    // Calls of the agent (by default on its own interface), as root or as user nobody.
    Reply call(const std::string &member, const std::vector<Arg> &args = {},
               const std::string &iface = kNetworkIface);
    Reply call_as_nobody(const std::string &member, const std::vector<Arg> &args = {},
                         const std::string &iface = kNetworkIface);
    Reply get_property(const std::string &name);

    // The text of a one-value reply, or a description of what came instead.
    static std::string value_of(const Reply &reply);

    // Lines the recorder wrote: the program name followed by each argument
    // in brackets, e.g. "/sbin/ifup [eth1]".
    std::vector<std::string> recorded() const;
    // Waits (bounded) until the recorder holds at least `count` lines.
    bool wait_for_recorded(size_t count) const;

    std::string agent_log() const { return agent_->stderr_text(); }

    NetNamespace space_{"served"};
    TempDir dir_{"korvex-netagent"};
    std::unique_ptr<TestSystemBus> bus_;
    std::unique_ptr<Agent> agent_;
    std::unique_ptr<BusClient> client_;

private:
    std::string record_path() const { return dir_.file("record"); }
    std::vector<std::string> wrapper_for(InterfaceScripts scripts) const;
};

} // namespace korvex::test

#endif
