// korvexctl on the real agents and polkitd on a private bus: commands, --json and exit statuses.
// The network agent has a namespace and an ifup/ifdown recorder; sysconfig a private /var/lib.
#include <gmock/gmock.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <csignal>
#include <map>
#include <regex>

#include <sys/stat.h>

#include "bus_client.h"
#include "host_identity.h"
#include "loopback_ports.h"
#include "ship_support.h"

using namespace korvex::test;
using nlohmann::json;
using testing::HasSubstr, testing::Not, testing::StartsWith;

enum { kFailed = 1, kBadArgument, kUnreachable, kNotAuthorized, kNotConfigured };

struct Ctl {
    std::vector<std::string> args;
    std::optional<uid_t> uid = std::nullopt;
    std::string stdin_path = "/dev/null";
    // Run under script(1): stdin, stdout and stderr are a terminal; both outputs land in `out`.
    bool terminal = false;
    std::vector<std::string> env = {};
};

static CommandResult korvexctl(const std::string &bus_address, const Ctl &call) {
    ProcessOptions options = command({KORVEXCTL_PATH});
    options.argv.insert(options.argv.end(), call.args.begin(), call.args.end());
    if (call.terminal) {
        std::string line;
        for (const auto &arg : options.argv)
            line += "'" + arg + "' ";
        options.argv = {"script", "-qec", line, "/dev/null"};
    }
    options.env = {"DBUS_SYSTEM_BUS_ADDRESS=" + bus_address};
    options.env.insert(options.env.end(), call.env.begin(), call.env.end());
    options.uid = call.uid;
    options.stdin_path = call.stdin_path;
    return run_command(options, std::chrono::minutes(5));
}

