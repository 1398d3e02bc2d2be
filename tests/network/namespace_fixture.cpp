#include "namespace_fixture.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

namespace korvex::test {

namespace {

class MemoryFile {
public:
    explicit MemoryFile(const char *name) : fd_(memfd_create(name, 0)) {
        if (fd_ < 0)
            throw std::system_error(errno, std::generic_category(), "memfd_create");
    }
    ~MemoryFile() { ::close(fd_); }
    MemoryFile(const MemoryFile &) = delete;
    MemoryFile &operator=(const MemoryFile &) = delete;

    int fd() const { return fd_; }
    std::string contents() const {
        std::string text;
        char chunk[4096];
        ssize_t got;
        off_t offset = 0;
        while ((got = ::pread(fd_, chunk, sizeof chunk, offset)) > 0) {
            text.append(chunk, static_cast<std::size_t>(got));
            offset += got;
        }
        return text;
    }

private:
    int fd_;
};

} // namespace

std::vector<std::string> CommandOutcome::lines() const {
    std::vector<std::string> result;
    std::istringstream stream(out);
    for (std::string line; std::getline(stream, line);)
        result.push_back(line);
    return result;
}

std::string CommandOutcome::describe() const {
    return "exit " + std::to_string(exit_status) + "\nstdout:\n" + out + "stderr:\n" + err;
}

CommandOutcome run_command(const std::vector<std::string> &argv) {
    MemoryFile out("stdout");
    MemoryFile err("stderr");
    std::vector<char *> raw_argv;
    for (const std::string &arg : argv)
        raw_argv.push_back(const_cast<char *>(arg.c_str()));
    raw_argv.push_back(nullptr);

    pid_t child = fork();
    if (child < 0)
        throw std::system_error(errno, std::generic_category(), "fork");
    if (child == 0) {
        int null_in = ::open("/dev/null", O_RDONLY);
        if (null_in < 0 || dup2(null_in, 0) < 0 || dup2(out.fd(), 1) < 0 || dup2(err.fd(), 2) < 0)
            _exit(126);
        execvp(raw_argv[0], raw_argv.data());
        _exit(127);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR)
            throw std::system_error(errno, std::generic_category(), "waitpid");
    }
    CommandOutcome outcome;
    outcome.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    outcome.out = out.contents();
    outcome.err = err.contents();
    return outcome;
}

CommandOutcome run_checked(const std::vector<std::string> &argv) {
    CommandOutcome outcome = run_command(argv);
    if (outcome.exit_status != 0) {
        std::string command;
        for (const std::string &arg : argv)
            command += arg + " ";
        throw std::runtime_error("command failed: " + command + "\n" + outcome.describe());
    }
    return outcome;
}

ScratchDir::ScratchDir() {
    std::string pattern = std::filesystem::temp_directory_path() / "knetwork-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::system_error(errno, std::generic_category(), "mkdtemp");
    path_ = pattern;
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string ScratchDir::write(const std::string &name, const std::string &content,
                              unsigned int mode) const {
    std::string target = file(name);
    {
        std::ofstream stream(target, std::ios::trunc);
        stream << content;
        if (!stream)
            throw std::runtime_error("cannot write " + target);
    }
    if (::chmod(target.c_str(), mode) != 0)
        throw std::system_error(errno, std::generic_category(), "chmod " + target);
    return target;
}

std::string ScratchDir::read(const std::string &name) const {
    std::ifstream stream(file(name));
    std::ostringstream text;
    text << stream.rdbuf();
    return text.str();
}

NetNamespace::NetNamespace(std::string name) : name_(std::move(name)) {
    run_checked({"ip", "netns", "add", name_});
}

NetNamespace::~NetNamespace() { run_command({"ip", "netns", "del", name_}); }

void NetNamespace::ip(const std::vector<std::string> &args) const {
    std::vector<std::string> argv{"ip", "-n", name_};
    argv.insert(argv.end(), args.begin(), args.end());
    run_checked(argv);
}

std::string NamespaceTest::unique_name(const char *role) {
    static std::atomic<int> counter{0};
    return "kxnet-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + "-" + role;
}

NamespaceTest::NamespaceTest() : space_(unique_name("test")), peers_(unique_name("peer")) {}

void NamespaceTest::add_veth(const std::string &name) {
    std::string peer = "peer" + std::to_string(peer_count_++);
    space_.ip({"link", "add", name, "type", "veth", "peer", "name", peer, "netns", peers_.name()});
}

void NamespaceTest::add_tun(const std::string &name) {
    space_.ip({"tuntap", "add", "dev", name, "mode", "tun"});
}

std::vector<std::string> NamespaceTest::link_names() const {
    CommandOutcome listing = run_checked({"ip", "-n", space_.name(), "-o", "link", "show"});
    std::vector<std::string> names;
    for (const std::string &line : listing.lines()) {
        // "7: eth0@if3: <BROADCAST,..." - the name ends at '@' or ':'.
        std::size_t start = line.find(": ");
        if (start == std::string::npos)
            continue;
        start += 2;
        std::size_t end = line.find_first_of("@:", start);
        names.push_back(line.substr(start, end - start));
    }
    return names;
}

std::string NamespaceTest::probe_path() { return KNETWORK_PROBE_PATH; }

std::string NamespaceTest::quoted(const std::string &text) {
    std::string result = "'";
    for (char c : text) {
        if (c == '\'')
            result += "'\\''";
        else
            result += c;
    }
    return result + "'";
}

CommandOutcome NamespaceTest::probe(const std::vector<std::string> &args) const {
    std::vector<std::string> argv{"ip", "netns", "exec", space_.name(), probe_path()};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_command(argv);
}

CommandOutcome NamespaceTest::isolated_shell(const std::string &script) const {
    return run_command({"ip", "netns", "exec", space_.name(), "unshare", "--mount", "--propagation",
                        "private", "--pid", "--fork", "--mount-proc", "sh", "-c", script});
}

} // namespace korvex::test
