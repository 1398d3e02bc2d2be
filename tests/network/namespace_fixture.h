// libknetwork under test in a network namespace made for each test, through
// the probe program that calls the library there.
#ifndef KORVEX_TESTS_NETWORK_NAMESPACE_FIXTURE_H
#define KORVEX_TESTS_NETWORK_NAMESPACE_FIXTURE_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "netns.h"
#include "process.h"
#include "temp_dir.h"

namespace korvex::test {

using Lines = std::vector<std::string>;

class NamespaceTest : public ::testing::Test {
protected:
    CommandResult probe(const std::vector<std::string> &args) const {
        ProcessOptions options = command(space_.exec_prefix());
        options.argv.push_back(KNETWORK_PROBE_PATH);
        options.argv.insert(options.argv.end(), args.begin(), args.end());
        return run_command(options);
    }
    // sh -c script in the namespace, in mount and pid namespaces of its own: its
    // mounts vanish with it, and whatever it started is killed when it ends.
    CommandResult isolated_shell(const std::string &script) const {
        ProcessOptions options = command(space_.exec_prefix());
        options.argv.insert(options.argv.end(),
                            {"unshare", "--mount", "--propagation", "private", "--pid", "--fork",
                             "--mount-proc", "sh", "-c", script});
        return run_command(options);
    }
    static std::string quoted(const std::string &text) {
        std::string result = "'";
        for (char c : text)
            result += c == '\'' ? std::string("'\\''") : std::string(1, c);
        return result + "'";
    }

    TempDir scratch_{"knetwork-test"};
    NetNamespace space_;
};

} // namespace korvex::test

#endif