static std::vector<std::string> words(const std::string &line) {
    std::istringstream in(line);
    return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

// sshd on a loopback port whose keys reach the test bus: "127.0.0.1" through the bridge as root,
// "refusing" through it as nobody, "shell" to a shell. `env` puts an ssh on PATH that knows them.
class LoopbackSsh {
public:
    explicit LoopbackSsh(const std::string &bus_address) {
        port_ = std::to_string(RefusingTcpPort().port());
        const std::string bridge = "systemd-stdio-bridge -p " + bus_address;
        std::string keys;
        for (const auto &[name, forced] : std::vector<std::pair<std::string, std::string>>{
                 {"host", ""},
                 {"bridge", "command=\"" + bridge + "\" "},
                 {"refusing",
                  "command=\"setpriv --reuid=65534 --regid=65534 --clear-groups " + bridge + "\" "},
                 {"shell", ""}}) {
            run_checked(
                command({"ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", dir_.file(name)}));
            keys += forced + dir_.read(name + ".pub");
        }
        dir_.write("authorized_keys", keys);
        dir_.write("sshd_config", "ListenAddress 127.0.0.1:" + port_ + "\nHostKey " +
                                      dir_.file("host") + "\nAuthorizedKeysFile " +
                                      dir_.file("authorized_keys") +
                                      "\nStrictModes no\nUsePAM no\nPidFile none\n");
        std::string config = "Host 127.0.0.1\n IdentityFile " + dir_.file("bridge") + "\n";
        for (const char *alias : {"refusing", "shell"})
            config += "Host " + std::string(alias) + "\n HostName 127.0.0.1\n Port " + port_ +
                      "\n User root\n IdentityFile " + dir_.file(alias) + "\n";
        dir_.write("ssh_config", config +
                                     "Host *\n IdentitiesOnly yes\n BatchMode yes\n"
                                     " StrictHostKeyChecking no\n LogLevel ERROR\n"
                                     " GlobalKnownHostsFile /dev/null\n UserKnownHostsFile " +
                                     dir_.file("known_hosts") + "\n");
        mkdir(dir_.file("bin").c_str(), 0755);
        dir_.write("bin/ssh",
                   "#!/bin/sh\nexec /usr/bin/ssh -F " + dir_.file("ssh_config") + " \"$@\"\n",
                   0755);
        // sshd wants /run/sshd: a /run of its own.
        sshd_ = std::make_unique<Process>(ProcessOptions{
            .argv = {"unshare", "-m", "--propagation", "private", "sh", "-c",
                     "mount -t tmpfs tmpfs /run && mkdir /run/sshd && exec /usr/sbin/sshd -D -e -f "
                     "\"$1\"",
                     "sshd", dir_.file("sshd_config")},
            .stderr_path = dir_.file("sshd.log")});
        if (!wait_until(
                [&] { return dir_.read("sshd.log").find("Server listening") != std::string::npos; },
                std::chrono::seconds(10)))
            throw std::runtime_error("sshd did not start: " + dir_.read("sshd.log"));
    }

    const std::string &port() const { return port_; }
    std::string env() const { return "PATH=" + dir_.file("bin") + ":" + getenv("PATH"); }

private:
    TempDir dir_{"korvex-ssh"};
    std::string port_;
    std::unique_ptr<Process> sshd_;
};

class KorvexctlOnAgents : public ::testing::Test {
protected:
    void SetUp() override {
        chmod(state_.path().c_str(), 0755);
        bus_ = std::make_unique<TestSystemBus>(
            TestBusOptions{.polkit_rules = rules_refusing_user("nobody")});

        space_.ip({"link", "set", "lo", "up"});
        space_.ip({"link", "add", "kx0", "type", "veth", "peer", "name", "kx1"});
        // It brings kx0 up, and nothing else.
        write_file(state_.file("ifup-recorder"),
                   "#!/bin/sh\necho \"${0##*/} $*\" >> " + state_.file("ifup.log") +
                       "\n[ \"${0##*/} $*\" != 'ifup kx0' ] || ip link set kx0 up\n",
                   0755);
        network_ = std::make_unique<Agent>(
            *bus_,
            AgentOptions{.argv = {NETWORK_AGENT_PATH},
                         .prefix = {"ip", "netns", "exec", space_.name(), "unshare", "-m",
                                    "--propagation", "private", "sh", "-c",
                                    "mount --bind \"$1\" /usr/sbin/ifup && shift && exec \"$@\"",
                                    "ifup-recorder", state_.file("ifup-recorder")},
                         .env = {},
                         .cwd = state_.path(),
                         .bus_name = "org.vaduderuvoziz.Network"});

        for (const char *dir : {"var-lib", "var-lib-work", "work"})
            mkdir(state_.file(dir).c_str(), 0755);
        sysconfig_ = std::make_unique<Agent>(
            *bus_,
            AgentOptions{
                .argv = {SYSCONFIG_AGENT_PATH},
                .prefix = {"unshare", "-m", "--propagation", "private", "sh", "-c",
                           "mount -t overlay overlay -o "
                           "\"lowerdir=/var/lib,upperdir=$1/var-lib,workdir=$1/var-lib-work\" "
                           "/var/lib && mkdir -p /var/lib/korvex && shift && exec \"$@\"",
                           "private-var-lib", state_.path()},
                .env = {},
                .cwd = state_.file("work"),
                .bus_name = "org.vaduderuvoziz.Sysconfig"});
        ASSERT_TRUE(network_->wait_for_name()) << network_->stderr_text();
        ASSERT_TRUE(sysconfig_->wait_for_name()) << sysconfig_->stderr_text();
    }

    CommandResult ctl(const Ctl &call) { return korvexctl(bus_->address(), call); }
    CommandResult ctl(std::vector<std::string> args) { return ctl(Ctl{std::move(args)}); }

    json ctl_json(std::vector<std::string> args, int expected_exit = 0) {
        args.push_back("--json");
        const auto result = ctl(args);
        EXPECT_EQ(result.exit_code(), expected_exit) << result.err;
        return json::parse(result.out);
    }

    // An augeas script that adds one entry to the demo hosts file.
    std::string hosts_script(const std::string &name, const std::string &address) {
        const std::string hosts = state_.file("hosts");
        return state_.write(name, "transform Hosts incl " + hosts + "\nload\nset /files" + hosts +
                                      "/01/ipaddr " + address + "\nset /files" + hosts +
                                      "/01/canonical " + name + ".test\nsave\n");
    }

    std::string recorded_tools() { return read_file(state_.file("ifup.log")); }

    TempDir state_{"korvex-ctl"};
    std::unique_ptr<TestSystemBus> bus_;
    NetNamespace space_;
    std::unique_ptr<Agent> network_;
    std::unique_ptr<Agent> sysconfig_;
};

TEST_F(KorvexctlOnAgents, SysconfigRunsReportTheKeyStatusAndSkipConfiguredKeys) {
    const std::string hosts = state_.file("hosts");
    write_file(hosts, "127.0.0.1\tlocalhost\n");

    const auto first = ctl({"sysconfig", "run-string", "--scheme", "augeas", "--key", "demo-hosts",
                            hosts_script("first", "192.0.2.7")});
    ASSERT_EQ(first.exit_code(), 0) << first.err;
    EXPECT_EQ(first.out, "OK\nSaved 1 file(s)\n");
    EXPECT_THAT(read_file(hosts), HasSubstr("192.0.2.7\tfirst.test"));

    const json status = ctl_json({"sysconfig", "is-configured", "demo-hosts"});
    EXPECT_EQ(status.at("key"), "demo-hosts");
    EXPECT_EQ(status.at("configured"), true);
    EXPECT_EQ(status.at("result"), "OK");
    EXPECT_EQ(status.at("status"), first.out);
    EXPECT_EQ(ctl({"sysconfig", "is-configured", "demo-hosts"}).out, first.out);

    // Configured already: the document from standard input is not run.
    const auto skipped =
        ctl({.args = {"sysconfig", "run-string", "--scheme", "augeas", "--key", "demo-hosts", "-"},
             .stdin_path = hosts_script("second", "192.0.2.8")});
    ASSERT_EQ(skipped.exit_code(), 0) << skipped.err;
    EXPECT_EQ(skipped.out, first.out);
    EXPECT_EQ(skipped.err, "korvexctl: not run: demo-hosts already configured (use --force)\n");
    EXPECT_THAT(read_file(hosts), Not(HasSubstr("192.0.2.8")));

    // Forced, from a plain path that becomes a file:// URI; and from stdin.
    const json forced = ctl_json({"sysconfig", "run-uri", "--scheme", "augeas", "--key",
                                  "demo-hosts", "--force", hosts_script("third", "192.0.2.9")});
    EXPECT_EQ(forced.at("uri"), "file://" + state_.file("third"));
    EXPECT_EQ(forced.at("run"), true);
    EXPECT_EQ(forced.at("result"), "OK");
    EXPECT_THAT(read_file(hosts), HasSubstr("192.0.2.9\tthird.test"));
    const auto piped = ctl(
        {.args = {"sysconfig", "run-string", "--scheme=augeas", "--key=demo-hosts", "--force", "-"},
         .stdin_path = hosts_script("fourth", "192.0.2.10")});
    ASSERT_EQ(piped.exit_code(), 0) << piped.err;
    EXPECT_THAT(read_file(hosts), HasSubstr("192.0.2.10\tfourth.test"));
    // Output piped: no progress line on standard error.
    EXPECT_EQ(piped.err, "");

    const json never = ctl_json({"sysconfig", "is-configured", "never-run"}, kNotConfigured);
    EXPECT_EQ(never.at("configured"), false);
    EXPECT_EQ(never.at("status"), "");
    EXPECT_EQ(ctl({"sysconfig", "is-configured", "never-run"}).out, "never-run: not configured\n");
}

TEST_F(KorvexctlOnAgents, AFailedRunPrintsItsStatusAndExitsWithFailure) {
    const std::string broken = state_.write("broken.augeas", "frobnicate /files\n");
    const auto run = ctl(words("sysconfig run-string --scheme augeas --key broken " + broken));
    EXPECT_EQ(run.exit_code(), kFailed) << run.err;
    EXPECT_THAT(run.out, StartsWith("FAILED\n"));

    const json stored = ctl_json({"sysconfig", "is-configured", "broken"}, kFailed);
    EXPECT_EQ(stored.at("result"), "FAILED");
    EXPECT_EQ(stored.at("configured"), true);

    // Run again without --force: the stored failure, and the exit status says so.
    const auto again = ctl(words("sysconfig run-string --scheme augeas --key broken " + broken));
    EXPECT_EQ(again.exit_code(), kFailed);
    EXPECT_EQ(again.out, run.out);
    EXPECT_EQ(again.err, "korvexctl: not run: broken already configured (use --force)\n");

    // A document the agent cannot fetch: the agent's reason, as it came.
    const auto fetch = ctl({"sysconfig", "run-uri", "--scheme", "augeas", "--key", "unfetched",
                            "file://" + state_.file("no-such-script")});
    EXPECT_EQ(fetch.exit_code(), kFailed);
    EXPECT_EQ(fetch.err, "korvexctl: Download failed: cannot download file://" +
                             state_.file("no-such-script") + ": Couldn't read a file:// file\n");

    // The keys list: only the run that got as far as its status, with its outcome and time.
    const json keys = ctl_json({"sysconfig", "keys"});
    ASSERT_EQ(keys.at("keys").size(), 1u) << keys.dump();
    const json &entry = keys["keys"][0];
    EXPECT_EQ(entry.size(), 3u) << keys.dump();
    EXPECT_EQ(entry.at("key"), "broken");
    EXPECT_EQ(entry.at("outcome"), "FAILED -1");
    EXPECT_LE(std::abs(entry.at("when").get<int64_t>() - time(nullptr)), 300);
    EXPECT_THAT(
        ctl({"sysconfig", "keys"}).out,
        testing::MatchesRegex("KEY     OUTCOME    WHEN\nbroken  FAILED -1  "
                              "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9:]{8} \\([0-9] min ago\\)\n"));
}

TEST_F(KorvexctlOnAgents, PuppetFailuresAreExplainedAndLongRunsShowTheirTime) {
    const auto syntax = ctl({"sysconfig", "run-string", "--scheme", "puppet", "--key", "syntax",
                             state_.write("syntax.pp", "file { '/nonexistent/x': ensure => \n")});
    EXPECT_EQ(syntax.exit_code(), kFailed);
    EXPECT_THAT(syntax.err, HasSubstr("exit status 1: a syntax error in the manifest"));
    EXPECT_THAT(syntax.err, HasSubstr("journalctl -u korvex-sysconfig"));

    // On a terminal a run's seconds are counted on stderr, the line cleared once it answers.
    const std::string slow_pp =
        state_.write("slow.pp", "exec { 'wait': command => '/bin/sleep 3' }\n");
    const auto slow = ctl({.args = {"--no-ask-password", "sysconfig", "run-string", "--scheme",
                                    "puppet", "--key", "slow", slow_pp},
                           .terminal = true});
    EXPECT_EQ(slow.exit_code(), 0) << slow.out;
    EXPECT_THAT(slow.out, HasSubstr("applying slow (puppet) ... 2s"));
    EXPECT_THAT(slow.out, HasSubstr("\r\033[KOK"));
}

TEST_F(KorvexctlOnAgents, QueryReadsTheAgentsAugeasTree) {
    // augtool reads the same files with the same library.
    const auto augtool = run_checked(command({"augtool", "get", "/files/etc/hosts/1/ipaddr"}));
    const auto equals = augtool.out.find(" = ");
    ASSERT_NE(equals, std::string::npos) << augtool.out;
    const std::string expected = augtool.out.substr(equals + 3);

    EXPECT_EQ(ctl({"sysconfig", "query", "/files/etc/hosts/1/ipaddr"}).out, expected);
    const json answer =
        ctl_json(words("sysconfig query --scheme augeas /files/etc/hosts/1/ipaddr"));
    EXPECT_EQ(answer.at("value").get<std::string>() + "\n", expected);
    EXPECT_EQ(answer.at("path"), "/files/etc/hosts/1/ipaddr");
    // Only augeas answers queries.
    EXPECT_EQ(ctl_json({"sysconfig", "query", "--scheme", "puppet", "/files/etc/hosts/1/ipaddr"})
                  .at("value"),
              "");
}

TEST_F(KorvexctlOnAgents, NetworkCommandsReportAndSwitchInterfaces) {
    const std::map<std::string, std::string> expected = {
        {"lo", "up"}, {"kx0", "down"}, {"kx1", "down"}};
    const auto listing = ctl({"network", "list"});
    ASSERT_EQ(listing.exit_code(), 0) << listing.err;
    std::map<std::string, std::string> listed, from_json;
    std::istringstream lines(listing.out); // "NAME  up|down"
    for (std::string name, state; lines >> name >> state;)
        listed[name] = state;
    EXPECT_EQ(listed, expected) << listing.out;
    const json listed_json = ctl_json({"network", "list"});
    for (const auto &iface : listed_json.at("interfaces"))
        from_json[iface.at("name")] = iface.at("up").get<bool>() ? "up" : "down";
    EXPECT_EQ(from_json, expected);

    EXPECT_EQ(ctl({"network", "status", "lo"}).out, "lo: up\n");
    EXPECT_EQ(ctl_json({"network", "status", "kx0"}).at("up"), false);

    EXPECT_EQ(ctl({"network", "ip", "lo"}).out, "127.0.0.1\n");
    EXPECT_EQ(ctl_json({"network", "ip", "lo"}).at("ip"), "127.0.0.1");
    std::smatch m;
    const std::string link = space_.ip({"-o", "link", "show", "kx0"});
    ASSERT_TRUE(std::regex_search(link, m, std::regex(R"(link/ether ([0-9a-f:]{17}))"))) << link;
    std::string mac = ctl({"network", "mac", "kx0"}).out;
    std::transform(mac.begin(), mac.end(), mac.begin(), ::tolower);
    EXPECT_EQ(mac, m[1].str() + "\n");
    // A name list does not show is an error for every command (start runs nothing).
    for (const char *sub : {"status", "start", "stop", "ip", "mac"}) {
        const auto absent = ctl({"network", sub, "no-such-if"});
        EXPECT_EQ(absent.exit_code(), kBadArgument) << sub;
        EXPECT_EQ(absent.out, "") << sub;
        EXPECT_EQ(absent.err,
                  "korvexctl: no interface \"no-such-if\" (see korvexctl network list)\n")
            << sub;
    }

    // Nothing is run for an interface already in the wanted state.
    EXPECT_EQ(ctl({"network", "start", "lo"}).out, "lo: up\n");
    EXPECT_EQ(ctl({"network", "stop", "kx0"}).out, "kx0: down\n");
    EXPECT_EQ(recorded_tools(), "");

    // Otherwise the interface scripts run (here the recorder in their place), and start waits
    // until the agent signals the state; one that does not come fails once the wait is over.
    const json started = ctl_json({"network", "start", "kx0"});
    EXPECT_EQ(started.at("interface"), "kx0");
    EXPECT_EQ(started.at("up"), true);
    EXPECT_TRUE(wait_until([&] { return recorded_tools().find("ifup kx0\n") != std::string::npos; },
                           std::chrono::seconds(20)))
        << recorded_tools();
    const auto late = ctl({"network", "start", "--wait", "1", "kx1"});
    EXPECT_EQ(late.exit_code(), kFailed);
    EXPECT_EQ(late.err, "korvexctl: kx1 did not come up within 1 s (ifup's messages are in the "
                        "agent's log)\n");
    const auto stopped = ctl({"network", "stop", "--no-wait", "lo"});
    EXPECT_EQ(stopped.exit_code(), 0) << stopped.err;
    EXPECT_TRUE(
        wait_until([&] { return recorded_tools().find("ifdown lo\n") != std::string::npos; },
                   std::chrono::seconds(20)))
        << recorded_tools();
}

TEST_F(KorvexctlOnAgents, MonitorPrintsEachChangeAsItComes) {
    Process monitor({.argv = {KORVEXCTL_PATH, "monitor", "--json"},
                     .env = {"DBUS_SYSTEM_BUS_ADDRESS=" + bus_->address()},
                     .stdout_path = state_.file("monitor.out")});
    // It listens from a moment of its own: kx1 flips until it tells.
    bool up = false;
    ASSERT_TRUE(wait_until(
        [&] {
            space_.ip({"link", "set", "kx1", (up = !up) ? "up" : "down"});
            return !read_file(state_.file("monitor.out")).empty();
        },
        std::chrono::seconds(20), std::chrono::milliseconds(200)));
    const json event = json::parse(split_lines(read_file(state_.file("monitor.out"))).at(0));
    EXPECT_EQ(event.at("event"), "interface");
    EXPECT_EQ(event.at("iface"), "kx1");
    EXPECT_EQ(event.at("present"), true);
    EXPECT_EQ(event.at("ip"), "0.0.0.0");
    EXPECT_THAT(ctl({"monitor", "--help"}).out, StartsWith("Usage: korvexctl monitor\n"));

    // A status written is told to root, with the keys list's outcome and time; user nobody,
    // who hears interfaces, is not told of keys.
    Process other({.argv = {KORVEXCTL_PATH, "monitor", "--json"},
                   .env = {"DBUS_SYSTEM_BUS_ADDRESS=" + bus_->address()},
                   .uid = kNobody,
                   .stdout_path = state_.file("other.out")});
    ASSERT_TRUE(wait_until(
        [&] {
            space_.ip({"link", "set", "kx1", (up = !up) ? "up" : "down"});
            return !read_file(state_.file("other.out")).empty();
        },
        std::chrono::seconds(20), std::chrono::milliseconds(200)));
    ASSERT_EQ(ctl({"sysconfig", "run-string", "--scheme", "augeas", "--key", "watched",
                   state_.write("watched.aug", "get /augeas/version\n")})
                  .exit_code(),
              0);
    ASSERT_TRUE(wait_until(
        [&] { return read_file(state_.file("monitor.out")).find("\"key\"") != std::string::npos; },
        std::chrono::seconds(20)));
    const json told = json::parse(split_lines(read_file(state_.file("monitor.out"))).back());
    json listed = ctl_json({"sysconfig", "keys"}).at("keys").at(0);
    listed["event"] = "key";
    EXPECT_EQ(told, listed);
    // Signals reach each listener in order: once a later flip reached nobody, so had the key.
    const size_t heard = split_lines(read_file(state_.file("other.out"))).size();
    space_.ip({"link", "set", "kx1", (up = !up) ? "up" : "down"});
    ASSERT_TRUE(wait_until(
        [&] { return split_lines(read_file(state_.file("other.out"))).size() > heard; },
        std::chrono::seconds(20)));
    EXPECT_THAT(read_file(state_.file("other.out")), Not(HasSubstr("\"key\"")));
}

TEST_F(KorvexctlOnAgents, NoCommandShowsTheHostTheAgentsAndTheInterfaces) {
    const auto view = ctl(std::vector<std::string>{});
    ASSERT_EQ(view.exit_code(), 0) << view.err;
    EXPECT_THAT(view.out, HasSubstr("       Host name: " + expected_hostname() + "\n"));
    EXPECT_THAT(view.out, HasSubstr("       Host UUID: " + ctl({"get", "network", "uuid"}).out));
    EXPECT_THAT(view.out, HasSubstr(" Sysconfig agent: answering (org.vaduderuvoziz.Sysconfig)\n"));
    EXPECT_THAT(view.out, HasSubstr("      Interfaces: "));
    for (const char *row : {"lo   up\n", "kx0  down\n", "kx1  down\n"})
        EXPECT_THAT(view.out, HasSubstr(row)) << row << view.out;
    EXPECT_EQ(ctl({"status"}).out, view.out);
    EXPECT_THAT(view.out, Not(HasSubstr(std::string(16, ' ') + ": "))) << "a bare \":\" line";

    // An agent that does not answer is shown with the reason; the others still are.
    network_->process().signal(SIGSTOP);
    const json partial = ctl_json({"--timeout", "1", "status"});
    network_->process().signal(SIGCONT);
    EXPECT_EQ(partial.at("hostname"), expected_hostname());
    EXPECT_EQ(partial.at("agents").at(0).at("answers"), true);
    EXPECT_EQ(partial.at("agents").at(1).at("answers"), false);
    EXPECT_THAT(partial.at("agents").at(1).at("error").get<std::string>(),
                HasSubstr("network agent"));
    EXPECT_EQ(partial.at("interfaces").size(), 0u);

    TestSystemBus other({.start_polkit = false});
    const auto none = korvexctl(other.address(), Ctl{{}});
    EXPECT_EQ(none.exit_code(), kUnreachable) << none.out;
    EXPECT_THAT(none.out, HasSubstr("Network agent: not answering: the network agent "
                                    "(org.vaduderuvoziz.Network) is not reachable: it is not "
                                    "running, and the bus knows no way to start it (is korvex "
                                    "installed?)"));
}

TEST_F(KorvexctlOnAgents, OnATerminalATextAuthenticationAgentServesTheCalls) {
    // A pkttyagent stand-in: logs its arguments, reports itself registered by closing fd 3, waits.
    const std::string stubs = state_.file("stubs");
    const std::string log = state_.file("pkttyagent.log");
    const std::string pid_file = state_.file("pkttyagent.pid");
    mkdir(stubs.c_str(), 0755);
    write_file(stubs + "/pkttyagent",
               "#!/bin/sh\necho \"$*\" >> " + log + "\necho $$ > " + pid_file +
                   "\nexec 3>&-\nexec sleep 60\n",
               0755);
    const std::vector<std::string> env = {"PATH=" + stubs + ":" + getenv("PATH")};

    const auto asked = ctl({.args = {"network", "list"}, .terminal = true, .env = env});
    EXPECT_EQ(asked.exit_code(), 0) << asked.out;
    EXPECT_EQ(read_file(log), "--notify-fd 3 --fallback\n");
    // Stopped again once the calls are done.
    EXPECT_FALSE(process_alive(std::stoi(read_file(pid_file))));

    const auto quiet =
        ctl({.args = {"--no-ask-password", "network", "list"}, .terminal = true, .env = env});
    EXPECT_EQ(quiet.exit_code(), 0) << quiet.out;
    const auto piped = ctl({.args = {"network", "list"}, .env = env});
    EXPECT_EQ(piped.exit_code(), 0) << piped.err;
    EXPECT_EQ(read_file(log), "--notify-fd 3 --fallback\n");
}

TEST_F(KorvexctlOnAgents, GetAndSetReachTheAgentsProperties) {
    const json uuid = ctl_json({"get", "sysconfig", "uuid"});
    EXPECT_EQ(uuid.at("agent"), "sysconfig");
    EXPECT_EQ(uuid.at("value").get<std::string>().size(), 36u);
    EXPECT_EQ(ctl({"get", "network", "uuid"}).out, uuid.at("value").get<std::string>() + "\n");
    EXPECT_EQ(ctl({"get", "network", "hostname"}).out, expected_hostname() + "\n");
    EXPECT_EQ(ctl_json({"get", "sysconfig", "hostname"}).at("value"), expected_hostname());

    EXPECT_EQ(ctl_json({"get", "sysconfig", "is_postboot_configured"}).at("value"), 0);
    EXPECT_EQ(ctl_json({"get", "network", "qmf-gen-no-crash"}).at("value"), 0);
    EXPECT_EQ(ctl({"get", "sysconfig", "qmf-gen-no-crash"}).out, "0\n");

    const auto set = ctl({"set", "sysconfig", "is_postboot_configured", "1"});
    EXPECT_EQ(set.exit_code(), 0) << set.err;
    EXPECT_EQ(set.out, "");
    // The agent accepts the value but keeps none.
    EXPECT_EQ(ctl({"get", "sysconfig", "is_postboot_configured"}).out, "0\n");

    EXPECT_EQ(ctl({"get", "network", "is_postboot_configured"}).exit_code(), kBadArgument);
    EXPECT_EQ(ctl({"set", "sysconfig", "uuid", "1"}).exit_code(), kBadArgument);
    EXPECT_EQ(ctl({"set", "sysconfig", "is_postboot_configured", "yes"}).exit_code(), kBadArgument);
}

TEST_F(KorvexctlOnAgents, ExitStatusTellsRefusalBadArgumentFailureAndUnreachableApart) {
    // PolicyKit refuses nobody: every call fails, naming the action.
    for (const auto &[args, action] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"network", "list"}, "org.vaduderuvoziz.Network.list"},
             {{"sysconfig", "is-configured", "k"}, "org.vaduderuvoziz.Sysconfig.is_configured"},
             {{"sysconfig", "preview", "--scheme", "augeas", "/dev/null"},
              "org.vaduderuvoziz.Sysconfig.Preview.preview_string"},
             {{"get", "network", "uuid"}, "org.vaduderuvoziz.Network.uuid"}}) {
        const auto refused = ctl(Ctl{args, kNobody});
        EXPECT_EQ(refused.exit_code(), kNotAuthorized)
            << args[0] << " " << args[1] << ": " << refused.err;
        EXPECT_THAT(refused.err, StartsWith("korvexctl: not authorized to " + action + ": "));
        EXPECT_EQ(refused.out, "");
    }

    // Keys the agent refuses, and a scheme it does not know.
    const std::string noop = state_.write("noop.augeas", "\n");
    for (const char *key : {".hidden", "a/b"}) {
        const auto bad = ctl({"sysconfig", "run-string", "--scheme", "augeas", "--key", key, noop});
        EXPECT_EQ(bad.exit_code(), kBadArgument) << key << ": " << bad.err;
        EXPECT_NE(bad.err, "");
    }
    EXPECT_EQ(ctl(words("sysconfig run-string --scheme cfengine --key fresh " + noop)).exit_code(),
              kBadArgument);

    // Wrong usage never reaches the bus.
    for (const std::string &args : std::vector<std::string>{
             "frobnicate", "network", "network status", "sysconfig run-string --scheme augeas file",
             "sysconfig query --force /files", "network list --bogus", "get printer uuid",
             "--timeout soon network list",
             "sysconfig run-string --scheme augeas --key k " + state_.file("missing")}) {
        const auto usage = ctl(words(args));
        EXPECT_EQ(usage.exit_code(), kBadArgument) << usage.err;
    }

    // An agent that never answers: the call gives up after --timeout.
    network_->process().signal(SIGSTOP);
    const auto late = ctl({"--timeout", "1", "network", "list"});
    network_->process().signal(SIGCONT);
    EXPECT_EQ(late.exit_code(), kFailed) << late.err;

    // No bus at all, and a bus the agents are not on.
    const auto no_bus =
        korvexctl("unix:path=" + state_.file("no-such-socket"), Ctl{{"network", "list"}});
    EXPECT_EQ(no_bus.exit_code(), kUnreachable) << no_bus.err;
    TestSystemBus other({.start_polkit = false});
    const auto absent = korvexctl(other.address(), Ctl{{"sysconfig", "is-configured", "k"}});
    EXPECT_EQ(absent.exit_code(), kUnreachable) << absent.err;
    EXPECT_THAT(absent.err, HasSubstr("org.vaduderuvoziz.Sysconfig"));
}

