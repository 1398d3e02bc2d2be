// sysconfig-preview-sandbox augeas|puppet VERSION: runs the tool of a
// preview where nothing it does reaches the host, while everything it
// reads is the host's.
//   augeas          the augeas preview helper installed beside this
//                   program, on the script that comes on standard input;
//   puppet VERSION  `puppet apply --noop` on the manifest that comes on
//                   standard input (VERSION: what `puppet --version` says);
//                   puppet's summary of its run is copied to descriptor 3.
// What the tool prints on standard output and error is the report.
// Exit status: the tool's own, 128 + N when it was killed by signal N, or
// 125 when no sandbox could be made or the host's facts could not be
// gathered (the reason is on standard output).
//
// A dry run is only a default: a manifest turns it off per resource
// (noop => false) and compile-time functions such as generate() ignore it,
// so the tool is kept from changing anything instead. The sandbox:
// - every mount of the host read-only, without set-id or device files, in
//   a mount namespace of its own. Not a throw-away overlay: with one, a
//   manifest's own writes would show to its later resources and the report
//   would describe a host that does not exist; here they fail and say so;
// - a new read-only /proc; /dev a private read-only tmpfs with only the
//   harmless devices; a small private tmpfs over /run as the one writable
//   place, where puppet keeps its state, logs and working folder. They go
//   with the namespace;
// - its own PID namespace, whose first process dies with this program,
//   which dies with the agent's thread that waits for it: kill -9 of the
//   agent leaves nothing running; an empty network namespace; its own IPC
//   and host name namespaces;
// - only the capabilities that reading as root and running programs as
//   other users need, no new privileges, and no AF_UNIX sockets (the system
//   bus, other daemons), kernel keyrings or io_uring.
// Puppet's facts must still be the host's, so facter gathers them outside,
// where no manifest code runs, while puppet starts inside; puppet waits
// for them on a FIFO (see feed_facts). Facter rather than `puppet facts`,
// which would load puppet a second time; the facts puppet adds of its own
// (its version, the certname, noop) are added here.
#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/capability.h>
#include <linux/filter.h>
#include <linux/mount.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <korvex/owners.h>

#include "whole_io.h"

namespace {

using korvex::UniqueFd;
using korvex::sysconfig::killed_by_signal;
using korvex::sysconfig::pidfd_of;
using korvex::sysconfig::read_up_to;
using korvex::sysconfig::write_all;

constexpr int exit_no_sandbox = korvex::sysconfig::sandbox_failed;
constexpr int summary_fd = 3;
// What the sandbox may keep in memory: puppet's state, its manifest, and
// whatever the tools write there. /dev holds only devices and links.
constexpr char scratch_options[] = "mode=0755,size=64m,nr_inodes=16384";
constexpr char devices_options[] = "mode=0755,size=64k,nr_inodes=64";
constexpr size_t facts_max = size_t{16} << 20;
constexpr size_t summary_max = size_t{1} << 20;

constexpr char work[] = "/run/preview";
// Puppet reads its facts through a name no host can have, then takes the
// host's name from the one fact that file holds.
constexpr char stand_in_name[] = "korvex-preview.invalid";
constexpr char name_fact[] = "korvex_preview_certname";

int say(int status, const std::string &text) {
    fputs((text + "\n").c_str(), stdout);
    fflush(stdout);
    return status;
}

std::string failed(const std::string &what) { return what + ": " + strerror(errno); }

bool write_file(const std::string &path, std::string_view text) {
    UniqueFd fd{open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600)};
    return fd && write_all(fd.get(), text);
}

std::string beside_this_program(const char *name) {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return name;
    std::string path{self, static_cast<size_t>(n)};
    return path.substr(0, path.rfind('/') + 1) + name;
}

// In a child: it dies with its parent; false when the parent is gone
// already (its pidfd, taken before the fork, is readable).
bool bound_to_parent(int parent_pidfd) {
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0)
        return false;
    pollfd gone{parent_pidfd, POLLIN, 0};
    return poll(&gone, 1, 0) == 0;
}

// The exit status as a shell gives it.
int status_code(int status) {
    return WIFSIGNALED(status) ? killed_by_signal + WTERMSIG(status) : WEXITSTATUS(status);
}

// ---- the host's facts, gathered outside ---------------------------------

