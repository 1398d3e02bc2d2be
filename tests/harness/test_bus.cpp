#include "test_bus.h"

#include <filesystem>
#include <stdexcept>

#include <sys/stat.h>

#include "bus_client.h"
#include "bus_config.h"

#ifndef KORVEX_SOURCE_DIR
#error "KORVEX_SOURCE_DIR must name the source folder"
#endif

namespace fs = std::filesystem;

namespace korvex::test {

namespace {

void copy_readable(const std::string &from, const std::string &to_dir) {
    const auto target = fs::path(to_dir) / fs::path(from).filename();
    fs::copy_file(from, target, fs::copy_options::overwrite_existing);
    chmod(target.c_str(), 0644);
}

} // namespace

std::string source_dir() { return KORVEX_SOURCE_DIR; }

bool wait_for_bus(Process &daemon, const std::string &address, std::chrono::milliseconds timeout) {
    return wait_until(
               [&] {
                   if (!daemon.running())
                       return true;
                   try {
                       BusClient probe(address);
                       return true;
                   } catch (const std::exception &) {
                       return false;
                   }
               },
               timeout) &&
           daemon.running();
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
    // polkitd drops to its own user: the folders bound into its view and the
    // socket's folder must be reachable for it and for unprivileged callers.
    chmod(dir_.path().c_str(), 0755);
    const std::string d = dir_.path();
    for (const char *sub : {"/system.d", "/actions", "/rules.d", "/etc-rules.d"}) {
        fs::create_directories(d + sub);
        chmod((d + sub).c_str(), 0755);
    }
    for (const auto &entry : fs::directory_iterator(source_dir() + "/data/dbus"))
        copy_readable(entry.path(), d + "/system.d");
    for (const auto &entry : fs::directory_iterator(source_dir() + "/data/polkit"))
        copy_readable(entry.path(), d + "/actions");
    for (const auto &extra : options.extra_policies)
        copy_readable(extra, d + "/actions");
    if (!options.polkit_rules.empty())
        write_file(d + "/rules.d/50-test.rules", options.polkit_rules, 0644);
    BusConfig config;
    config.socket_path = d + "/system_bus_socket";
    config.include_dir = d + "/system.d";
    config.extra_policy = options.extra_bus_policy;
    write_file(d + "/bus.conf", system_bus_config(config));

    address_ = "unix:path=" + config.socket_path;
    ProcessOptions bus =
        command({"dbus-daemon", "--config-file=" + d + "/bus.conf", "--nofork", "--nopidfile"});
    bus.stderr_path = d + "/dbus-daemon.log";
    bus_ = std::make_unique<Process>(bus);

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
    const bool owned = wait_until(
        [&] { return !polkit->running() || client.name_has_owner("org.freedesktop.PolicyKit1"); },
        std::chrono::seconds(15));
    if (!owned || !polkit->running())
        throw std::runtime_error("polkitd did not start: " + read_file(options.stderr_path));
    return polkit;
}

void TestSystemBus::start_polkit() {
    polkit_ = start_polkitd(address_, dir_.file("actions"), dir_.path());
}

void TestSystemBus::stop_polkit() {
    if (!polkit_)
        return;
    polkit_->stop();
    polkit_.reset();
    BusClient client(address_);
    wait_until([&] { return !client.name_has_owner("org.freedesktop.PolicyKit1"); },
               std::chrono::seconds(10));
}

Agent::Agent(const TestSystemBus &bus, const AgentOptions &options)
    : bus_(bus), options_(options), logs_("korvex-agent") {
    stderr_path_ = logs_.file("stderr");
    ProcessOptions p = command(options.prefix);
    p.argv.insert(p.argv.end(), options.argv.begin(), options.argv.end());
    p.env = options.env;
    p.env.insert(p.env.end(), {bus.env(), "KX_LOG_STDERR=1"});
    p.cwd = options.cwd;
    p.stderr_path = stderr_path_;
    p.stdout_path = logs_.file("stdout");
    process_ = std::make_unique<Process>(p);
}

bool Agent::wait_for_name(std::chrono::milliseconds timeout) {
    BusClient client(bus_.address());
    return wait_until(
               [&] { return !process_->running() || client.name_has_owner(options_.bus_name); },
               timeout) &&
           process_->running();
}

std::string Agent::stderr_text() const { return read_file(stderr_path_); }

} // namespace korvex::test
