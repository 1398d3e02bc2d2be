// What every benchmark program does around its measurements: reading its
// operands, starting the agents it measures, and ending with a status.
#ifndef KORVEX_BENCH_PROGRAM_H
#define KORVEX_BENCH_PROGRAM_H

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "agent_wrapper.h"
#include "temp_dir.h"
#include "test_bus.h"

namespace korvex::bench {

// body(argv) when the program got exactly `operands` operands; otherwise
// the usage line and 2. An exception ends the program with 1 after saying
// what went wrong.
inline int bench_main(int argc, char **argv, int operands, const char *usage,
                      const std::function<int(char **)> &body) {
    const std::string program = std::filesystem::path(argv[0]).filename();
    if (argc != operands + 1) {
        std::fprintf(stderr, "usage: %s %s\n", program.c_str(), usage);
        return 2;
    }
    try {
        return body(argv);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "%s: %s\n", program.c_str(), e.what());
        return 1;
    }
}

// A count of rounds: at least one.
inline int rounds_operand(const char *text) { return std::max(1, std::atoi(text)); }

// The agent of `options` started on bus, under the profiler when one is
// asked for, once it owns its bus name; throws with what it printed when
// it does not get there.
inline std::unique_ptr<test::Agent> started_agent(const test::TestSystemBus &bus,
                                                  test::AgentOptions options) {
    options.prefix = agent_prefix(std::move(options.prefix));
    auto agent = std::make_unique<test::Agent>(bus, options);
    if (!agent->wait_for_name())
        throw std::runtime_error(options.bus_name + " did not start:\n" + agent->stderr_text());
    return agent;
}

// The status text of key in the agent's default keys folder.
inline void store_key_status(const std::string &key, const std::string &status) {
    const std::string keys_dir = "/var/lib/korvex/sysconfig-keys";
    std::filesystem::create_directories(keys_dir);
    test::write_file(keys_dir + "/" + key, status);
}

} // namespace korvex::bench

#endif