struct Gatherer {
    pid_t pid = -1;
    UniqueFd facts;  // its standard output
    UniqueFd errors; // its standard error, in memory
};

std::optional<Gatherer> gather_facts() {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
        return std::nullopt;
    Gatherer gatherer{-1, UniqueFd{ends[0]}, UniqueFd{memfd_create("facts-errors", MFD_CLOEXEC)}};
    UniqueFd write_end{ends[1]};
    UniqueFd self{pidfd_of(getpid())};
    if (!gatherer.errors || !self)
        return std::nullopt;
    gatherer.pid = fork();
    if (gatherer.pid == 0) {
        const int null = open("/dev/null", O_RDONLY);
        if (!bound_to_parent(self.get()) || null < 0 || dup2(null, STDIN_FILENO) < 0 ||
            dup2(write_end.get(), STDOUT_FILENO) < 0 ||
            dup2(gatherer.errors.get(), STDERR_FILENO) < 0)
            _exit(127);
        close_range(3, ~0U, 0);
        execlp("facter", "facter", "--json", "--show-legacy", static_cast<char *>(nullptr));
        _exit(127);
    }
    if (gatherer.pid < 0)
        return std::nullopt;
    return gatherer;
}

// Ends the gatherer if it still runs; when the facts it gave were of no
// use, says how it ended. (Facter exits with 1 after logging any error,
// even when it printed every fact it could.)
void finish_gathering(Gatherer &gatherer, bool explain) {
    kill(gatherer.pid, SIGKILL);
    int status = 0;
    while (waitpid(gatherer.pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (explain && WIFEXITED(status) && WEXITSTATUS(status) != 0) {
        std::string errors;
        lseek(gatherer.errors.get(), 0, SEEK_SET);
        read_up_to(gatherer.errors.get(), errors, 4096);
        say(0, "facter exited with status " + std::to_string(WEXITSTATUS(status)) + ":\n" + errors);
    }
}

// The node's name as puppet makes its default certname: the host's fully
// qualified name in lower case, from facter's (pretty-printed) JSON. Empty
// when there is none puppet could look up.
std::string certname_of(const std::string &facts) {
    constexpr std::string_view key = "\n  \"fqdn\": \"";
    const size_t at = facts.find(key);
    if (at == std::string::npos)
        return {};
    const size_t from = at + key.size();
    const size_t end = facts.find('"', from);
    std::string name = facts.substr(from, end == std::string::npos ? 0 : end - from);
    while (!name.empty() && name.back() == '.')
        name.pop_back();
    for (char &c : name) {
        if (!isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != '_')
            return {};
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    }
    return name.empty() || name[0] == '.' || name == stand_in_name ? std::string{} : name;
}

// Facter's facts as puppet's facts of the node, with those puppet adds of
// its own; empty when facter gave no object of facts.
std::string node_facts(const std::string &facts, const std::string &name,
                       const std::string &version) {
    const size_t open = facts.find_first_not_of(" \t\r\n");
    const size_t first =
        open == std::string::npos ? open : facts.find_first_not_of(" \t\r\n", open + 1);
    if (first == std::string::npos || facts[open] != '{' || facts[first] == '}')
        return {};
    return R"({"name":")" + name + R"(","values":{"clientcert":")" + name +
           R"(","clientversion":")" + version + R"(","puppetversion":")" + version +
           R"(","clientnoop":false,)" + facts.substr(first) + "}";
}

// Inside the sandbox: puppet looks its facts up twice, first under its
// certname (the stand-in, whose FIFO blocks until the host's facts are in)
// to learn the node's name, then under that name. So the facts go to
// <name>.json before the FIFO gives the name.
int feed_facts(int facts_fd, const std::string &dir, const std::string &version) {
    std::string facts;
    if (!read_up_to(facts_fd, facts, facts_max))
        return say(1, "the host's facts could not be read (more than 16 MiB?)");
    const std::string name = certname_of(facts);
    const std::string node = name.empty() ? name : node_facts(facts, name, version);
    if (node.empty())
        return say(1, "the host's facts could not be gathered: facter gave none, or no fully "
                      "qualified name");
    if (!write_file(dir + "/" + name + ".json", node))
        return say(1, failed("writing the host's facts"));
    const std::string handover = std::string{R"({"name":")"} + stand_in_name + R"(","values":{")" +
                                 name_fact + R"(":")" + name + "\"}}";
    // Blocks until puppet reads; if puppet ends first, so does the sandbox.
    UniqueFd fifo{open((dir + "/" + stand_in_name + ".json").c_str(), O_WRONLY | O_CLOEXEC)};
    if (!fifo || !write_all(fifo.get(), handover))
        return say(1, failed("handing the facts to puppet"));
    return 0;
}

