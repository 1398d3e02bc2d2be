// Augeas scripts that stop early or make no sense: the run stops at quit or at
// the first failing command (a failure, with the output before it), never
// gets to a save further down, and leaves no temporary file.
#include <gtest/gtest.h>

#include "isolated_sysconfig_agent.h"

using namespace korvex::test;

TEST(BadInputAugeas, QuitEndsTheRunAndBadCommandsFailIt) {
    struct ScriptCase {
        std::string key, script, status; // status: the stored status text, exactly
    };
    IsolatedSysconfigAgent agent;
    const std::string original = "127.0.0.1\tlocalhost\n";
    const std::string hosts = agent.shared().write("hosts", original);
    const std::string load_hosts = "transform Hosts incl " + hosts + "\nload\n";
    const std::string entry = "/files" + hosts + "/1/canonical";
    const std::string version = "get /augeas/version/save/mode[1]\n";
    const std::string version_output = "/augeas/version/save/mode[1] = backup\n";
    const std::string failed = "error: Failed to execute command\n";
    const std::string unknown = "Unknown command 'frobnicate'\n";

    // Each case is a full augeas load (seconds, much more in a sanitized
    // build), so each shows something the others do not.
    const std::vector<ScriptCase> cases = {
        // quit ends the script as its last line would: what comes after
        // it never runs, and the run is no failure.
        {"quit-after-output", version + "quit\n" + version, "OK\n" + version_output},
        {"quit-before-save", load_hosts + "set " + entry + " changed.example\nquit\nsave\n",
         "OK\n"},
        // The first failing command ends the run with -1, and augeas's error follows the output.
        {"unknown-command", "frobnicate /files\n", "FAILED\n-1\n" + failed + unknown},
        {"bad-path", "get /files/[[[\n", "FAILED\n-1\n" + failed + "unmatched [\n"},
        {"output-then-failure", version + "frobnicate\n" + version,
         "FAILED\n-1\n" + version_output + failed + unknown},
        {"bad-command-before-save",
         load_hosts + "set " + entry + " changed.example\nfrobnicate\nsave\n",
         "FAILED\n-1\n" + failed + unknown},
        // Control bytes are just part of a name that matches nothing.
        {"control-bytes", "get /augeas\x01\x02\x7f\n", "OK\n/augeas\x01\x02\x7f (o)\n"},
    };
    for (const ScriptCase &c : cases) {
        SCOPED_TRACE(c.key);
        Reply reply = agent.call("run_string",
                                 {Arg::s(c.script), Arg::u(0), Arg::s("augeas"), Arg::s(c.key)});
        ASSERT_TRUE(reply.ok) << describe(reply);
        EXPECT_EQ(reply.str(), c.status);
        EXPECT_EQ(agent.status_file(c.key), c.status);
    }
    // Neither stopped script got to its save.
    EXPECT_EQ(read_file(hosts), original);
    EXPECT_FALSE(file_exists(hosts + ".augsave"));

    EXPECT_TRUE(agent.answering());
    EXPECT_TRUE(agent.left_nothing_behind());
}
