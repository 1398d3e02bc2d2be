// Ten thousand mixed requests to the configuration agent, a quarter from a
// refused caller, while twenty abandoned puppet runs go on: every request is
// answered, and memory, descriptors and working directory are as before.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <iostream>

#include "host_identity.h"
#include "isolated_sysconfig_agent.h"
#include "soak_client_run.h"

using namespace korvex::test;

namespace {

constexpr int kPuppetRuns = 20;
constexpr uint64_t kWarmUpRequests = 1000;
constexpr uint64_t kRootRequests = 7500;
constexpr uint64_t kRefusedRequests = 2500;

PlannedCall sysconfig_call(const std::string &member, std::vector<Arg> args,
                           const char *iface = kSysconfigIface) {
    return {kSysconfigName, kSysconfigPath, iface, member, std::move(args), {}};
}

PlannedCall get(const std::string &property) {
    return sysconfig_call("Get", {Arg::s(kSysconfigIface), Arg::s(property)}, kPropertiesIface);
}

const PlannedCall kSetPostboot =
    sysconfig_call("Set", {Arg::s(kSysconfigIface), Arg::s("is_postboot_configured"), Arg::vu(1)},
                   kPropertiesIface);

PlannedCall run(const std::string &member, const std::string &document, uint32_t flags,
                const std::string &scheme, const std::string &key) {
    return sysconfig_call(member, {Arg::s(document), Arg::u(flags), Arg::s(scheme), Arg::s(key)});
}

class SysconfigSoak : public ::testing::Test {
protected:
    void configure(const std::string &key) {
        Reply reply =
            agent_.call("run_string", {Arg::s(""), Arg::u(0), Arg::s("augeas"), Arg::s(key)});
        ASSERT_TRUE(reply.ok) << describe(reply);
        ASSERT_EQ(reply.str(), "OK\n");
    }

    // Each call of the mix made once, its reply checked against what the
    // agent must say, and kept as what every later round must get too.
    std::vector<PlannedCall> root_mix() {
        const std::string ok = "reply (s) \"OK\n\"", none = "reply (s) \"\"";
        const std::vector<std::pair<PlannedCall, std::string>> rows = {
            {sysconfig_call("is_configured", {Arg::s("soak-a")}), ok},
            {sysconfig_call("is_configured", {Arg::s("never-run")}), none},
            {sysconfig_call("is_configured", {Arg::s("../escape")}), none},
            {get("uuid"), "reply (s) \"" + expected_uuid() + "\""},
            {get("hostname"), "reply (s) \"" + expected_hostname() + "\""},
            {get("is_postboot_configured"), "reply (u) \"0\""},
            {get("qmf-gen-no-crash"), "reply (i) \"0\""},
            // Configured keys without the force flag: the stored status,
            // whatever the document or the scheme says.
            {run("run_string", "not augeas at all", 0, "augeas", "soak-a"), ok},
            {run("run_string", "notice('never')", 2, "puppet", "soak-b"), ok},
            {run("run_uri", "http://127.0.0.1:1/never-fetched", 0, "no-such-scheme", "soak-b"), ok},
            {kSetPostboot, "reply"},
        };
        std::vector<PlannedCall> mix;
        for (const auto &[planned, expected] : rows) {
            PlannedCall &call = mix.emplace_back(planned);
            call.expected =
                agent_.client().call(call.dest, call.path, call.iface, call.member, call.args);
            EXPECT_EQ(describe(call.expected), expected) << call.member << " #" << mix.size() - 1;
        }
        return mix;
    }

    static long count_prefixed(const std::vector<std::string> &entries, std::string_view prefix) {
        return std::ranges::count_if(
            entries, [&](const std::string &name) { return name.starts_with(prefix); });
    }

    IsolatedSysconfigAgent agent_{steady_memory_environment()};
    Gate gate_{agent_.shared(), "soak"};
};

} // namespace

TEST_F(SysconfigSoak, MixedRequestsAndAbandonedPuppetRunsLeaveNothingBehind) {
    ASSERT_NO_FATAL_FAILURE(configure("soak-a"));
    ASSERT_NO_FATAL_FAILURE(configure("soak-b"));
    const std::vector<PlannedCall> root_plan = root_mix();
    // The same kinds of calls from user nobody: all refused.
    const std::vector<PlannedCall> refused_plan = all_refused({
        sysconfig_call("is_configured", {Arg::s("soak-a")}),
        run("run_string", "", 1, "augeas", "refused-key"),
        run("run_uri", "http://127.0.0.1:1/x", 1, "puppet", "refused-key"),
        sysconfig_call("query",
                       {Arg::s("/files/etc/hostname/hostname"), Arg::u(0), Arg::s("augeas")}),
        get("uuid"),
        kSetPostboot,
    });
    ASSERT_FALSE(HasFailure());
    const std::string address = agent_.bus().address();

    // Warm-up: the same mix, and one puppet run to its end, so that
    // whatever the agent sets up once (child watches, caches of the bus
    // and PolicyKit clients) is in place before the measurement.
    run_root_and_nobody(
        address, root_plan, kWarmUpRequests, refused_plan, kWarmUpRequests / 4, [&] {
            Reply puppet = agent_.call(
                "run_string", {Arg::s(""), Arg::u(0), Arg::s("puppet"), Arg::s("warm-up-puppet")});
            EXPECT_EQ(describe(puppet), "reply (s) \"OK\"");
        });
    ASSERT_FALSE(HasFailure());
    const Footprint warm = footprint_of(agent_.pid());

    // Twenty puppet runs held at a gate until all have started, then their
    // callers leave; the gate opens while the mix is under way, so the
    // runs end between requests. A caller that left before its request
    // was authorized would only be refused (PolicyKit cannot look up a
    // name that is gone), so the callers stay until their run started.
    {
        std::deque<BusClient> callers;
        for (int i = 0; i < kPuppetRuns; ++i)
            callers.emplace_back(address).send(
                kSysconfigName, kSysconfigPath, kSysconfigIface, "run_string",
                {Arg::s(gate_.manifest()), Arg::u(0), Arg::s("puppet"),
                 Arg::s("abandoned-" + std::to_string(i))});
        const auto started = [&] {
            return count_prefixed(agent_.working_directory_entries(), "puppet_conf_");
        };
        ASSERT_TRUE(wait_until([&] { return started() == kPuppetRuns; }, std::chrono::minutes(10),
                               std::chrono::milliseconds(200)))
            << started() << " runs started\n"
            << agent_.stderr_text().substr(0, 20000);
    }
    run_root_and_nobody(address, root_plan, kRootRequests, refused_plan, kRefusedRequests,
                        [&] { gate_.open(); });
    const auto mix_done = std::chrono::steady_clock::now();

    // Every abandoned run still ends and records its outcome.
    const bool all_recorded = wait_until(
        [&] { return count_prefixed(agent_.status_keys(), "abandoned-") == kPuppetRuns; },
        std::chrono::minutes(15), std::chrono::milliseconds(500));
    ASSERT_TRUE(all_recorded) << ::testing::PrintToString(agent_.status_keys());
    std::cout << "puppet runs ended " << seconds_since(mix_done) << " s after the mix\n";
    for (int i = 0; i < kPuppetRuns; ++i)
        EXPECT_EQ(agent_.status_file("abandoned-" + std::to_string(i)), "OK") << i;

    // A last round trip: the final completion removes its manifest after
    // it has written the status, so this makes sure it has.
    ASSERT_TRUE(agent_.answering());
    expect_footprint_kept("sysconfig-dbus", warm, footprint_of(agent_.pid()));
    EXPECT_TRUE(agent_.left_nothing_behind(true));
}