// ---- the view of the host ------------------------------------------------

// Empty when all is well, else what failed.
std::string make_device_folder() {
    if (mount("korvex-preview", "/dev", "tmpfs", MS_NOSUID | MS_NOEXEC, devices_options) != 0)
        return failed("mounting a private /dev");
    struct Device {
        const char *name;
        unsigned major, minor;
    };
    for (const Device &device : {Device{"null", 1, 3}, Device{"zero", 1, 5}, Device{"full", 1, 7},
                                 Device{"random", 1, 8}, Device{"urandom", 1, 9}}) {
        const std::string path = std::string{"/dev/"} + device.name;
        if (mknod(path.c_str(), S_IFCHR | 0666, makedev(device.major, device.minor)) != 0 ||
            chmod(path.c_str(), 0666) != 0)
            return failed("making " + path);
    }
    const std::pair<const char *, const char *> links[] = {{"/proc/self/fd", "/dev/fd"},
                                                           {"/proc/self/fd/0", "/dev/stdin"},
                                                           {"/proc/self/fd/1", "/dev/stdout"},
                                                           {"/proc/self/fd/2", "/dev/stderr"},
                                                           {"/run/shm", "/dev/shm"}};
    for (const auto &[target, link] : links)
        if (symlink(target, link) != 0)
            return failed(std::string{"linking "} + link);
    if (mount(nullptr, "/dev", nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY | MS_NOSUID | MS_NOEXEC,
              nullptr) != 0)
        return failed("making /dev read-only");
    return {};
}

// The one writable place, over the host's /run: it hides the sockets and
// state of the host's daemons as well. (Puppet would not keep its state
// under /dev.)
std::string make_scratch_folder() {
    if (mount("korvex-preview", "/run", "tmpfs", MS_NOSUID | MS_NODEV, scratch_options) != 0)
        return failed("mounting a private /run");
    if (mkdir("/run/shm", 01777) != 0 || chmod("/run/shm", 01777) != 0)
        return failed("making /run/shm");
    return {};
}

std::string build_view() {
    // Nothing done here may reach the namespace the agent runs in.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return failed("making / private");
    mount_attr attributes{};
    attributes.attr_set = MOUNT_ATTR_RDONLY | MOUNT_ATTR_NOSUID | MOUNT_ATTR_NODEV;
    if (syscall(SYS_mount_setattr, AT_FDCWD, "/", AT_RECURSIVE, &attributes, sizeof attributes) !=
        0)
        return failed("making every mount read-only");
    if (mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC | MS_RDONLY, nullptr) != 0)
        return failed("mounting /proc");
    std::string trouble = make_device_folder();
    return trouble.empty() ? make_scratch_folder() : trouble;
}

// Empty when all is well, else what failed.
std::string drop_privileges() {
    constexpr unsigned kept[] = {CAP_CHOWN,  CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER,
                                 CAP_FSETID, CAP_KILL,         CAP_SETGID,          CAP_SETUID};
    uint64_t keep = 0;
    for (const unsigned cap : kept)
        keep |= uint64_t{1} << cap;
    // EINVAL: beyond the last capability this kernel knows.
    for (unsigned cap = 0; cap < 64; ++cap)
        if ((keep & (uint64_t{1} << cap)) == 0 && prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0 &&
            errno != EINVAL)
            return failed("dropping capabilities");
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    for (int word = 0; word < 2; ++word) {
        const auto bits = static_cast<uint32_t>(keep >> (32 * word));
        data[word].effective = data[word].permitted = data[word].inheritable = bits;
    }
    if (syscall(SYS_capset, &header, data) != 0 ||
        prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0)
        return failed("dropping capabilities");
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        return failed("setting no_new_privs");
    return {};
}

