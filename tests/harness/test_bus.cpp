#include "test_bus.h"

#include <filesystem>
#include <stdexcept>

#include <sys/stat.h>

#include "bus_client.h"
#include "bus_config.h"

namespace fs = std::filesystem;

namespace korvex::test {

constexpr const char *kPolkitName = "org.freedesktop.PolicyKit1";

std::string source_dir() { return KORVEX_SOURCE_DIR; }

bool wait_for_bus(Process &daemon, const std::string &address, std::chrono::milliseconds timeout) {
    const auto connects = [&] {
        try {
            BusClient probe(address);
            return true;
        } catch (const std::exception &) {
            return false;
        }
    };
    return wait_until([&] { return !daemon.running() || connects(); }, timeout) && daemon.running();
}

std::string rules_refusing_user(const std::string &refused_user) {
    return R"(polkit.addRule(function(action, subject) {
    if (subject.user == ")" +
           refused_user + R"(")
        return polkit.Result.NO;
    return polkit.Result.YES;
});
)";
}

TestSystemBus::TestSystemBus(const TestBusOptions &options) : dir_("korvex-bus") {
    const std::string d = dir_.path();
    for (const char *sub : {"/system.d", "/actions", "/rules.d", "/etc-rules.d"})
        fs::create_directories(d + sub);
    const auto copy = fs::copy_options::recursive | fs::copy_options::overwrite_existing;
    fs::copy(source_dir() + "/data/dbus", d + "/system.d", copy);
    fs::copy(source_dir() + "/data/polkit", d + "/actions", copy);
    for (const auto &extra : options.extra_policies)
        fs::copy(extra, d + "/actions", copy);
    if (!options.polkit_rules.empty())
        write_file(d + "/rules.d/50-test.rules", options.polkit_rules);
    // polkitd drops to its own user: what is bound into its view and the socket's folder must be
    // reachable for it and for unprivileged callers.
    chmod(d.c_str(), 0755);
    for (const auto &entry : fs::recursive_directory_iterator(d))
        chmod(entry.path().c_str(), entry.is_directory() ? 0755 : 0644);
    write_file(d + "/bus.conf", system_bus_config({.socket_path = d + "/system_bus_socket",
                                                   .include_dir = d + "/system.d",
                                                   .extra_policy = options.extra_bus_policy}));
    address_ = "unix:path=" + d + "/system_bus_socket";
    bus_ = std::make_unique<Process>(ProcessOptions{
        .argv = {"dbus-daemon", "--config-file=" + d + "/bus.conf", "--nofork", "--nopidfile"},
        .stderr_path = d + "/dbus-daemon.log"});
    if (!wait_for_bus(*bus_, address_))
        throw std::runtime_error("dbus-daemon did not start: " + read_file(d + "/dbus-daemon.log"));

    if (options.start_polkit)
        start_polkit();
}

std::unique_ptr<Process> start_polkitd(const std::string &address, const std::string &actions_dir,
                                       const std::string &state_dir) {
    ProcessOptions options = command({"unshare", "-m", "--propagation", "private", "sh", "-c",
                                      "mount --bind \"$1\" /usr/share/polkit-1/actions && "
                                      "mount --bind \"$2/rules.d\" /usr/share/polkit-1/rules.d && "
                                      "mount --bind \"$2/etc-rules.d\" /etc/polkit-1/rules.d && "
                                      "exec /usr/lib/polkit-1/polkitd",
                                      "polkitd-wrapper", actions_dir, state_dir});
    options.env = {"DBUS_SYSTEM_BUS_ADDRESS=" + address};
    options.stderr_path = state_dir + "/polkitd.log";
    options.stdout_path = state_dir + "/polkitd.out";
    auto polkit = std::make_unique<Process>(options);
    BusClient client(address);
    if (!wait_until([&] { return !polkit->running() || client.name_has_owner(kPolkitName); },
                    std::chrono::seconds(15)) ||
        !polkit->running())
        throw std::runtime_error("polkitd did not start: " + read_file(options.stderr_path));
    return polkit;
}

void TestSystemBus::stop_polkit() {
    polkit_.reset();
    BusClient client(address_);
    wait_until([&] { return !client.name_has_owner(kPolkitName); }, std::chrono::seconds(10));
}

Agent::Agent(const TestSystemBus &bus, const AgentOptions &options)
    : bus_(bus), options_(options), logs_("korvex-agent"), stderr_path_(logs_.file("stderr")) {
    ProcessOptions p{.argv = options.prefix,
                     .env = options.env,
                     .cwd = options.cwd,
                     .stdout_path = logs_.file("stdout"),
                     .stderr_path = stderr_path_};
    p.argv.insert(p.argv.end(), options.argv.begin(), options.argv.end());
    p.env.insert(p.env.end(), {bus.env(), "KX_LOG_STDERR=1"});
    process_ = std::make_unique<Process>(p);
}

bool Agent::wait_for_name(std::chrono::milliseconds timeout) {
    BusClient client(bus_.address());
    return wait_until(
               [&] { return !process_->running() || client.name_has_owner(options_.bus_name); },
               timeout) &&
           process_->running();
}

} // namespace korvex::test
