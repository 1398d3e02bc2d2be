// A private system bus with the real polkitd on it: dbus-daemon with our
// shipped policy files, and polkitd seeing (through bind mounts in a mount
// namespace of its own) only our action files and the test's rules.
#ifndef KORVEX_TEST_TEST_BUS_H
#define KORVEX_TEST_TEST_BUS_H

#include <memory>
#include <string>
#include <vector>

#include "process.h"
#include "temp_dir.h"

namespace korvex::test {

struct TestBusOptions {
    // polkitd's rules.d/50-test.rules; they decide for callers other than root.
    std::string polkit_rules{};
    // Extra .policy files (full paths) besides the project's own.
    std::vector<std::string> extra_policies{};
    // Extra <policy> elements for the bus, e.g. to let root own a test agent's name.
    std::string extra_bus_policy{};
    bool start_polkit = true;
};

// Waits until a client can connect to the bus at `address` that `daemon`
// serves; false if the daemon ended or time ran out first.
bool wait_for_bus(Process &daemon, const std::string &address,
                  std::chrono::milliseconds timeout = std::chrono::seconds(10));

// polkitd for the bus at `address`, seeing the actions of `actions_dir` and
// the rules in `state_dir`/{rules.d,etc-rules.d}; throws unless it takes its name.
std::unique_ptr<Process> start_polkitd(const std::string &address, const std::string &actions_dir,
                                       const std::string &state_dir);

// Rules that refuse every action to `refused_user` and grant all to everybody else.
std::string rules_refusing_user(const std::string &refused_user);

class TestSystemBus {
public:
    explicit TestSystemBus(const TestBusOptions &options = {});
    TestSystemBus(const TestSystemBus &) = delete;
    TestSystemBus &operator=(const TestSystemBus &) = delete;

    const std::string &address() const { return address_; }
    const TempDir &dir() const { return dir_; }
    // The environment entry that points clients at this bus.
    std::string env() const { return "DBUS_SYSTEM_BUS_ADDRESS=" + address_; }

    void start_polkit();
    void stop_polkit();

private:
    TempDir dir_;
    std::string address_;
    std::unique_ptr<Process> bus_;
    std::unique_ptr<Process> polkit_; // declared last: it goes before the bus
};

// An agent program started on a test bus, stopped (and reaped) with its owner.
struct AgentOptions {
    std::vector<std::string> argv;   // the program and its arguments
    std::vector<std::string> prefix; // e.g. {"ip", "netns", "exec", NS}
    std::vector<std::string> env;
    std::string cwd;
    std::string bus_name; // waited for after the start
};

class Agent {
public:
    Agent(const TestSystemBus &bus, const AgentOptions &options);
    Agent(const Agent &) = delete;
    Agent &operator=(const Agent &) = delete;

    // True once the name is owned; false if the process ended or time ran out.
    bool wait_for_name(std::chrono::milliseconds timeout = std::chrono::seconds(20));
    Process &process() { return *process_; }
    std::string stderr_text() const;
    const std::string &stderr_path() const { return stderr_path_; }

private:
    const TestSystemBus &bus_;
    AgentOptions options_;
    TempDir logs_;
    std::string stderr_path_;
    std::unique_ptr<Process> process_;
};

// Source folder of the project, for the shipped data files.
std::string source_dir();

} // namespace korvex::test

#endif
