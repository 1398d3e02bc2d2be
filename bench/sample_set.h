// Timings of one figure, kept whole so that the median and the minimum can
// be read at the end; both are reported because the machine is shared and
// load only ever adds time.
#ifndef KORVEX_BENCH_SAMPLE_SET_H
#define KORVEX_BENCH_SAMPLE_SET_H

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace korvex::bench {

class SampleSet {
public:
    void add(std::chrono::steady_clock::duration taken) {
        micros_.push_back(std::chrono::duration<double, std::micro>(taken).count());
    }
    std::size_t size() const { return micros_.size(); }
    double median() const {
        std::vector<double> sorted = micros_;
        std::sort(sorted.begin(), sorted.end());
        return sorted.empty() ? 0.0 : sorted[sorted.size() / 2];
    }
    double minimum() const {
        return micros_.empty() ? 0.0 : *std::min_element(micros_.begin(), micros_.end());
    }
    double maximum() const {
        return micros_.empty() ? 0.0 : *std::max_element(micros_.begin(), micros_.end());
    }

private:
    std::vector<double> micros_;
};

// Times one call of `work`.
template <typename Work>
auto timed(SampleSet &samples, Work &&work) {
    const auto begin = std::chrono::steady_clock::now();
    auto result = work();
    samples.add(std::chrono::steady_clock::now() - begin);
    return result;
}

// One round of a figure beside its floor, the floor first in even rounds
// and second in odd ones, so that whatever load the machine carries at the
// moment falls on both sides alike.
template <typename AgentSide, typename FloorSide>
void side_by_side(int round, AgentSide &&agent_side, FloorSide &&floor_side) {
    if (round % 2 == 0) {
        floor_side();
        agent_side();
    } else {
        agent_side();
        floor_side();
    }
}

// One result line for bench/run: a figure measured against its floor.
//   FIGURE NAME AGENT_MEDIAN AGENT_MIN FLOOR_MEDIAN FLOOR_MIN COUNT (microseconds)
inline void print_figure(const std::string &name, const SampleSet &agent, const SampleSet &floor) {
    std::printf("FIGURE %s %.0f %.0f %.0f %.0f %zu\n", name.c_str(), agent.median(),
                agent.minimum(), floor.median(), floor.minimum(), agent.size());
    std::fflush(stdout);
}

// One result line for bench/run: a request timed on an agent under
// someone else's load beside the same request on an idle agent. The worst
// case is what a caller who must not be held up sees.
//   FAIRNESS NAME LOADED_MEDIAN LOADED_WORST IDLE_MEDIAN IDLE_WORST COUNT (microseconds)
inline void print_fairness(const std::string &name, const SampleSet &loaded,
                           const SampleSet &idle) {
    std::printf("FAIRNESS %s %.0f %.0f %.0f %.0f %zu\n", name.c_str(), loaded.median(),
                loaded.maximum(), idle.median(), idle.maximum(), loaded.size());
    std::fflush(stdout);
}

} // namespace korvex::bench

#endif