#if defined(__x86_64__)
#define KX_AUDIT_ARCH AUDIT_ARCH_X86_64
#elif defined(__aarch64__)
#define KX_AUDIT_ARCH AUDIT_ARCH_AARCH64
#elif defined(__riscv) && __riscv_xlen == 64
#define KX_AUDIT_ARCH AUDIT_ARCH_RISCV64
#elif defined(__powerpc64__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
#define KX_AUDIT_ARCH AUDIT_ARCH_PPC64LE
#elif defined(__s390x__)
#define KX_AUDIT_ARCH AUDIT_ARCH_S390X
#endif

// Empty when all is well, else what failed.
std::string filter_system_calls() {
#ifdef KX_AUDIT_ARCH
    constexpr uint32_t deny = SECCOMP_RET_ERRNO | EPERM;
    constexpr uint32_t first_arg =
        offsetof(seccomp_data, args) + (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__ ? 4 : 0);
    std::vector<sock_filter> program = {
        // Other ABIs (i386's socketcall hides its arguments) get nothing.
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, KX_AUDIT_ARCH, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, deny),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
#if defined(__x86_64__)
        // The x32 ABI's numbers.
        BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, 0x40000000, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, deny),
#endif
    };
    for (const long nr :
         {long{SYS_keyctl}, long{SYS_add_key}, long{SYS_request_key}, long{SYS_io_uring_setup}}) {
        program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<uint32_t>(nr), 0, 1));
        program.push_back(BPF_STMT(BPF_RET | BPF_K, deny));
    }
    const std::vector<sock_filter> sockets = {
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_socket, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, first_arg),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AF_UNIX, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EACCES),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    program.insert(program.end(), sockets.begin(), sockets.end());
    sock_fprog filter{static_cast<unsigned short>(program.size()), program.data()};
    if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter, 0, 0) != 0)
        return failed("filtering system calls");
    return {};
#else
    return "no system call filter for this architecture";
#endif
}

// ---- the first process of the sandbox -----------------------------------

const std::vector<std::string> &puppet_command() {
    static const std::vector<std::string> command = {
        "puppet",
        "apply",
        "--noop",
        "--detailed-exitcodes",
        "--show_diff",
        "--color=false",
        "--no-report",
        std::string{"--vardir="} + work + "/var",
        std::string{"--logdir="} + work + "/log",
        std::string{"--rundir="} + work + "/run",
        std::string{"--publicdir="} + work + "/public",
        std::string{"--ssldir="} + work + "/ssl",
        std::string{"--lastrunfile="} + work + "/summary.yaml",
        "--facts_terminus=json",
        std::string{"--certname="} + stand_in_name,
        std::string{"--node_name_fact="} + name_fact,
        std::string{work} + "/manifest.pp",
    };
    return command;
}

// The manifest (standard input) and the folders puppet keeps its state in.
std::string prepare_puppet(const std::string &facts_dir) {
    const std::string base = work;
    for (const std::string &dir : {base, base + "/var", base + "/var/client_data", facts_dir})
        if (mkdir(dir.c_str(), 0700) != 0)
            return failed("making " + dir);
    std::string manifest;
    if (!read_up_to(STDIN_FILENO, manifest) || !write_file(base + "/manifest.pp", manifest))
        return failed("writing the manifest");
    if (mkfifo((facts_dir + "/" + stand_in_name + ".json").c_str(), 0600) != 0)
        return failed("making the facts' FIFO");
    if (chdir(work) != 0)
        return failed("entering " + base);
    return {};
}

pid_t start(const std::vector<std::string> &command, bool keep_stdin) {
    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    std::vector<char *> argv;
    for (const std::string &word : command)
        argv.push_back(const_cast<char *>(word.c_str()));
    argv.push_back(nullptr);
    if (!keep_stdin) {
        const int null = open("/dev/null", O_RDONLY);
        if (null < 0 || dup2(null, STDIN_FILENO) < 0)
            _exit(exit_no_sandbox);
    }
    close_range(3, ~0U, 0);
    // Ruby makes its temporary files (puppet's diffs among them) there.
    setenv("TMPDIR", "/run/shm", 1);
    execvp(argv[0], argv.data());
    say(0, failed("starting " + command[0]));
    _exit(127);
}

