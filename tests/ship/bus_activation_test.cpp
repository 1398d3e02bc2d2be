// Bus activation of the installed agents as the host's bus does it. The setuid launch helper reads
// the built-in /usr/share/dbus-1/system.conf: a mount namespace shows ours (and private /run).
#include <gmock/gmock.h>
#include <nlohmann/json.hpp>

#include <csignal>

#include <sys/stat.h>

#include "bus_client.h"
#include "bus_config.h"
#include "host_identity.h"
#include "ship_support.h"

using namespace korvex::test;
using testing::HasSubstr;
namespace fs = std::filesystem;

namespace {

class ActivationBus : public ::testing::Test {
protected:
    void SetUp() override {
        // The daemon scans the service folder as messagebus.
        chmod(root_.path().c_str(), 0755);
        install_tree(prefix_);
        for (const char *dir : {"run-dbus", "var-lib", "var-lib-work", "rules.d", "etc-rules.d"})
            fs::create_directory(root_.file(dir));
        chmod(root_.file("run-dbus").c_str(), 0755);
        write_file(
            root_.file("system.conf"),
            system_bus_config({.socket_path = "/run/dbus/system_bus_socket",
                               .include_dir = prefix_ + "/share/dbus-1/system.d",
                               .extra_policy = {},
                               .user = "messagebus",
                               .service_helper = "/usr/lib/dbus-1.0/dbus-daemon-launch-helper",
                               .service_dir = prefix_ + "/share/dbus-1/system-services"}));

        const std::string script =
            "mount -t tmpfs -o mode=0755 tmpfs /run && mkdir /run/dbus && "
            "mount --bind \"$1/run-dbus\" /run/dbus && "
            "mount --bind \"$1/system.conf\" /usr/share/dbus-1/system.conf && "
            "mount -t overlay overlay "
            "-o \"lowerdir=/var/lib,upperdir=$1/var-lib,workdir=$1/var-lib-work\" /var/lib && "
            "exec dbus-daemon --system --nofork --nopidfile";
        ProcessOptions daemon = command(
            {"unshare", "-m", "--propagation", "private", "sh", "-c", script, "bus", root_.path()});
        daemon.stderr_path = root_.file("dbus-daemon.log");
        daemon.stdout_path = root_.file("dbus-daemon.out");
        daemon_ = std::make_unique<Process>(daemon);
        ASSERT_TRUE(wait_for_bus(*daemon_, address_)) << daemon_log();

        ASSERT_NO_THROW(
            polkit_ = start_polkitd(address_, prefix_ + "/share/polkit-1/actions", root_.path()));
    }

    // Agents the bus started are not our children: found by their installed path, which is theirs.
    void TearDown() override {
        for (const char *agent : {"network-dbus", "sysconfig-dbus"})
            for (pid_t pid : processes_running(prefix_ + "/libexec/korvex/" + agent))
                kill(pid, SIGKILL);
    }

    CommandResult korvexctl(const std::vector<std::string> &args) {
        ProcessOptions options = command({prefix_ + "/bin/korvexctl"});
        options.argv.insert(options.argv.end(), args.begin(), args.end());
        options.env = {"DBUS_SYSTEM_BUS_ADDRESS=" + address_};
        return run_command(options, std::chrono::seconds(60));
    }

    std::string daemon_log() const { return read_file(root_.file("dbus-daemon.log")); }

    TempDir root_{"korvex-activation"};
    const std::string prefix_ = root_.file("prefix");
    const std::string address_ = "unix:path=" + root_.file("run-dbus/system_bus_socket");
    std::unique_ptr<Process> daemon_;
    std::unique_ptr<Process> polkit_;
};

} // namespace

TEST_F(ActivationBus, FirstCallStartsTheInstalledNetworkAgent) {
    const std::string agent = prefix_ + "/libexec/korvex/network-dbus";
    BusClient client(address_);
    ASSERT_FALSE(client.name_has_owner("org.vaduderuvoziz.Network"));
    ASSERT_TRUE(processes_running(agent).empty());

    const auto listing = korvexctl({"network", "list", "--json"});
    ASSERT_EQ(listing.exit_code(), 0) << listing.err << "\n" << daemon_log();
    const auto json = nlohmann::json::parse(listing.out);
    bool has_loopback = false;
    for (const auto &iface : json.at("interfaces"))
        has_loopback |= iface.at("name") == "lo";
    EXPECT_TRUE(has_loopback) << listing.out;

    EXPECT_TRUE(client.name_has_owner("org.vaduderuvoziz.Network"));
    EXPECT_EQ(processes_running(agent).size(), 1u);
    const std::string log = daemon_log();
    EXPECT_THAT(log, HasSubstr("Activating service name='org.vaduderuvoziz.Network'"));
    EXPECT_THAT(log, HasSubstr("using servicehelper"));

    // Later calls go to the running agent.
    ASSERT_EQ(korvexctl({"network", "status", "lo"}).exit_code(), 0);
    EXPECT_EQ(processes_running(agent).size(), 1u);
}

TEST_F(ActivationBus, FirstCallStartsTheInstalledSysconfigAgent) {
    const std::string agent = prefix_ + "/libexec/korvex/sysconfig-dbus";
    ASSERT_TRUE(processes_running(agent).empty());

    const auto hostname = korvexctl({"get", "sysconfig", "hostname"});
    ASSERT_EQ(hostname.exit_code(), 0) << hostname.err << "\n" << daemon_log();
    EXPECT_EQ(hostname.out, expected_hostname() + "\n");
    EXPECT_EQ(processes_running(agent).size(), 1u);
}