TEST(KorvexctlHelp, EveryCommandExplainsItselfAndTheExitStatuses) {
    for (const std::string topic :
         {"", "status", "sysconfig", "sysconfig run-string", "sysconfig run-uri",
          "sysconfig preview", "sysconfig preview-uri", "sysconfig query",
          "sysconfig is-configured", "sysconfig keys", "network", "network list", "network status",
          "network start", "network stop", "network ip", "network mac", "get", "set"}) {
        const auto help = korvexctl("unix:path=/nonexistent", Ctl{words(topic + " --help")});
        const std::string name = topic.empty() ? "korvexctl" : "korvexctl " + topic;
        EXPECT_EQ(help.exit_code(), 0) << name;
        EXPECT_THAT(help.out, StartsWith("Usage: " + (topic.starts_with("network ")
                                                          ? std::string("korvexctl network")
                                                          : name)));
        if (!topic.empty()) {
            EXPECT_THAT(help.out, HasSubstr(topic.substr(topic.rfind(' ') + 1)));
        }
        EXPECT_THAT(help.out, HasSubstr("Exit status:")) << name;
    }
}

TEST_F(KorvexctlOnAgents, PreviewsExitLikeDiffAndChangeNothing) {
    const std::string hosts = state_.file("hosts");
    const std::string before = "127.0.0.1\tlocalhost\n";
    write_file(hosts, before);
    const auto same =
        ctl({"sysconfig", "preview", "--scheme", "augeas",
             state_.write("same.augeas", "transform Hosts incl " + hosts + "\nload\nset /files" +
                                             hosts + "/1/canonical localhost\nsave\n")});
    EXPECT_EQ(same.exit_code(), 0) << same.err;
    EXPECT_EQ(same.out, "");

    // From standard input: the diff, exit status 1, the file as it was.
    const auto edit = ctl({.args = {"sysconfig", "preview", "--scheme", "augeas", "-"},
                           .stdin_path = hosts_script("edit", "192.0.2.7")});
    EXPECT_EQ(edit.exit_code(), 1) << edit.err;
    EXPECT_NE(edit.out.find("--- " + hosts), std::string::npos) << edit.out;
    EXPECT_NE(edit.out.find("\n+192.0.2.7\tedit.test\n"), std::string::npos) << edit.out;
    EXPECT_EQ(read_file(hosts), before);

    const json shown =
        ctl_json({"sysconfig", "preview-uri", "--scheme", "augeas", state_.file("edit")}, 1);
    EXPECT_EQ(shown.at("changes"), true);
    EXPECT_EQ(shown.at("report"), edit.out);

    // Failures stay above 1, which says "changes" here.
    const auto fetch = ctl({"sysconfig", "preview-uri", "--scheme", "augeas",
                            "file://" + state_.file("no-such-script")});
    EXPECT_EQ(fetch.exit_code(), 6) << fetch.err;
    EXPECT_EQ(fetch.err, "korvexctl: Download failed\ncannot download file://" +
                             state_.file("no-such-script") + ": Couldn't read a file:// file\n");

    // On a terminal, control sequences in the report are shown, not obeyed.
    write_file(hosts, before + "# \x1b]0;title\x07\x1b[2J\n");
    const auto shown_as_text = ctl({.args = {"--no-ask-password", "sysconfig", "preview",
                                             "--scheme", "augeas", state_.file("edit")},
                                    .terminal = true});
    EXPECT_EQ(shown_as_text.exit_code(), 1) << shown_as_text.out;
    EXPECT_THAT(shown_as_text.out, HasSubstr(" # \\x1b]0;title\\x07\\x1b[2J"));
    EXPECT_THAT(shown_as_text.out, Not(HasSubstr("\x1b]0;")));
}

