// Runs kx-test-call --soak on a plan, as root or as another user, in
// the background; the tally is collected when it is done.
#ifndef KORVEX_TESTS_SOAK_SOAK_CLIENT_RUN_H
#define KORVEX_TESTS_SOAK_SOAK_CLIENT_RUN_H

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

#include "process.h"
#include "process_footprint.h"
#include "request_plan.h"
#include "temp_dir.h"

namespace korvex::test {

struct SoakClientOptions {
    uint64_t count = 0;
    size_t window = 16;
    std::chrono::seconds limit{600}; // no new call after this, none waits longer
    std::optional<uid_t> uid;
};

// The calls, each expecting the refusal a caller without authorization gets.
std::vector<PlannedCall> all_refused(std::vector<PlannedCall> calls);

// Options for `count` calls, as root or as the user `uid`.
SoakClientOptions requests(uint64_t count, std::optional<uid_t> uid = std::nullopt);

class SoakClientRun {
public:
    SoakClientRun(const std::string &address, const std::vector<PlannedCall> &plan,
                  const SoakClientOptions &options);
    SoakClientRun(const SoakClientRun &) = delete;
    SoakClientRun &operator=(const SoakClientRun &) = delete;

    // Waits for the client to end (it stops by itself within twice its
    // limit) and returns its tally; diagnostics() says what went wrong.
    SoakTally finish();
    std::string diagnostics() const;

private:
    SoakClientOptions options_;
    TempDir dir_{"korvex-soak-client"};
    std::unique_ptr<Process> process_;
    std::optional<int> status_;
};

// Waits for the run and expects all `count` calls sent, answered, and
// answered as planned.
void expect_all_answered(SoakClientRun &run, uint64_t count);

// Runs `root_count` calls of `root_plan` as root and `refused_count` of
// `refused_plan` as user nobody at once, `meanwhile` while both are under
// way, and expects every call answered as planned.
void run_root_and_nobody(const std::string &address, const std::vector<PlannedCall> &root_plan,
                         uint64_t root_count, const std::vector<PlannedCall> &refused_plan,
                         uint64_t refused_count, const std::function<void()> &meanwhile = {});

// Prints both footprints of the agent `name` and expects no more memory
// (within the bound) and the same descriptors after the soak.
void expect_footprint_kept(const std::string &name, const Footprint &warm, const Footprint &after);

} // namespace korvex::test

#endif
