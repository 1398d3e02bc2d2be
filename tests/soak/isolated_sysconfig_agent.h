// sysconfig-dbus on a private system bus with the real polkitd (refusing
// user nobody), in a view of the host where every writable place is
// layered: the test can list all the agent wrote, and where.
#ifndef KORVEX_TESTS_SOAK_ISOLATED_SYSCONFIG_AGENT_H
#define KORVEX_TESTS_SOAK_ISOLATED_SYSCONFIG_AGENT_H

#include <gtest/gtest.h>

#include "layered_writes.h"
#include "soak_client_run.h"
#include "sysconfig_agent_fixture.h"

namespace korvex::test {

class IsolatedSysconfigAgent {
public:
    explicit IsolatedSysconfigAgent(const std::vector<std::string> &extra_env = {});

    const TestSystemBus &bus() const { return *bus_; }
    BusClient &client() { return *client_; }
    // The agent process itself, as the bus knows it (not a wrapper).
    pid_t pid() { return static_cast<pid_t>(client_->name_owner_pid(kSysconfigName)); }
    std::string stderr_text() const { return agent_->stderr_text(); }

    Reply call(const std::string &member, const std::vector<Arg> &args) {
        return sysconfig_call(*client_, member, args);
    }
    Reply get(const std::string &property) { return sysconfig_get(*client_, property); }

    // A folder under /tmp that the agent sees as it is: documents for
    // file: URIs, FIFOs, files that augeas scripts may edit.
    const TempDir &shared() const { return shared_; }

    std::optional<std::string> status_file(const std::string &key) const {
        return key_status(state_.file("host/keys"), key);
    }
    std::vector<std::string> status_keys() const {
        return sorted_entries(state_.file("host/keys/sysconfig-keys"));
    }
    std::vector<std::string> working_directory_entries() const {
        return sorted_entries(work_.path());
    }
    // The working directory is empty and the agent (and what it started)
    // wrote nothing but status files; puppet's own state under
    // /var/lib/puppet is left out when puppet_ran is set.
    ::testing::AssertionResult left_nothing_behind(bool puppet_ran = false) const;

    // Running, still the owner of its name, and answering a request.
    ::testing::AssertionResult answering();

private:
    TempDir state_{"korvex-soak-state"};
    TempDir work_{"korvex-soak-work"};
    TempDir shared_{"korvex-soak-shared"};
    std::unique_ptr<TestSystemBus> bus_ = sysconfig_bus();
    std::unique_ptr<Agent> agent_;
    std::unique_ptr<BusClient> client_;
};

// One agent for each case.
class IsolatedAgentTest : public ::testing::Test {
protected:
    IsolatedSysconfigAgent agent_;
};

} // namespace korvex::test

#endif
