// Ten thousand mixed requests to the configuration agent, a quarter of
// them from a refused caller, while twenty puppet runs whose callers left
// at once are under way. Afterwards every request has had its answer, the
// agent holds no more memory or descriptors than after a warm-up of the
// same mix, and nothing is left in its working directory.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <optional>

#include <unistd.h>

#include <korvex/kcommon.h>

#include "host_identity.h"
#include "isolated_sysconfig_agent.h"
#include "memory_check.h"
#include "process_footprint.h"
#include "soak_client_run.h"

using namespace korvex::test;

namespace {

constexpr int kPuppetRuns = 20;
constexpr uint64_t kWarmUpRequests = 1000;
constexpr uint64_t kRootRequests = 7500;
constexpr uint64_t kRefusedRequests = 2500;

PlannedCall sysconfig_call(const std::string &member, std::vector<Arg> args) {
    return {kSysconfigName, kSysconfigPath, kSysconfigIface, member, std::move(args), {}};
}

PlannedCall property_call(const std::string &member, std::vector<Arg> args) {
    return {kSysconfigName, kSysconfigPath, kPropertiesIface, member, std::move(args), {}};
}

class SysconfigSoak : public ::testing::Test {
protected:
    void SetUp() override {
        agent_ = std::make_unique<IsolatedSysconfigAgent>(steady_memory_environment());
    }

    // Runs a key through a real (empty) augeas script, so it is configured.
    void configure(const std::string &key) {
        Reply reply =
            agent_->call("run_string", {Arg::s(""), Arg::u(0), Arg::s("augeas"), Arg::s(key)});
        ASSERT_TRUE(reply.ok) << describe(reply);
        ASSERT_EQ(reply.str(), "OK\n");
    }

    // Each call of the mix made once, its reply checked against what the
    // agent must say, and kept as what every later round must get too.
    std::vector<PlannedCall> root_mix() {
        std::vector<PlannedCall> mix = {
            sysconfig_call("is_configured", {Arg::s("soak-a")}),
            sysconfig_call("is_configured", {Arg::s("never-run")}),
            sysconfig_call("is_configured", {Arg::s("../escape")}),
            property_call("Get", {Arg::s(kSysconfigIface), Arg::s("uuid")}),
            property_call("Get", {Arg::s(kSysconfigIface), Arg::s("hostname")}),
            property_call("Get", {Arg::s(kSysconfigIface), Arg::s("is_postboot_configured")}),
            property_call("Get", {Arg::s(kSysconfigIface), Arg::s("qmf-gen-no-crash")}),
            // Configured keys without the force flag: the stored status,
            // whatever the document or the scheme says.
            sysconfig_call("run_string", {Arg::s("not augeas at all"), Arg::u(0), Arg::s("augeas"),
                                          Arg::s("soak-a")}),
            sysconfig_call("run_string", {Arg::s("notice('never')"), Arg::u(2), Arg::s("puppet"),
                                          Arg::s("soak-b")}),
            sysconfig_call("run_uri", {Arg::s("http://127.0.0.1:1/never-fetched"), Arg::u(0),
                                       Arg::s("no-such-scheme"), Arg::s("soak-b")}),
            property_call("Set",
                          {Arg::s(kSysconfigIface), Arg::s("is_postboot_configured"), Arg::vu(1)}),
        };
        const std::vector<std::string> expected = {"reply (s) \"OK\n\"",
                                                   "reply (s) \"\"",
                                                   "reply (s) \"\"",
                                                   "reply (s) \"" + expected_uuid() + "\"",
                                                   "reply (s) \"" + expected_hostname() + "\"",
                                                   "reply (u) \"0\"",
                                                   "reply (i) \"0\"",
                                                   "reply (s) \"OK\n\"",
                                                   "reply (s) \"OK\n\"",
                                                   "reply (s) \"OK\n\"",
                                                   "reply"};
        for (size_t i = 0; i < mix.size(); ++i) {
            PlannedCall &call = mix[i];
            call.expected =
                agent_->client().call(call.dest, call.path, call.iface, call.member, call.args);
            EXPECT_EQ(describe(call.expected), expected[i]) << call.member << " #" << i;
        }
        return mix;
    }

    // The same kinds of calls from user nobody: all refused.
    std::vector<PlannedCall> refused_mix() {
        return all_refused({
            sysconfig_call("is_configured", {Arg::s("soak-a")}),
            sysconfig_call("run_string",
                           {Arg::s(""), Arg::u(1), Arg::s("augeas"), Arg::s("refused-key")}),
            sysconfig_call("run_uri", {Arg::s("http://127.0.0.1:1/x"), Arg::u(1), Arg::s("puppet"),
                                       Arg::s("refused-key")}),
            sysconfig_call("query",
                           {Arg::s("/files/etc/hostname/hostname"), Arg::u(0), Arg::s("augeas")}),
            property_call("Get", {Arg::s(kSysconfigIface), Arg::s("uuid")}),
            property_call("Set",
                          {Arg::s(kSysconfigIface), Arg::s("is_postboot_configured"), Arg::vu(1)}),
        });
    }

    // A cheap manifest that waits until the gate opens (or its folder is
    // gone, so no run outlives a failed test).
    std::string gated_manifest(int run) const {
        const std::string gate = agent_->shared().file("gate");
        const std::string folder = agent_->shared().path();
        return "exec { 'gate " + std::to_string(run) +
               "':\n"
               "  command  => 'while [ -d \"" +
               folder + "\" ] && [ ! -e \"" + gate +
               "\" ]; do sleep 0.2; done',\n"
               "  provider => shell,\n"
               "  path     => ['/usr/bin', '/bin'],\n"
               "  timeout  => 0,\n"
               "}\n";
    }