TEST_F(KorvexctlOnAgents, HostOptionTalksToTheAgentsOfAnotherHostOverSsh) {
    const LoopbackSsh ssh(bus_->address());
    const std::string host = "root@127.0.0.1:" + ssh.port();
    auto remote = [&](std::string target, std::vector<std::string> args) {
        args.insert(args.begin(), {"-H", target});
        return ctl({.args = args, .env = {ssh.env()}});
    };
    const auto view = remote(host, {"status"});
    EXPECT_EQ(view.exit_code(), 0) << view.err;
    EXPECT_EQ(view.out, ctl({"status"}).out);

    const std::string hosts = state_.file("hosts");
    write_file(hosts, "127.0.0.1\tlocalhost\n");
    const auto preview = remote(
        host, {"sysconfig", "preview", "--scheme", "augeas", hosts_script("far", "192.0.2.7")});
    EXPECT_EQ(preview.exit_code(), 1) << preview.err;
    EXPECT_THAT(preview.out, HasSubstr("\n+192.0.2.7\tfar.test\n"));
    // The agent's own words are explained as here, the host put before them once.
    const auto syntax = remote(host, {"sysconfig", "run-string", "--scheme", "puppet", "--key",
                                      "far", state_.write("far.pp", "file { '/x': ensure =>\n")});
    EXPECT_THAT(syntax.err, StartsWith("korvexctl: " + host + ": puppet run for far ended with "
                                       "exit status 1: a syntax error"));

    // PolicyKit there judges the ssh user, here nobody; messages name the host.
    const auto refused = remote("refusing", {"network", "list"});
    EXPECT_EQ(refused.exit_code(), kNotAuthorized) << refused.err;
    EXPECT_THAT(
        refused.err,
        StartsWith("korvexctl: refusing: not authorized to org.vaduderuvoziz.Network.list: "));

    const RefusingTcpPort closed;
    const std::string nowhere = "root@127.0.0.1:" + std::to_string(closed.port());
    const auto unreachable = remote(nowhere, {"--json", "network", "list"});
    EXPECT_EQ(unreachable.exit_code(), kUnreachable);
    EXPECT_EQ(unreachable.out, "");
    EXPECT_EQ(unreachable.err, "korvexctl: ssh to " + nowhere +
                                   " failed: ssh: connect to host 127.0.0.1 port " +
                                   std::to_string(closed.port()) + ": Connection refused\n");
}

