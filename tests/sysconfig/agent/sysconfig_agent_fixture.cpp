#include "sysconfig_agent_fixture.h"

#include <filesystem>
#include <sstream>

namespace fs = std::filesystem;

namespace korvex::test {

std::unique_ptr<TestSystemBus> sysconfig_bus(const std::string &rules) {
    return std::make_unique<TestSystemBus>(TestBusOptions{.polkit_rules = rules});
}

std::unique_ptr<Agent> start_sysconfig_agent(const TestSystemBus &bus,
                                             std::vector<std::string> view, const std::string &cwd,
                                             const std::vector<std::string> &env) {
    view.insert(view.begin(), {"unshare", "-m", "--propagation", "private"});
    return std::make_unique<Agent>(bus, AgentOptions{.argv = {KX_SYSCONFIG_AGENT},
                                                     .prefix = std::move(view),
                                                     .env = env,
                                                     .cwd = cwd,
                                                     .bus_name = kSysconfigName});
}

Reply sysconfig_call(BusClient &client, const std::string &member, const std::vector<Arg> &args) {
    return client.call(kSysconfigName, kSysconfigPath, kSysconfigIface, member, args);
}

Reply sysconfig_get(BusClient &client, const std::string &property) {
    return client.call(kSysconfigName, kSysconfigPath, kPropertiesIface, "Get",
                       {Arg::s(kSysconfigIface), Arg::s(property)});
}

std::optional<std::string> key_status(const std::string &keys_dir, const std::string &key) {
    const std::string path = keys_dir + "/sysconfig-keys/" + key;
    return fs::is_regular_file(path) ? std::optional{read_file(path)} : std::nullopt;
}

Gate::Gate(const TempDir &dir, const std::string &name)
    : folder_(dir.file("gate-" + name)), name_(name) {
    fs::create_directories(folder_);
}

bool Gate::reached() const {
    return wait_until([&] { return file_exists(folder_ + "/reached"); }, std::chrono::seconds(90),
                      std::chrono::milliseconds(100));
}

std::string Gate::manifest() const {
    const std::string wait = "touch \"" + folder_ + "/reached\"; while [ -d \"" + folder_ +
                             "\" ] && [ ! -e \"" + folder_ + "/open\" ]; do sleep 0.1; done";
    return "exec { 'wait for gate " + name_ + "':\n  command  => '" + wait +
           "',\n  provider => shell,\n  path     => ['/usr/bin', '/bin'],\n  timeout  => 0,\n}\n";
}

void SysconfigAgentTest::SetUp() {
    // The agent's view of /etc: a host name to query and a hosts file of several entries.
    fs::create_directories(state_.file("etc-upper"));
    write_file(state_.file("etc-upper/hostname"), std::string(kAgentHostname) + "\n");
    write_file(state_.file("etc-upper/hosts"), kOriginalHosts);
    write_file(hosts_path(), kOriginalHosts);

    bus_ = sysconfig_bus(polkit_rules_);
    start_agent();
    client_ = std::make_unique<BusClient>(bus_->address());
}

void SysconfigAgentTest::start_agent(const std::vector<std::string> &env) {
    agent_.reset(); // before its successor starts
    agent_ =
        start_sysconfig_agent(*bus_, {KX_PRIVATE_HOST_STATE, state_.path()}, work_.path(), env);
    ASSERT_TRUE(agent_->wait_for_name()) << agent_->stderr_text();
}

void SysconfigAgentTest::TearDown() {
    if (!agent_ || !client_)
        return;
    EXPECT_TRUE(agent_->process().running()) << agent_->stderr_text();
    // A round trip lets the agent finish replying (a puppet completion then removes its manifest).
    Reply alive = is_configured("teardown-probe");
    EXPECT_TRUE(alive.ok) << alive.error_name << ": " << alive.error_message;
    EXPECT_EQ(client_->name_owner_pid(kSysconfigName),
              static_cast<uint32_t>(agent_->process().pid()));
    // Runs still blocked by a failed test's gates hold their manifests.
    if (!HasFailure()) {
        EXPECT_TRUE(temporary_documents().empty())
            << "left in " << work_.path() << ": "
            << ::testing::PrintToString(temporary_documents());
    }
    // Files the agent wrote into its view of /etc, or changed there.
    std::vector<std::string> found;
    for (const auto &entry : fs::recursive_directory_iterator(state_.file("etc-upper")))
        if (const std::string name = fs::relative(entry.path(), state_.file("etc-upper"));
            name != "hostname" && name != "hosts")
            found.push_back(name);
    if (read_file(state_.file("etc-upper/hostname")) != std::string(kAgentHostname) + "\n")
        found.push_back("hostname (changed)");
    if (read_file(state_.file("etc-upper/hosts")) != kOriginalHosts)
        found.push_back("hosts (changed)");
    EXPECT_TRUE(found.empty()) << ::testing::PrintToString(found);
}

bool process_alive(pid_t pid) {
    const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    const size_t end = stat.rfind(") ");
    return end != std::string::npos && stat[end + 2] != 'Z';
}

static void add_descendants(pid_t pid, std::vector<pid_t> &found) {
    std::error_code gone;
    for (const auto &task :
         fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", gone)) {
        std::istringstream children(read_file(task.path() / "children"));
        for (pid_t child; children >> child; add_descendants(child, found))
            if (process_alive(child))
                found.push_back(child);
    }
}

std::vector<pid_t> SysconfigAgentTest::agent_descendants() {
    std::vector<pid_t> found;
    add_descendants(agent_->process().pid(), found);
    return found;
}

std::vector<std::string> SysconfigAgentTest::temporary_documents() const {
    std::vector<std::string> found;
    for (const auto &entry : fs::directory_iterator(work_.path()))
        if (const std::string name = entry.path().filename();
            name.starts_with("augeas_conf_") || name.starts_with("puppet_conf_"))
            found.push_back(name);
    return found;
}

std::string SysconfigAgentTest::add_host_script(const std::string &address,
                                                const std::string &name) const {
    const std::string node = "/files" + hosts_path() + "/01";
    return hosts_script("set " + node + "/ipaddr " + address + "\nset " + node + "/canonical " +
                        name + "\nsave\n");
}

} // namespace korvex::test
