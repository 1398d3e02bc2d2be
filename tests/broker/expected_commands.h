// What a launch should leave behind: qpid-route commands and the reaped process tree.
#ifndef KORVEX_TESTS_BROKER_EXPECTED_COMMANDS_H
#define KORVEX_TESTS_BROKER_EXPECTED_COMMANDS_H

#include "launcher_harness.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace korvex::test {

inline std::string link_command(const std::string &local, const std::string &peer) {
    return "qpid-route link add " + local + " guestonly/guestonly@" + peer + " PLAIN";
}

inline std::string dynamic_route(const std::string &dest, const std::string &src,
                                 const std::string &exchange) {
    return "qpid-route --timeout=5 dynamic add " + dest + " " + src + " " + exchange;
}

// The link and the six dynamic routes of a listed peer.
inline std::vector<std::string> listed_peer_commands(const std::string &local,
                                                     const std::string &peer) {
    return {
        link_command(local, peer),
        dynamic_route(peer, local, "amq.direct"),
        dynamic_route(local, peer, "amq.direct"),
        dynamic_route(peer, local, "qmf.default.direct"),
        dynamic_route(local, peer, "qmf.default.direct"),
        dynamic_route(peer, local, "qmf.default.topic"),
        dynamic_route(local, peer, "qmf.default.topic"),
    };
}

inline std::vector<std::string> listed_peers_commands(const std::string &local,
                                                      const std::vector<std::string> &peers) {
    std::vector<std::string> all;
    for (const std::string &peer : peers)
        all = concat(std::move(all), listed_peer_commands(local, peer));
    return all;
}

// The link and four static routes to a guest proxy.
inline std::vector<std::string> guest_proxy_commands(const std::string &local,
                                                     const std::string &proxy) {
    return {
        link_command(local, proxy),
        "qpid-route route add " + local + " " + proxy + " qmf.default.topic direct-agent.#",
        "qpid-route route add " + local + " " + proxy + " qmf.default.topic console.#",
        "qpid-route --src-local route add " + proxy + " " + local +
            " qmf.default.topic direct-console.#",
        "qpid-route --src-local route add " + proxy + " " + local + " qmf.default.topic agent.#",
    };
}

// The launcher's own process (by then qpidd) ended with exit_code, and the only
// other process reaped, the federation child, with status 0.
inline ::testing::AssertionResult launched_cleanly(const LaunchOutcome &launch, int exit_code = 0) {
    if (WIFEXITED(launch.main_status) && WEXITSTATUS(launch.main_status) == exit_code &&
        launch.descendant_statuses == std::vector<int>{0})
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "launcher wait status " << launch.main_status << " (expected exit " << exit_code
           << "), descendants " << ::testing::PrintToString(launch.descendant_statuses)
           << " (expected the federation child's 0); output:\n"
           << launch.output;
}

// Whether the launch's output holds text (exactly `times` times, if given); a
// failure shows the output.
inline ::testing::AssertionResult logged(const LaunchOutcome &outcome, const std::string &text,
                                         std::optional<std::size_t> times = std::nullopt) {
    const std::size_t found = count_occurrences(outcome.output, text);
    if (times ? found == *times : found > 0)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "\"" << text << "\" found " << found << " times in:\n"
                                         << outcome.output;
}

} // namespace korvex::test

#endif
