#include "isolated_sysconfig_agent.h"

#include <stdexcept>

namespace korvex::test {

IsolatedSysconfigAgent::IsolatedSysconfigAgent(const std::vector<std::string> &extra_env)
    : agent_(start_sysconfig_agent(*bus_,
                                   {KX_ISOLATED_HOST_VIEW, state_.path(), bus_->dir().path(),
                                    work_.path(), shared_.path(), "--"},
                                   work_.path(), extra_env)) {
    if (!agent_->wait_for_name())
        throw std::runtime_error("sysconfig-dbus did not take its name:\n" + stderr_text());
    client_ = std::make_unique<BusClient>(bus_->address());
}

::testing::AssertionResult IsolatedSysconfigAgent::left_nothing_behind(bool puppet_ran) const {
    const std::vector<std::string> left = working_directory_entries();
    const std::vector<std::string> elsewhere = layered_writes(state_.path(), puppet_ran);
    if (left.empty() && elsewhere.empty())
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "left in the working directory: " << ::testing::PrintToString(left)
           << "; written elsewhere: " << ::testing::PrintToString(elsewhere);
}

::testing::AssertionResult IsolatedSysconfigAgent::answering() {
    if (!agent_->process().running())
        return ::testing::AssertionFailure() << "the agent has ended:\n" << stderr_text();
    Reply reply = call("is_configured", {Arg::s("liveness-probe")});
    if (describe(reply) != "reply (s) \"\"")
        return ::testing::AssertionFailure() << "is_configured answered " << describe(reply);
    const uint32_t owner = client_->name_owner_pid(kSysconfigName);
    if (owner != static_cast<uint32_t>(agent_->process().pid()))
        return ::testing::AssertionFailure()
               << kSysconfigName << " is owned by pid " << owner << ", not by the agent";
    return ::testing::AssertionSuccess();
}

} // namespace korvex::test