// The collection's modules as ansible-playbook runs them, here (-c local) and over ssh: the same
// playbook, whose last task shows the others' results.
TEST_F(KorvexctlOnAgents, AnsibleModulesApplyDocumentsByTheHostsPreview) {
    const LoopbackSsh ssh(bus_->address());
    // The interface scripts switch the interface too, so that its state follows.
    write_file(state_.file("ifup-recorder"),
               "#!/bin/sh\necho \"${0##*/} $*\" >> " + state_.file("ifup.log") +
                   "\nip link set dev \"$1\" $([ \"${0##*/}\" = ifup ] && echo up || echo down)\n",
               0755);
    const std::string playbook = state_.write("site.yml", R"(- hosts: all
  gather_facts: false
  environment:
    PATH: "{{ ctl_dir }}:/usr/sbin:/usr/bin:/sbin:/bin"
    DBUS_SYSTEM_BUS_ADDRESS: "{{ bus }}"
  vars:
    script: |
      transform Hosts incl {{ hosts_file }}
      load
      set /files{{ hosts_file }}/2/ipaddr 192.0.2.7
      set /files{{ hosts_file }}/2/canonical fleet.test
      save
  tasks:
    - {korvex.agents.facts: {}, register: r0}
    - korvex.agents.config: {key: fleet, scheme: augeas, content: "{{ script }}"}
      check_mode: true
      diff: true
      register: r1
    - {korvex.agents.config: {key: fleet, scheme: augeas, content: "{{ script }}"}, register: r2}
    - {korvex.agents.config: {key: fleet, scheme: augeas, content: "{{ script }}"}, register: r3}
    - korvex.agents.config: {key: broken, scheme: augeas, content: "frobnicate /files\n"}
      ignore_errors: true
      register: r4
    - {korvex.agents.interface: {name: kx0, state: up}, register: r5}
    - debug: {msg: "{{ [r0, r1, r2, r3, r4, r5] }}"}
)");
    const std::vector<std::string> env = {"HOME=" + state_.path(),
                                          "ANSIBLE_COLLECTIONS_PATH=" + source_dir() +
                                              "/src/ansible",
                                          "ANSIBLE_STDOUT_CALLBACK=minimal",
                                          "ANSIBLE_PIPELINING=1",
                                          "ANSIBLE_SSH_ARGS=-o ControlMaster=no",
                                          "ANSIBLE_PYTHON_INTERPRETER=/usr/bin/python3",
                                          "ANSIBLE_REMOTE_TMP=" + state_.path(),
                                          ssh.env()};
    for (const std::string target : {"local", "ssh"}) {
        const std::string hosts = state_.write("hosts-" + target, "127.0.0.1\tlocalhost\n");
        ProcessOptions run = command(
            {"ansible-playbook", "-i", target == "local" ? "127.0.0.1," : "shell,", "-c", target,
             playbook, "-e", "hosts_file=" + hosts, "-e", "bus=" + bus_->address(), "-e",
             "ctl_dir=" + std::filesystem::path(KORVEXCTL_PATH).parent_path().string()});
        run.env = env;
        const auto played = run_command(run, std::chrono::minutes(3));
        ASSERT_EQ(played.exit_code(), 0) << played.describe();
        // The last task shows every result: "HOST | SUCCESS => {...}".
        const auto shown = played.out.rfind(" | SUCCESS => ");
        ASSERT_NE(shown, std::string::npos) << played.out;
        const auto task = json::parse(played.out.substr(shown + 14)).at("msg");
        ASSERT_EQ(task.size(), 6u) << played.out;
        const json facts = task[0].at("ansible_facts");
        EXPECT_EQ(facts.at("korvex_hostname"), expected_hostname()) << target;
        EXPECT_EQ(facts.at("korvex_interfaces").back(), json({{"name", "lo"},
                                                              {"state", "up"},
                                                              {"ip", "127.0.0.1"},
                                                              {"mac", "00:00:00:00:00:00"}}));
        // The first pass recorded its key; the second pass's facts list it.
        EXPECT_EQ(facts.at("korvex_keys").size(), target == "local" ? 0u : 1u) << facts;
        if (target == "ssh") {
            EXPECT_EQ(facts["korvex_keys"][0].at("outcome"), "OK") << facts;
        }
        // Check mode shows the preview's diff; the real run, which still finds it, applies it.
        EXPECT_EQ(task[1].at("changed"), true) << target;
        EXPECT_THAT(task[1].at("diff").at("prepared").get<std::string>(),
                    HasSubstr("\n+192.0.2.7\tfleet.test\n"));
        EXPECT_EQ(task[2].at("report"), task[1].at("report"));
        EXPECT_EQ(task[2].at("changed"), true);
        EXPECT_EQ(task[2].at("outcome"), "OK");
        EXPECT_EQ(read_file(hosts), "127.0.0.1\tlocalhost\n192.0.2.7\tfleet.test\n");
        EXPECT_EQ(task[3].at("changed"), false) << target;
        EXPECT_EQ(task[4].at("failed"), true);
        EXPECT_THAT(task[4].at("msg").get<std::string>(),
                    HasSubstr("Unknown command 'frobnicate'"));
        // Brought up by the first run, left alone by the second.
        EXPECT_EQ(task[5].at("changed"), target == "local") << task[5];
        EXPECT_EQ(task[5].at("state"), "up");
    }
    EXPECT_EQ(recorded_tools(), "ifup kx0\n");

    ProcessOptions doc = command({"ansible-doc", "korvex.agents.config"});
    doc.env = env;
    const auto rendered = run_command(doc);
    EXPECT_EQ(rendered.exit_code(), 0) << rendered.err;
    EXPECT_THAT(rendered.out, HasSubstr("= scheme\n"));
}
