// A private system bus with our shipped policy files and the real polkitd, which sees
// (through bind mounts in a mount namespace of its own) only our actions and the test's rules.
#ifndef KORVEX_TEST_TEST_BUS_H
#define KORVEX_TEST_TEST_BUS_H

#include <memory>

#include "process.h"
#include "temp_dir.h"

namespace korvex::test {

struct TestBusOptions {
    std::string polkit_rules{};                // they decide for callers other than root
    std::vector<std::string> extra_policies{}; // .policy files besides the project's own
    std::string extra_bus_policy{};            // e.g. to let root own a test agent's name
    bool start_polkit = true;
};

// Waits until a client can connect to the bus `daemon` serves at `address`.
bool wait_for_bus(Process &daemon, const std::string &address,
                  std::chrono::milliseconds timeout = std::chrono::seconds(10));

// polkitd seeing the actions of `actions_dir` and the rules in `state_dir`/{rules.d,etc-rules.d}.
std::unique_ptr<Process> start_polkitd(const std::string &address, const std::string &actions_dir,
                                       const std::string &state_dir);

// Rules that refuse every action to `refused_user` and grant all to everybody else.
std::string rules_refusing_user(const std::string &refused_user);

class TestSystemBus {
public:
    explicit TestSystemBus(const TestBusOptions &options = {});

    const std::string &address() const { return address_; }
    const TempDir &dir() const { return dir_; }
    std::string env() const { return "DBUS_SYSTEM_BUS_ADDRESS=" + address_; }

    void start_polkit() { polkit_ = start_polkitd(address_, dir_.file("actions"), dir_.path()); }
    void stop_polkit();

private:
    TempDir dir_;
    std::string address_;
    std::unique_ptr<Process> bus_;
    std::unique_ptr<Process> polkit_; // declared last: it goes before the bus
};

// An agent program started on a test bus, stopped (and reaped) with its owner.
struct AgentOptions {
    std::vector<std::string> argv;
    std::vector<std::string> prefix; // e.g. {"ip", "netns", "exec", NS}
    std::vector<std::string> env;
    std::string cwd;
    std::string bus_name; // waited for after the start
};

class Agent {
public:
    Agent(const TestSystemBus &bus, const AgentOptions &options);

    // False if the process ended or time ran out before it took its name.
    bool wait_for_name(std::chrono::milliseconds timeout = std::chrono::seconds(20));
    Process &process() { return *process_; }
    std::string stderr_text() const { return read_file(stderr_path_); }
    const std::string &stderr_path() const { return stderr_path_; }

private:
    const TestSystemBus &bus_;
    AgentOptions options_;
    TempDir logs_;
    std::string stderr_path_;
    std::unique_ptr<Process> process_;
};

std::string source_dir(); // of the project, for the shipped data files

} // namespace korvex::test

#endif
