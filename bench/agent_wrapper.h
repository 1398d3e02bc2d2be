// The agents can be started under a profiler for the benchmark run, e.g.
//   KX_BENCH_AGENT_WRAPPER="valgrind --tool=callgrind --callgrind-out-file=/tmp/cg.%p"
// (words split at spaces); unset, they run as they are.
#ifndef KORVEX_BENCH_AGENT_WRAPPER_H
#define KORVEX_BENCH_AGENT_WRAPPER_H

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace korvex::bench {

inline std::vector<std::string> agent_wrapper() {
    std::vector<std::string> words;
    const char *wrapper = std::getenv("KX_BENCH_AGENT_WRAPPER");
    std::istringstream in(wrapper != nullptr ? wrapper : "");
    for (std::string word; in >> word;)
        words.push_back(word);
    return words;
}

// `prefix` (e.g. "ip netns exec NS") first, then the profiler.
inline std::vector<std::string> agent_prefix(std::vector<std::string> prefix = {}) {
    for (auto &word : agent_wrapper())
        prefix.push_back(word);
    return prefix;
}

} // namespace korvex::bench

#endif