    void open_gate() { write_file(agent_->shared().file("gate"), ""); }

    int started_manifests() const {
        int count = 0;
        for (const std::string &name : agent_->working_directory_entries())
            count += name.starts_with("puppet_conf_");
        return count;
    }

    void TearDown() override {
        if (agent_)
            open_gate();
    }

    std::unique_ptr<IsolatedSysconfigAgent> agent_;
};

} // namespace

TEST_F(SysconfigSoak, MixedRequestsAndAbandonedPuppetRunsLeaveNothingBehind) {
    ASSERT_NO_FATAL_FAILURE(configure("soak-a"));
    ASSERT_NO_FATAL_FAILURE(configure("soak-b"));
    const std::vector<PlannedCall> root_plan = root_mix();
    const std::vector<PlannedCall> refused_plan = refused_mix();
    ASSERT_FALSE(HasFailure());
    const std::string address = agent_->bus().address();

    // Warm-up: the same mix, and one puppet run to its end, so that
    // whatever the agent sets up once (child watches, caches of the bus
    // and PolicyKit clients) is in place before the measurement.
    {
        SoakClientRun root(address, root_plan, requests(kWarmUpRequests));
        SoakClientRun nobody(address, refused_plan, requests(kWarmUpRequests / 4, kNobody));
        Reply puppet = agent_->call(
            "run_string", {Arg::s(""), Arg::u(0), Arg::s("puppet"), Arg::s("warm-up-puppet")});
        EXPECT_EQ(describe(puppet), "reply (s) \"OK\"");
        expect_all_answered(root, kWarmUpRequests);
        expect_all_answered(nobody, kWarmUpRequests / 4);
    }
    ASSERT_FALSE(HasFailure());
    const Footprint warm = footprint_of(agent_->pid());

    // Twenty puppet runs held at a gate until all have started, then their
    // callers leave; the gate opens while the mix is under way, so the
    // runs end between requests. A caller that left before its request
    // was authorized would only be refused (PolicyKit cannot look up a
    // name that is gone), so the callers stay until their run started.
    const auto soak_start = std::chrono::steady_clock::now();
    {
        std::vector<std::unique_ptr<BusClient>> callers;
        for (int i = 0; i < kPuppetRuns; ++i) {
            callers.push_back(std::make_unique<BusClient>(address));
            callers.back()->send(kSysconfigName, kSysconfigPath, kSysconfigIface, "run_string",
                                 {Arg::s(gated_manifest(i)), Arg::u(0), Arg::s("puppet"),
                                  Arg::s("abandoned-" + std::to_string(i))});
        }
        const bool all_started =
            wait_until([&] { return started_manifests() == kPuppetRuns; }, std::chrono::minutes(10),
                       std::chrono::milliseconds(200));
        ASSERT_TRUE(all_started) << started_manifests() << " runs started\n"
                                 << agent_->stderr_text().substr(0, 20000);
        for (auto &caller : callers)
            caller->disconnect();
    }
    const auto puppets_started = std::chrono::steady_clock::now();
    {
        SoakClientRun root(address, root_plan, requests(kRootRequests));
        SoakClientRun nobody(address, refused_plan, requests(kRefusedRequests, kNobody));
        open_gate();
        expect_all_answered(root, kRootRequests);
        expect_all_answered(nobody, kRefusedRequests);
    }
    const auto mix_done = std::chrono::steady_clock::now();

    // Every abandoned run still ends and records its outcome.
    const bool all_recorded = wait_until(
        [&] {
            for (int i = 0; i < kPuppetRuns; ++i)
                if (!agent_->status_file("abandoned-" + std::to_string(i)))
                    return false;
            return true;
        },
        std::chrono::minutes(15), std::chrono::milliseconds(500));
    ASSERT_TRUE(all_recorded) << ::testing::PrintToString(agent_->status_keys());
    const auto puppets_done = std::chrono::steady_clock::now();
    auto seconds = [](auto from, auto to) {
        return std::chrono::duration_cast<std::chrono::seconds>(to - from).count();
    };
    std::cout << "puppet runs started in " << seconds(soak_start, puppets_started) << " s, mix of "
              << kRootRequests + kRefusedRequests << " requests took "
              << seconds(puppets_started, mix_done) << " s, runs ended "
              << seconds(mix_done, puppets_done) << " s after the mix\n";
    for (int i = 0; i < kPuppetRuns; ++i)
        EXPECT_EQ(agent_->status_file("abandoned-" + std::to_string(i)), "OK") << i;

    // A last round trip: the final completion removes its manifest after
    // it has written the status, so this makes sure it has.
    ASSERT_TRUE(agent_->answering());
    const Footprint after = footprint_of(agent_->pid());
    std::cout << "sysconfig-dbus RSS after warm-up " << warm.rss_kib << " KiB, after soak "
              << after.rss_kib << " KiB; descriptors " << warm.descriptors.size() << " / "
              << after.descriptors.size() << '\n';
    EXPECT_TRUE(rss_within_bound(warm.rss_kib, after.rss_kib));
    EXPECT_EQ(after.descriptors.size(), warm.descriptors.size())
        << "after warm-up: " << ::testing::PrintToString(warm.descriptors)
        << "\nafter soak: " << ::testing::PrintToString(after.descriptors);
    EXPECT_TRUE(agent_->left_nothing_behind(true));
}
