// One sysconfig-dbus per test on a private system bus with the real polkitd (refusing user
// nobody), in a mount namespace whose /var/lib/korvex, /etc and puppet folders are the test's.
// Each test ends checking the agent still answers and left no temporary document.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "agent_names.h"
#include "bus_client.h"
#include "http_server.h"
#include "test_bus.h"

namespace korvex::test {

// Shared with the soak tests. A private system bus whose polkitd refuses user nobody, or
// decides by the rules given.
std::unique_ptr<TestSystemBus> sysconfig_bus(const std::string &rules = rules_refusing_user("nobody"));
// sysconfig-dbus in cwd, started in a new mount namespace of private propagation by view (a
// host-view script and its arguments); the caller waits for its name.
std::unique_ptr<Agent> start_sysconfig_agent(const TestSystemBus &bus,
                                             std::vector<std::string> view, const std::string &cwd,
                                             const std::vector<std::string> &env = {});
Reply sysconfig_call(BusClient &client, const std::string &member, const std::vector<Arg> &args);
Reply sysconfig_get(BusClient &client, const std::string &property);
// The key's status file in keys_dir (the agent's /var/lib/korvex).
std::optional<std::string> key_status(const std::string &keys_dir, const std::string &key);

// Whether the process exists and has not ended (a zombie has).
bool process_alive(pid_t pid);

// A file that a gated puppet manifest waits for. The wait ends when the gate is opened (as the
// destructor does) or its folder is gone, so no run outlives a test that failed half-way.
class Gate {
public:
    explicit Gate(const TempDir &dir, const std::string &name);
    ~Gate() { open(); }

    void open() { write_file(folder_ + "/open", ""); }
    // Whether a run has reached the gate (so is past puppet's start-up) within ninety seconds.
    bool reached() const;
    std::string manifest() const;
    std::string reference() const { return "Exec['wait for gate " + name_ + "']"; }

private:
    std::string folder_;
    std::string name_;
};

class SysconfigAgentTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Starts the agent, or a new one in place of the running one.
    void start_agent(const std::vector<std::string> &env = {});
    // The processes the agent started and theirs, living ones only.
    std::vector<pid_t> agent_descendants();

    Reply call(const std::string &member, const std::vector<Arg> &args) {
        return sysconfig_call(*client_, member, args);
    }
    Reply run_string(const std::string &text, uint32_t flags, const std::string &scheme,
                     const std::string &key) {
        return call("run_string", {Arg::s(text), Arg::u(flags), Arg::s(scheme), Arg::s(key)});
    }
    Reply run_uri(const std::string &uri, uint32_t flags, const std::string &scheme,
                  const std::string &key) {
        return call("run_uri", {Arg::s(uri), Arg::u(flags), Arg::s(scheme), Arg::s(key)});
    }
    Reply is_configured(const std::string &key) { return call("is_configured", {Arg::s(key)}); }
    Reply query(const std::string &path, uint32_t flags, const std::string &scheme) {
        return call("query", {Arg::s(path), Arg::u(flags), Arg::s(scheme)});
    }
    Reply get(const std::string &property) { return sysconfig_get(*client_, property); }
    // A failed reply and what the agent printed.
    std::string why(const Reply &reply) const {
        return reply.error_name + ": " + reply.error_message + "\n" + agent_->stderr_text();
    }
    // member "preview_string" or "preview_uri" of the Preview interface.
    Reply preview(const std::string &member, const std::string &document,
                  const std::string &scheme) {
        return client_->call(kSysconfigName, kSysconfigPath, kSysconfigPreviewIface, member,
                             {Arg::s(document), Arg::s(scheme)});
    }
    std::optional<std::string> status_file(const std::string &key) const {
        return key_status(state_.file("keys"), key);
    }
    // Entries of the agent's working directory named like its temporary documents.
    std::vector<std::string> temporary_documents() const;

    // A hosts file of two entries in a folder of the test, and augeas scripts for it alone.
    std::string hosts_path() const { return edits_.file("hosts"); }
    std::string hosts_script(const std::string &commands) const {
        return "transform Hosts incl " + hosts_path() + "\nload\n" + commands;
    }
    std::string add_host_script(const std::string &address, const std::string &name) const;
    static constexpr const char *kAgentHostname = "korvex-agent-view";

    std::string polkit_rules_ = rules_refusing_user("nobody"); // a fixture may set others
    TempDir state_{"korvex-sysconfig-state"}; // keys, /etc and /var/lib layers
    TempDir work_{"korvex-sysconfig-work"};   // the agent's working directory
    TempDir edits_{"korvex-sysconfig-edits"}; // files the scripts edit, gates
    HttpServer server_;
    std::unique_ptr<TestSystemBus> bus_;
    std::unique_ptr<Agent> agent_;
    std::unique_ptr<BusClient> client_;

    static inline const std::string kOriginalHosts =
        "127.0.0.1\tlocalhost\n192.0.2.1\tfirst.example\n";
};

} // namespace korvex::test
