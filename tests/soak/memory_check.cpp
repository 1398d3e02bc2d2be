#include "memory_check.h"

#include <cstdlib>

namespace korvex::test {

std::vector<std::string> steady_memory_environment() {
#ifdef KX_SOAK_SANITIZED
    // AddressSanitizer holds freed blocks back (256 MiB by default) before
    // reusing them, so resident memory would climb for the whole soak
    // without any leak. A small quarantine fills during the warm-up and
    // then stays level; use-after-free is still caught within it.
    std::string options;
    if (const char *inherited = std::getenv("ASAN_OPTIONS"); inherited != nullptr && *inherited)
        options = std::string(inherited) + ":";
    return {"ASAN_OPTIONS=" + options + "quarantine_size_mb=4:thread_local_quarantine_size_kb=64"};
#else
    return {};
#endif
}

::testing::AssertionResult rss_within_bound(long warm_rss_kib, long after_rss_kib) {
    const long allowed = kRssGrowthAllowanceKib;
    if (after_rss_kib <= warm_rss_kib + allowed)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "RSS grew from " << warm_rss_kib << " KiB after the warm-up to " << after_rss_kib
           << " KiB after the soak, more than the " << allowed << " KiB allowed";
}

} // namespace korvex::test
