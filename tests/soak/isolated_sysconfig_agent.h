// sysconfig-dbus on a private system bus with the real polkitd (refusing
// user nobody), in a view of the host where every writable place is
// layered: the test can list all the agent wrote, and where.
#ifndef KORVEX_TESTS_SOAK_ISOLATED_SYSCONFIG_AGENT_H
#define KORVEX_TESTS_SOAK_ISOLATED_SYSCONFIG_AGENT_H

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

#include <gtest/gtest.h>

#include "agent_names.h"
#include "bus_client.h"
#include "temp_dir.h"
#include "test_bus.h"

namespace korvex::test {

class IsolatedSysconfigAgent {
public:
    // extra_env: "NAME=value" entries for the agent's environment.
    explicit IsolatedSysconfigAgent(const std::vector<std::string> &extra_env = {});
    ~IsolatedSysconfigAgent();
    IsolatedSysconfigAgent(const IsolatedSysconfigAgent &) = delete;
    IsolatedSysconfigAgent &operator=(const IsolatedSysconfigAgent &) = delete;

    const TestSystemBus &bus() const { return *bus_; }
    BusClient &client() { return *client_; }
    // The agent process itself, as the bus knows it (not a wrapper).
    pid_t pid();
    std::string stderr_text() const { return agent_->stderr_text(); }

    Reply call(const std::string &member, const std::vector<Arg> &args);
    Reply get(const std::string &property);

    // A folder under /tmp that the agent sees as it is: documents for
    // file: URIs, FIFOs, files that augeas scripts may edit.
    const TempDir &shared() const { return *shared_; }

    std::optional<std::string> status_file(const std::string &key) const;
    // Names of all entries in the keys directory.
    std::vector<std::string> status_keys() const;
    // Everything in the working directory.
    std::vector<std::string> working_directory_entries() const;
    // The working directory is empty and the agent (and what it started)
    // wrote nothing but status files; puppet's own state under
    // /var/lib/puppet is left out when puppet_ran is set.
    ::testing::AssertionResult left_nothing_behind(bool puppet_ran = false) const;

    // Running, still the owner of its name, and answering a request.
    ::testing::AssertionResult answering();

private:
    std::unique_ptr<TempDir> state_;
    std::unique_ptr<TempDir> work_;
    std::unique_ptr<TempDir> shared_;
    std::unique_ptr<TestSystemBus> bus_;
    std::unique_ptr<Agent> agent_;
    std::unique_ptr<BusClient> client_;
};

} // namespace korvex::test

#endif
