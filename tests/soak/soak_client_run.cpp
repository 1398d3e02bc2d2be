#include "soak_client_run.h"

#include <gtest/gtest.h>

#include <iostream>

#include <sys/stat.h>
#include <sys/wait.h>

#include <korvex/kcommon.h>

#include "memory_check.h"

#ifndef KX_SOAK_CLIENT
#error "KX_SOAK_CLIENT must name the kx-test-call program"
#endif

namespace korvex::test {

std::vector<PlannedCall> all_refused(std::vector<PlannedCall> calls) {
    Reply refused;
    refused.error_name = code_error(KX_RES_NOT_AUTHORIZED);
    refused.error_message = kx_result_to_str(KX_RES_NOT_AUTHORIZED);
    for (PlannedCall &call : calls)
        call.expected = refused;
    return calls;
}

SoakClientOptions requests(uint64_t count, std::optional<uid_t> uid) {
    SoakClientOptions options;
    options.count = count;
    options.uid = uid;
    return options;
}

SoakClientRun::SoakClientRun(const std::string &address, const std::vector<PlannedCall> &plan,
                             const SoakClientOptions &options)
    : options_(options) {
    // The client may run as another user: it must be able to read the plan.
    chmod(dir_.path().c_str(), 0755);
    write_plan(dir_.file("plan"), plan);
    chmod(dir_.file("plan").c_str(), 0644);

    ProcessOptions process;
    process.argv = {KX_SOAK_CLIENT,
                    "--soak",
                    address,
                    dir_.file("plan"),
                    std::to_string(options.count),
                    std::to_string(options.window),
                    std::to_string(options.limit.count())};
    process.uid = options.uid;
    process.stdout_path = dir_.file("tally");
    process.stderr_path = dir_.file("stderr");
    process_ = std::make_unique<Process>(process);
}

SoakTally SoakClientRun::finish() {
    if (!status_) {
        status_ = process_->wait(2 * options_.limit + std::chrono::seconds(60));
        if (!status_)
            status_ = process_->stop();
    }
    return decode_tally(read_file(dir_.file("tally")));
}

std::string SoakClientRun::diagnostics() const {
    std::string text = "kx-test-call --soak";
    if (options_.uid)
        text += " as uid " + std::to_string(*options_.uid);
    if (status_)
        text += ", wait status " + std::to_string(*status_);
    return text + ": " + read_file(dir_.file("stderr"));
}

void expect_all_answered(SoakClientRun &run, uint64_t count) {
    const SoakTally tally = run.finish();
    EXPECT_EQ(tally.sent, count) << run.diagnostics();
    EXPECT_EQ(tally.answered, tally.sent) << run.diagnostics();
    EXPECT_EQ(tally.as_expected, tally.sent)
        << ::testing::PrintToString(tally.samples) << run.diagnostics();
}

void run_root_and_nobody(const std::string &address, const std::vector<PlannedCall> &root_plan,
                         uint64_t root_count, const std::vector<PlannedCall> &refused_plan,
                         uint64_t refused_count, const std::function<void()> &meanwhile) {
    SoakClientRun root(address, root_plan, requests(root_count));
    SoakClientRun nobody(address, refused_plan, requests(refused_count, kNobody));
    if (meanwhile)
        meanwhile();
    expect_all_answered(root, root_count);
    expect_all_answered(nobody, refused_count);
}

void expect_footprint_kept(const std::string &name, const Footprint &warm, const Footprint &after) {
    std::cout << name << " RSS after warm-up " << warm.rss_kib << " KiB, after soak "
              << after.rss_kib << " KiB; descriptors " << warm.descriptors.size() << " / "
              << after.descriptors.size() << '\n';
    EXPECT_TRUE(rss_within_bound(warm.rss_kib, after.rss_kib));
    EXPECT_EQ(after.descriptors.size(), warm.descriptors.size())
        << "after warm-up: " << ::testing::PrintToString(warm.descriptors)
        << "\nafter soak: " << ::testing::PrintToString(after.descriptors);
}

} // namespace korvex::test
