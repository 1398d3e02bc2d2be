// The qpid-route runners called in-process: what they hand back and what
// they refuse to put on a shell command line.
#include "broker_launcher.h"
#include "launcher_harness.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

using namespace korvex::test;

namespace {

class BrokerCommands : public ::testing::Test {
protected:
    LauncherSandbox sandbox;
    std::filesystem::path record = sandbox.dir() / "qpid-route.calls";
    std::filesystem::path marker = sandbox.dir() / "owned";
    ScopedEnv path{"PATH", sandbox.bin().string() + ":/usr/bin:/bin"};
    ScopedEnv record_env{"KX_TEST_QPID_ROUTE_RECORD", record.string()};
};

int add_route(qpid_route route) { return broker_os_add_qpid_route(&route); }

} // namespace

TEST_F(BrokerCommands, StatusIsThatOfSystem) {
    EXPECT_EQ(broker_os_add_qpid_route_link("localhost:49000", "peer"), 0);
    {
        ScopedEnv fail("KX_TEST_QPID_ROUTE_FAIL", "2");
        EXPECT_EQ(add_route({"localhost:49000", "peer", "qmf.default.topic", "console.#", 0, 1}),
                  256);
    }
    EXPECT_EQ(split_lines(read_file(record)),
              (std::vector<std::string>{
                  "qpid-route link add localhost:49000 guestonly/guestonly@peer PLAIN",
                  "qpid-route route add localhost:49000 peer qmf.default.topic console.#"}));
}

TEST_F(BrokerCommands, ShellTextRunsLiterallyAndOnlyUnquotableWordsAreRefused) {
    const std::string touch = "$(touch${IFS}" + marker.string() + ")";
    EXPECT_EQ(broker_os_add_qpid_route_link("localhost:49000", touch.c_str()), 0);
    EXPECT_EQ(add_route({"peer", "localhost:49000", touch.c_str(), nullptr, 0, 0}), 0);
    const std::string key = "agent.#;touch${IFS}" + marker.string() + ";'";
    EXPECT_EQ(add_route({"peer", "localhost:49000", "qmf.default.topic", key.c_str(), 1, 1}), 0);
    // Unquoted, a routing key starting with '#' would comment out the rest.
    EXPECT_EQ(add_route({"peer", "localhost:49000", "qmf.default.topic", "#", 0, 1}), 0);
    EXPECT_EQ(split_lines(read_file(record)),
              (std::vector<std::string>{
                  "qpid-route link add localhost:49000 guestonly/guestonly@" + touch + " PLAIN",
                  "qpid-route --timeout=5 dynamic add peer localhost:49000 " + touch,
                  "qpid-route --src-local route add peer localhost:49000 qmf.default.topic " + key,
                  "qpid-route route add peer localhost:49000 qmf.default.topic #"}));
    EXPECT_FALSE(std::filesystem::exists(marker));

    // Quoting cannot save an option, a missing or empty word, a control character.
    std::filesystem::remove(record);
    EXPECT_NE(broker_os_add_qpid_route_link("localhost:49000", "--src-local"), 0);
    EXPECT_NE(broker_os_add_qpid_route_link("", "peer"), 0);
    EXPECT_NE(add_route({"peer", "localhost:49000", "qmf.default.topic", nullptr, 0, 1}), 0);
    EXPECT_NE(add_route({"peer", "localhost:49000", "amq.direct\nx", nullptr, 0, 0}), 0);
    EXPECT_FALSE(std::filesystem::exists(record)) << "qpid-route ran";
}