void copy_summary(const std::string &path) {
    UniqueFd summary{open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    std::string text;
    if (summary && read_up_to(summary.get(), text, summary_max))
        write_all(summary_fd, text);
}

int sandbox_init(bool puppet, const std::string &version, const std::string &augeas_helper,
                 int parent, int facts_fd) {
    if (!bound_to_parent(parent))
        return exit_no_sandbox;
    const std::string facts_dir = std::string{work} + "/var/client_data/facts";
    std::string trouble;
    if (unshare(CLONE_NEWNS | CLONE_NEWNET | CLONE_NEWIPC | CLONE_NEWUTS) != 0)
        trouble = failed("unshare");
    if (trouble.empty())
        trouble = build_view();
    if (trouble.empty() && puppet)
        trouble = prepare_puppet(facts_dir);
    if (trouble.empty())
        trouble = drop_privileges();
    if (trouble.empty())
        trouble = filter_system_calls();
    if (!trouble.empty())
        return say(exit_no_sandbox, "no sandbox for the preview: " + trouble);

    pid_t feeder = -1;
    if (puppet) {
        feeder = fork();
        if (feeder == 0)
            _exit(feed_facts(facts_fd, facts_dir, version));
        close(facts_fd);
    }
    const pid_t tool =
        start(puppet ? puppet_command() : std::vector<std::string>{augeas_helper}, !puppet);
    if (tool < 0 || (puppet && feeder < 0))
        return say(exit_no_sandbox, failed("starting the preview"));
    // The first process reaps whatever ends in the namespace; when it
    // returns, the kernel ends everything left.
    bool no_facts = false;
    for (;;) {
        int status = 0;
        const pid_t ended = wait(&status);
        if (ended < 0 && errno == EINTR)
            continue;
        if (ended < 0)
            return say(exit_no_sandbox, failed("waiting for the preview"));
        if (ended == feeder && status != 0) {
            no_facts = true;
            kill(tool, SIGKILL);
        }
        if (ended != tool)
            continue;
        if (no_facts)
            return exit_no_sandbox;
        if (puppet)
            copy_summary(std::string{work} + "/summary.yaml");
        return status_code(status);
    }
}

} // namespace

int main(int argc, char **argv) {
    const std::string tool = argc > 1 ? argv[1] : "";
    const std::string version = argc > 2 ? argv[2] : "";
    const bool puppet =
        tool == "puppet" && argc == 3 &&
        version.find_first_not_of("0123456789.-+abcdefghijklmnopqrstuvwxyz") == std::string::npos;
    if (!puppet && (tool != "augeas" || argc != 2))
        return say(exit_no_sandbox, "usage: sysconfig-preview-sandbox augeas | puppet VERSION");
    const std::string augeas_helper = beside_this_program("sysconfig-augeas-preview");

    // Outside the sandbox: the facts are those of the host.
    std::optional<Gatherer> gatherer;
    if (puppet && !(gatherer = gather_facts()))
        return say(exit_no_sandbox, failed("starting facter"));
    // Only the sandbox's first process enters the new namespaces: this one
    // stays beside the agent, where it can still start a process when the
    // sandbox has ended (the leak checker of sanitizer builds does).
    UniqueFd host_pids{open("/proc/self/ns/pid", O_RDONLY | O_CLOEXEC)};
    UniqueFd self{pidfd_of(getpid())};
    if (!host_pids || !self || unshare(CLONE_NEWPID) != 0)
        return say(exit_no_sandbox, failed("no sandbox for the preview"));
    fflush(stdout);
    const pid_t init = fork();
    if (init == 0)
        _exit(sandbox_init(puppet, version, augeas_helper, self.get(),
                           gatherer ? gatherer->facts.release() : -1));
    if (init < 0)
        return say(exit_no_sandbox, failed("no sandbox for the preview: fork"));
    // Nothing but that leak checker starts a process here from now on.
    static_cast<void>(setns(host_pids.get(), CLONE_NEWPID));
    if (gatherer)
        gatherer->facts.reset();
    int status = 0;
    pid_t reaped;
    while ((reaped = waitpid(init, &status, 0)) < 0 && errno == EINTR) {
    }
    const int code = reaped == init ? status_code(status)
                                    : say(exit_no_sandbox, failed("waiting for the sandbox"));
    if (gatherer)
        finish_gathering(*gatherer, code == exit_no_sandbox);
    return code;
}
