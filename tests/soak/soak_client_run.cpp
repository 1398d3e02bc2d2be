#include "soak_client_run.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <stdexcept>

#include <sys/stat.h>

#include <korvex/kcommon.h>

#include "process.h"
#include "temp_dir.h"

namespace korvex::test {

namespace {

// No new call after this, and none waits longer.
constexpr std::chrono::seconds kClientLimit{600};

// Growth allowed over the RSS after the warm-up: the soaks grow by tens of
// KiB in the ordinary build and move by about 1 MiB either way in the
// sanitized one as its small quarantine turns over. Ten thousand requests
// fill 2 MiB at about 200 bytes leaked per request, so a lost reply text,
// error or GValue in a handler shows; smaller losses are below what RSS resolves.
constexpr long kRssGrowthAllowanceKib = 2048;

// kx-test-call --soak in the background, 16 calls in flight.
class SoakClientRun {
public:
    SoakClientRun(const std::string &address, const std::vector<PlannedCall> &plan, uint64_t count,
                  std::optional<uid_t> uid = std::nullopt)
        : count_(count), uid_(uid) {
        // The client may run as another user: it must be able to read the plan.
        chmod(dir_.path().c_str(), 0755);
        write_plan(dir_.file("plan"), plan);
        chmod(dir_.file("plan").c_str(), 0644);
        ProcessOptions options =
            command({KX_SOAK_CLIENT, "--soak", address, dir_.file("plan"), std::to_string(count),
                     "16", std::to_string(kClientLimit.count())});
        options.uid = uid;
        options.stdout_path = dir_.file("tally");
        options.stderr_path = dir_.file("stderr");
        process_.emplace(options);
    }

    // Waits for the client to end (it stops by itself within twice its
    // limit) and expects all calls sent, answered, and answered as planned.
    void expect_all_answered() {
        std::optional<int> status = process_->wait(2 * kClientLimit + std::chrono::seconds(60));
        if (!status)
            status = process_->stop();
        const SoakTally tally = decode_tally(read_file(dir_.file("tally")));
        const std::string diagnostics = "kx-test-call --soak as uid " +
                                        std::to_string(uid_.value_or(0)) + ", wait status " +
                                        std::to_string(*status) + ": " + dir_.read("stderr");
        EXPECT_EQ(tally.sent, count_) << diagnostics;
        EXPECT_EQ(tally.answered, tally.sent) << diagnostics;
        EXPECT_EQ(tally.as_expected, tally.sent)
            << ::testing::PrintToString(tally.samples) << diagnostics;
    }

private:
    uint64_t count_;
    std::optional<uid_t> uid_;
    TempDir dir_{"korvex-soak-client"};
    std::optional<Process> process_;
};

} // namespace

std::vector<PlannedCall> all_refused(std::vector<PlannedCall> calls) {
    for (PlannedCall &call : calls)
        call.expected = {
            false, code_error(KX_RES_NOT_AUTHORIZED), kx_result_to_str(KX_RES_NOT_AUTHORIZED), {}};
    return calls;
}

void run_root_and_nobody(const std::string &address, const std::vector<PlannedCall> &root_plan,
                         uint64_t root_count, const std::vector<PlannedCall> &refused_plan,
                         uint64_t refused_count, const std::function<void()> &meanwhile) {
    const auto start = std::chrono::steady_clock::now();
    SoakClientRun root(address, root_plan, root_count);
    SoakClientRun nobody(address, refused_plan, refused_count, kNobody);
    if (meanwhile)
        meanwhile();
    root.expect_all_answered();
    nobody.expect_all_answered();
    std::cout << root_count << " calls as root and " << refused_count << " as nobody took "
              << seconds_since(start) << " s\n";
}

long seconds_since(std::chrono::steady_clock::time_point start) {
    const auto elapsed = std::chrono::steady_clock::now() - start;
    return std::chrono::duration_cast<std::chrono::seconds>(elapsed).count();
}

Footprint footprint_of(pid_t pid) {
    const std::string proc = "/proc/" + std::to_string(pid);
    Footprint footprint;
    std::ifstream status(proc + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("VmRSS:"))
            footprint.rss_kib = std::stol(line.substr(6));
    if (footprint.rss_kib < 0)
        throw std::runtime_error("no VmRSS for pid " + std::to_string(pid));
    for (const auto &entry : std::filesystem::directory_iterator(proc + "/fd")) {
        std::error_code ignored;
        footprint.descriptors[std::stoi(entry.path().filename())] =
            read_symlink(entry.path(), ignored);
    }
    return footprint;
}

std::vector<std::string> steady_memory_environment() {
#ifdef KX_SOAK_SANITIZED
    // AddressSanitizer holds freed blocks back (256 MiB by default), so RSS
    // would climb for the whole soak without a leak. A small quarantine fills
    // in the warm-up, then stays level, and still catches use-after-free.
    std::string options;
    if (const char *inherited = std::getenv("ASAN_OPTIONS"); inherited != nullptr && *inherited)
        options = std::string(inherited) + ":";
    return {"ASAN_OPTIONS=" + options + "quarantine_size_mb=4:thread_local_quarantine_size_kb=64"};
#else
    return {};
#endif
}

void expect_footprint_kept(const std::string &name, const Footprint &warm, const Footprint &after) {
    std::cout << name << " RSS after warm-up " << warm.rss_kib << " KiB, after soak "
              << after.rss_kib << " KiB; descriptors " << warm.descriptors.size() << " / "
              << after.descriptors.size() << '\n';
    EXPECT_LE(after.rss_kib, warm.rss_kib + kRssGrowthAllowanceKib)
        << "RSS grew by more than the " << kRssGrowthAllowanceKib << " KiB allowed";
    EXPECT_EQ(after.descriptors.size(), warm.descriptors.size())
        << "after warm-up: " << ::testing::PrintToString(warm.descriptors)
        << "\nafter soak: " << ::testing::PrintToString(after.descriptors);
}

} // namespace korvex::test
