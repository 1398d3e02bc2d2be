// kx_network_start/stop/restart against stand-ins for ifup and ifdown bound over the
// real tool in a private mount namespace, and once against the real ifupdown.
#include "namespace_fixture.h"

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

namespace korvex::test {
namespace {

class KnetworkScripts : public NamespaceTest {
protected:
    KnetworkScripts() { space_.add_veth("eth0"); }

    // Binds a stand-in over ifup, whose body gets "$0 $*" and the record file
    // path. /sbin is a link to /usr/sbin and ifdown a link to ifup there, so
    // the one file stands in for both; $0 tells which was started.
    std::string bind_stand_in(const std::string &body, const std::string &name = "stand-in",
                              unsigned mode = 0755) const {
        scratch_.write(name, "#!/bin/sh\nrecord=" + quoted(record_) + "\n" + body, mode);
        return "mount --bind " + quoted(scratch_.file(name)) + " /usr/sbin/ifup && ";
    }
    // The probe once for each entry, each run only if the one before succeeded.
    static std::string probe_commands(const std::vector<std::string> &calls) {
        std::string script;
        for (const std::string &call : calls)
            script += (script.empty() ? "" : " && ") + quoted(KNETWORK_PROBE_PATH) + " " + call;
        return script;
    }
    Lines record() const { return split_lines(scratch_.read("record")); }

