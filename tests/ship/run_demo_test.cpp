// scripts/run-demo as an administrator runs it: twice, then its stop, from a fresh run folder.
// It uses this build tree unless KORVEX_SHIP_CLEAN_BUILD=1 asks for a build from scratch.
#include <gmock/gmock.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <fstream>
#include <regex>

#include <sys/prctl.h>

#include "ship_support.h"

using namespace korvex::test;
using testing::HasSubstr;
namespace fs = std::filesystem;

using Recorded = std::vector<std::pair<std::string, pid_t>>; // name, pid

class RunDemo : public ::testing::Test {
protected:
    void SetUp() override {
        // As subreaper of the demo's daemons (they outlive the script) the test makes "gone" exact.
        prctl(PR_SET_CHILD_SUBREAPER, 1);
        if (const char *clean = std::getenv("KORVEX_SHIP_CLEAN_BUILD");
            clean && std::string_view(clean) == "1") {
            clean_build_ = std::make_unique<TempDir>("korvex-demo-build");
            build_dir_ = clean_build_->path();
        }
    }

    void TearDown() override {
        run_command(options({"stop"}), std::chrono::minutes(2));
        for (pid_t pid : processes_with_environment(marker()))
            kill(pid, SIGKILL);
        reap_all();
    }

    ProcessOptions options(const std::vector<std::string> &args) const {
        ProcessOptions run = command({source_dir() + "/scripts/run-demo"});
        run.argv.insert(run.argv.end(), args.begin(), args.end());
        run.env = {"KORVEX_BUILD_DIR=" + build_dir_, "KORVEX_DEMO_DIR=" + run_dir_.path(),
                   "KORVEX_DEMO_BUS=private"};
        run.unset = {"DBUS_SYSTEM_BUS_ADDRESS"};
        return run;
    }

    std::string marker() const { return "KORVEX_DEMO_RUN=" + run_dir_.path(); }

    Recorded recorded() const {
        Recorded list;
        std::ifstream pids(run_dir_.file("pids"));
        for (Recorded::value_type p; pids >> p.first >> p.second; pids.ignore(1 << 20, '\n'))
            list.push_back(p);
        return list;
    }

    static void reap_all() {
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
    }

    std::unique_ptr<TempDir> clean_build_;
    std::string build_dir_ = KORVEX_BUILD_TREE;
    TempDir run_dir_{"korvex-demo"};
};

TEST_F(RunDemo, ShowsTheAgentsAtWorkTwiceInARowAndStopsWithoutLeftovers) {
    const bool var_lib_korvex_existed = fs::exists("/var/lib/korvex");
    Recorded first_run;

    for (int round = 1; round <= 2; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const auto demo = run_command(options({}), std::chrono::minutes(clean_build_ ? 60 : 10));
        ASSERT_EQ(demo.exit_code(), 0) << demo.out << demo.err;
        const std::string &out = demo.out;

        // The interface list with states, the augeas run and the key status.
        EXPECT_TRUE(std::regex_search(out, std::regex(R"(\nlo +(up|down)\n)"))) << out;
        const std::string applied = "OK\nSaved 1 file(s)\n";
        const auto run_at = out.find("--key demo-hosts --force");
        ASSERT_NE(run_at, std::string::npos) << out;
        EXPECT_NE(out.find(applied, run_at), std::string::npos) << out;
        const auto status_at = out.find("is-configured demo-hosts");
        ASSERT_NE(status_at, std::string::npos) << out;
        EXPECT_NE(out.find(applied, status_at), std::string::npos) << out;
        EXPECT_THAT(read_file(run_dir_.file("work/demo/hosts")),
                    HasSubstr("192.0.2.10\tdemo.korvex.test"));
        EXPECT_THAT(out, HasSubstr("run-demo stop"));

        // The agents keep running behind the printed address.
        std::smatch address;
        ASSERT_TRUE(
            std::regex_search(out, address, std::regex("export (DBUS_SYSTEM_BUS_ADDRESS=\\S+)")))
            << out;
        ProcessOptions ctl =
            command({build_dir_ + "/src/ctl/korvexctl", "network", "list", "--json"});
        ctl.env = {address[1].str()};
        const auto listing = run_command(ctl);
        ASSERT_EQ(listing.exit_code(), 0) << listing.err;
        EXPECT_FALSE(nlohmann::json::parse(listing.out).at("interfaces").empty());

        const auto processes = recorded();
        ASSERT_EQ(processes.size(), 4u) << read_file(run_dir_.file("pids"));
        for (const auto &[name, pid] : processes)
            EXPECT_TRUE(process_alive(pid)) << name;
        if (round == 2) {
            // The second start replaced the first instance.
            reap_all();
            for (const auto &[name, pid] : first_run)
                EXPECT_FALSE(process_alive(pid)) << "first " << name << " still runs";
        }
        first_run = processes;
    }

    const auto last_run = recorded();
    const auto stop = run_command(options({"stop"}), std::chrono::minutes(2));
    EXPECT_EQ(stop.exit_code(), 0) << stop.err;
    reap_all();
    for (const auto &[name, pid] : last_run)
        EXPECT_FALSE(process_alive(pid)) << name << " survived the stop";
    EXPECT_TRUE(processes_with_environment(marker()).empty());
    // The agent's key files lived in the run folder, not in the host's /var/lib.
    EXPECT_EQ(fs::exists("/var/lib/korvex"), var_lib_korvex_existed);
    EXPECT_TRUE(fs::exists(run_dir_.file("var-lib/korvex/sysconfig-keys/demo-hosts")));
}

// The stop goes by recorded pid and start time: a process that changed its uid (as polkitd does)
// may hide its environment from root. Older lines without a start time stop marked processes only.
TEST_F(RunDemo, StopsTheRecordedProcessesAndNoOtherHoldingTheirPids) {
    const ProcessOptions sleeper = command({"sleep", "600"});
    ProcessOptions marked_sleeper = sleeper;
    marked_sleeper.env = {marker()};
    Process recorded_one(sleeper);
    Process reused_pid(sleeper);
    Process legacy_marked(marked_sleeper);
    Process legacy_unmarked(sleeper);
    ASSERT_TRUE(wait_until([&] { return !process_start_time(legacy_unmarked.pid()).empty(); },
                           std::chrono::seconds(5)));
    const std::string started = process_start_time(recorded_one.pid());
    const std::string other_start =
        std::to_string(std::stoull(process_start_time(reused_pid.pid())) + 1);
    std::ofstream(run_dir_.file("pids"))
        << "recorded " << recorded_one.pid() << " " << started << "\n"
        << "reused " << reused_pid.pid() << " " << other_start << "\n"
        << "gone 999999999 12345\n"
        << "legacy " << legacy_marked.pid() << "\n"
        << "stranger " << legacy_unmarked.pid() << "\n";
    const auto stop = run_command(options({"stop"}), std::chrono::minutes(2));
    EXPECT_EQ(stop.exit_code(), 0) << stop.err;
    EXPECT_TRUE(recorded_one.wait(std::chrono::seconds(10)).has_value())
        << "the recorded process survived the stop";
    EXPECT_TRUE(legacy_marked.wait(std::chrono::seconds(10)).has_value())
        << "the process of an older pids file survived the stop";
    EXPECT_TRUE(reused_pid.running()) << "a process merely holding a recorded pid was stopped";
    EXPECT_TRUE(legacy_unmarked.running())
        << "an unmarked process of an older pids file was stopped";
    EXPECT_FALSE(fs::exists(run_dir_.file("pids")));
}
