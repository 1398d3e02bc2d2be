// How much an agent's resident memory may grow between the end of a
// warm-up and the end of a soak, and the environment that makes the
// figure meaningful in a sanitized build too.
#ifndef KORVEX_TESTS_SOAK_MEMORY_CHECK_H
#define KORVEX_TESTS_SOAK_MEMORY_CHECK_H

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace korvex::test {

// Entries for the agent's environment ("NAME=value").
std::vector<std::string> steady_memory_environment();

// Growth allowed on top of the RSS after the warm-up, in KiB.
long rss_growth_allowance_kib(long warm_rss_kib);

::testing::AssertionResult rss_within_bound(long warm_rss_kib, long after_rss_kib);

} // namespace korvex::test

#endif
