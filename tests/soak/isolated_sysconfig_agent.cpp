#include "isolated_sysconfig_agent.h"

#include "layered_writes.h"

#include <filesystem>
#include <stdexcept>

#ifndef KX_SYSCONFIG_AGENT
#error "KX_SYSCONFIG_AGENT must name the sysconfig-dbus program"
#endif
#ifndef KX_ISOLATED_HOST_VIEW
#error "KX_ISOLATED_HOST_VIEW must name isolated_host_view.sh"
#endif

namespace fs = std::filesystem;

namespace korvex::test {

IsolatedSysconfigAgent::IsolatedSysconfigAgent(const std::vector<std::string> &extra_env) {
    state_ = std::make_unique<TempDir>("korvex-soak-state");
    work_ = std::make_unique<TempDir>("korvex-soak-work");
    shared_ = std::make_unique<TempDir>("korvex-soak-shared");

    TestBusOptions options;
    options.polkit_rules = rules_refusing_user("nobody");
    bus_ = std::make_unique<TestSystemBus>(options);

    AgentOptions agent;
    agent.prefix = {"unshare",
                    "-m",
                    "--propagation",
                    "private",
                    KX_ISOLATED_HOST_VIEW,
                    state_->path(),
                    bus_->dir().path(),
                    work_->path(),
                    shared_->path(),
                    "--"};
    agent.argv = {KX_SYSCONFIG_AGENT};
    agent.env = extra_env;
    agent.cwd = work_->path();
    agent.bus_name = kSysconfigName;
    agent_ = std::make_unique<Agent>(*bus_, agent);
    if (!agent_->wait_for_name())
        throw std::runtime_error("sysconfig-dbus did not take its name:\n" + stderr_text());
    client_ = std::make_unique<BusClient>(bus_->address());
}

IsolatedSysconfigAgent::~IsolatedSysconfigAgent() {
    client_.reset();
    agent_.reset();
    bus_.reset();
}

pid_t IsolatedSysconfigAgent::pid() {
    return static_cast<pid_t>(client_->name_owner_pid(kSysconfigName));
}

Reply IsolatedSysconfigAgent::call(const std::string &member, const std::vector<Arg> &args) {
    return client_->call(kSysconfigName, kSysconfigPath, kSysconfigIface, member, args);
}

Reply IsolatedSysconfigAgent::get(const std::string &property) {
    return client_->call(kSysconfigName, kSysconfigPath, kPropertiesIface, "Get",
                         {Arg::s(kSysconfigIface), Arg::s(property)});
}

std::optional<std::string> IsolatedSysconfigAgent::status_file(const std::string &key) const {
    const std::string path = state_->file("host/keys/sysconfig-keys/" + key);
    if (!fs::is_regular_file(path))
        return std::nullopt;
    return read_file(path);
}

std::vector<std::string> IsolatedSysconfigAgent::status_keys() const {
    return sorted_entries(state_->file("host/keys/sysconfig-keys"));
}

std::vector<std::string> IsolatedSysconfigAgent::working_directory_entries() const {
    return sorted_entries(work_->path());
}

::testing::AssertionResult IsolatedSysconfigAgent::left_nothing_behind(bool puppet_ran) const {
    const std::vector<std::string> left = working_directory_entries();
    const std::vector<std::string> elsewhere = layered_writes(state_->path(), puppet_ran);
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
    if (!reply.ok || reply.values.size() != 1 || reply.str() != "")
        return ::testing::AssertionFailure()
               << "is_configured did not answer normally: " << reply.error_name << ": "
               << reply.error_message;
    const uint32_t owner = client_->name_owner_pid(kSysconfigName);
    if (owner != static_cast<uint32_t>(agent_->process().pid()))
        return ::testing::AssertionFailure()
               << kSysconfigName << " is owned by pid " << owner << ", not by the agent";
    return ::testing::AssertionSuccess();
}

} // namespace korvex::test