    std::string record_ = scratch_.write("record", "");
};

TEST_F(KnetworkScripts, StartAndStopRunTheToolWithTheName) {
    CommandResult outcome =
        isolated_shell(bind_stand_in("echo \"$0 $*\" >> \"$record\"\n") +
                       probe_commands({"--wait-for-tools start eth0", "--wait-for-tools stop eth0",
                                       "--wait-for-tools start no-such-if"}));
    ASSERT_EQ(outcome.exit_code(), 0) << outcome.describe();
    EXPECT_EQ(outcome.lines(), (Lines{"returned", "returned", "returned"}));
    EXPECT_EQ(record(), (Lines{"/sbin/ifup eth0", "/sbin/ifdown eth0", "/sbin/ifup no-such-if"}));
}

TEST_F(KnetworkScripts, RestartRunsStopBeforeStart) {
    // Both tools run at once, so the order of their lines proves nothing; their pids
    // do: the test's pid namespace numbers processes in the order they were created.
    CommandResult outcome = isolated_shell(bind_stand_in("echo \"$$ $0 $*\" >> \"$record\"\n") +
                                           probe_commands({"--wait-for-tools restart eth0"}));
    ASSERT_EQ(outcome.exit_code(), 0) << outcome.describe();
    EXPECT_EQ(outcome.lines(), Lines{"returned"});

    Lines lines = record();
    ASSERT_EQ(lines.size(), 2u) << scratch_.read("record");
    std::ranges::sort(lines, {},
                      [](const std::string &l) { return std::strtol(l.c_str(), nullptr, 10); });
    EXPECT_EQ(lines[0].substr(lines[0].find(' ') + 1), "/sbin/ifdown eth0");
    EXPECT_EQ(lines[1].substr(lines[1].find(' ') + 1), "/sbin/ifup eth0");
}

TEST_F(KnetworkScripts, CallsReturnWhileTheToolIsStillRunning) {
    // The stand-in ends once the release file exists, made after the call returned.
    // Had the call waited for the tool, the tool's "end" would come before "returned"
    // (the stand-in gives up waiting after ten seconds).
    std::string release = scratch_.file("release");
    std::string blocking =
        bind_stand_in("echo \"begin $0 $*\" >> \"$record\"\ni=0\nwhile [ ! -e " + quoted(release) +
                      " ] && [ $i -lt 200 ]; do sleep 0.05; i=$((i+1)); done\necho \"end $0 $*\" "
                      ">> \"$record\"\n");
    for (const std::string operation : {"start", "stop"}) {
        SCOPED_TRACE(operation);
        scratch_.write("record", "");
        std::remove(release.c_str());
        std::string tool = operation == "start" ? "/sbin/ifup" : "/sbin/ifdown";
        CommandResult outcome =
            isolated_shell(blocking + probe_commands({operation + " eth0"}) +
                           " >/dev/null && echo returned >> " + quoted(record_) + " && touch " +
                           quoted(release) + " && i=0 && while ! grep -q '^end' " +
                           quoted(record_) + " && [ $i -lt 400 ]; do sleep 0.05; i=$((i+1)); done");
        ASSERT_EQ(outcome.exit_code(), 0) << outcome.describe();

        Lines lines = record();
        ASSERT_EQ(lines.size(), 3u) << scratch_.read("record");
        EXPECT_EQ(lines.back(), "end " + tool + " eth0");
        EXPECT_NE(std::find(lines.begin(), lines.end(), "begin " + tool + " eth0"), lines.end());
        EXPECT_NE(std::find(lines.begin(), lines.end() - 1, "returned"), lines.end() - 1);
    }
}

TEST_F(KnetworkScripts, MissingOrFailingToolsAreSilent) {
    const std::string calls =
        probe_commands({"status eth0", "--wait-for-tools start eth0", "--wait-for-tools stop eth0",
                        "--wait-for-tools restart eth0", "status eth0"});
    const Lines untouched{"0 2", "returned", "returned", "returned", "0 2"};

    {
        SCOPED_TRACE("no tools at all");
        CommandResult outcome = isolated_shell("mount -t tmpfs tmpfs /usr/sbin && " + calls);
        ASSERT_EQ(outcome.exit_code(), 0) << outcome.describe();
        EXPECT_EQ(outcome.lines(), untouched);
    }
    {
        SCOPED_TRACE("tool not executable");
        CommandResult outcome = isolated_shell(
            bind_stand_in("echo ran >> \"$record\"\n", "not-executable", 0644) + calls);
        ASSERT_EQ(outcome.exit_code(), 0) << outcome.describe();
        EXPECT_EQ(outcome.lines(), untouched);
        EXPECT_EQ(record(), Lines{});
    }
    {
        SCOPED_TRACE("tool fails");
        CommandResult outcome = isolated_shell(
            bind_stand_in("echo \"$0 $*\" >> \"$record\"\nexit 1\n", "failing") + calls);
        ASSERT_EQ(outcome.exit_code(), 0) << outcome.describe();
        EXPECT_EQ(outcome.lines(), untouched);
        Lines lines = record();
        std::sort(lines.begin(), lines.end());
        EXPECT_EQ(lines, (Lines{"/sbin/ifdown eth0", "/sbin/ifdown eth0", "/sbin/ifup eth0",
                                "/sbin/ifup eth0"}));
    }
}

TEST_F(KnetworkScripts, NamesThatReadAsOptionsRunNothing) {
    CommandResult outcome =
        isolated_shell(bind_stand_in("echo \"$0 $*\" >> \"$record\"\n") +
                       probe_commands({"--wait-for-tools start -a", "--wait-for-tools stop -a",
                                       "--wait-for-tools restart --all",
                                       "--wait-for-tools start ''", "--wait-for-tools stop eth0"}));
    ASSERT_EQ(outcome.exit_code(), 0) << outcome.describe();
    EXPECT_EQ(outcome.lines(), (Lines{"returned", "returned", "returned", "returned", "returned"}));
    EXPECT_EQ(record(), Lines{"/sbin/ifdown eth0"});
}

TEST_F(KnetworkScripts, RealIfupdownBringsTheInterfaceUpAndDown) {
    // A private /etc/network for this namespace's eth0, a private /run for ifupdown's state.
    std::string etc = scratch_.file("etc-network");
    run_checked(command({"mkdir", "-p", etc + "/if-pre-up.d", etc + "/if-up.d", etc + "/if-down.d",
                         etc + "/if-post-down.d"}));
    scratch_.write("etc-network/interfaces", "iface eth0 inet static\n    address 10.213.0.1/24\n");

    CommandResult outcome = isolated_shell(
        "mount --bind " + quoted(etc) +
        " /etc/network && mount -t tmpfs tmpfs /run && mkdir /run/network && " +
        probe_commands({"status eth0", "--wait-for-tools start eth0", "status eth0", "ip eth0 40",
                        "--wait-for-tools stop eth0", "status eth0", "ip eth0 40"}));
    ASSERT_EQ(outcome.exit_code(), 0) << outcome.describe();
    EXPECT_EQ(outcome.lines(), (Lines{"0 2", "returned", "0 1", "returned-buffer",
                                      "10.213.0.1\\0" + std::string(29, '#'), "returned", "0 2",
                                      "returned-buffer", "0.0.0.0\\0" + std::string(32, '#')}))
        << outcome.describe();
}

} // namespace
} // namespace korvex::test
