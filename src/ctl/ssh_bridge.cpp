#include "ssh_bridge.h"

#include <fcntl.h>
#include <sys/mman.h>

#include <algorithm>
#include <charconv>
#include <csignal>

namespace korvex::ctl {

namespace {

// How long ssh gets to end on its own: after a failed start to say why, and
// after the last call once its input is closed.
constexpr int kExitWaitMs = 5000;
// The end of ssh's standard error that is searched for its last word.
constexpr off_t kErrorTail = 4096;
// What ssh and a POSIX shell exit with: ssh's own failure, and a command
// the far side does not have.
constexpr int kSshFailed = 255;
constexpr int kCommandNotFound = 127;

UsageError bad_host(const std::string &text, const std::string &why) {
    return UsageError("--host \"" + text + "\": " + why + " (want [USER@]HOST[:PORT])", "");
}

} // namespace

RemoteHost parse_remote_host(const std::string &text) {
    const size_t at = text.rfind('@');
    const std::string user = at == std::string::npos ? "" : text.substr(0, at);
    const std::string rest = at == std::string::npos ? text : text.substr(at + 1);
    if (at != std::string::npos && user.empty())
        throw bad_host(text, "no user before @");
    std::string host = rest, port;
    bool has_port = false;
    if (rest.starts_with('[')) {
        const size_t close = rest.find(']');
        if (close == std::string::npos)
            throw bad_host(text, "no ] after the address");
        host = rest.substr(1, close - 1);
        const std::string after = rest.substr(close + 1);
        if (!after.empty() && !after.starts_with(':'))
            throw bad_host(text, "\"" + after + "\" after the address");
        has_port = !after.empty();
        port = has_port ? after.substr(1) : "";
    } else if (std::count(rest.begin(), rest.end(), ':') == 1) {
        // More colons than one: an IPv6 address without a port.
        const size_t colon = rest.find(':');
        host = rest.substr(0, colon);
        port = rest.substr(colon + 1);
        has_port = true;
    }
    if (host.empty())
        throw bad_host(text, "no host");
    if (has_port) {
        unsigned number = 0;
        const char *end = port.data() + port.size();
        const auto [stop, error] = std::from_chars(port.data(), end, number);
        if (port.empty() || error != std::errc() || stop != end || number == 0 || number > 65535)
            throw bad_host(text, "the port is not a number from 1 to 65535");
    }
    return {text, user.empty() ? host : user + "@" + host, port};
}

std::vector<std::string> ssh_bridge_command(const RemoteHost &host) {
    // -x: no X11, -T: no terminal, which would mangle the bytes of the bus.
    std::vector<std::string> argv = {"ssh", "-xT"};
    if (!host.port.empty())
        argv.insert(argv.end(), {"-p", host.port});
    argv.insert(argv.end(), {"--", host.destination, "systemd-stdio-bridge"});
    return argv;
}

SshBridge::SshBridge(RemoteHost host)
    : host_(std::move(host)), errors_{memfd_create("ssh-errors", MFD_CLOEXEC)} {
    // An ssh that has gone makes the next write fail; without this the
    // write would end korvexctl without a word instead of reporting a
    // closed connection.
    std::signal(SIGPIPE, SIG_IGN);
    ObjectPtr<GSubprocessLauncher> launcher{g_subprocess_launcher_new(static_cast<GSubprocessFlags>(
        G_SUBPROCESS_FLAGS_STDIN_PIPE | G_SUBPROCESS_FLAGS_STDOUT_PIPE))};
    // Without a memory file ssh keeps korvexctl's standard error and says
    // there what went wrong.
    if (errors_)
        g_subprocess_launcher_take_stderr_fd(launcher.get(),
                                             fcntl(errors_.get(), F_DUPFD_CLOEXEC, 3));
    const std::vector<std::string> argv = ssh_bridge_command(host_);
    std::vector<const char *> args;
    for (const auto &arg : argv)
        args.push_back(arg.c_str());
    args.push_back(nullptr);
    GError *raw = nullptr;
    ssh_.reset(g_subprocess_launcher_spawnv(launcher.get(), args.data(), &raw));
    ErrorPtr error{raw};
    if (!ssh_)
        throw CommandFailure(ExitStatus::unreachable,
                             "cannot run ssh to reach " + host_.text + ": " + error->message)
            .said_without_host();
    stream_.reset(g_simple_io_stream_new(g_subprocess_get_stdout_pipe(ssh_.get()),
                                         g_subprocess_get_stdin_pipe(ssh_.get())));
}

SshBridge::~SshBridge() {
    // The end of its input ends the bridge on the far side, and so ssh.
    g_io_stream_close(stream_.get(), nullptr, nullptr);
    if (!wait_for_exit(kExitWaitMs)) {
        g_subprocess_force_exit(ssh_.get());
        g_subprocess_wait(ssh_.get(), nullptr, nullptr);
    }
}

// GLib reaps ssh on its own worker thread; the identifier is gone once it has.
bool SshBridge::wait_for_exit(int timeout_ms) {
    for (int waited = 0; g_subprocess_get_identifier(ssh_.get()) != nullptr; waited += 10) {
        if (waited >= timeout_ms)
            return false;
        g_usleep(10 * 1000);
    }
    return true;
}

std::string SshBridge::last_error_line() const {
    if (!errors_)
        return "";
    const off_t size = lseek(errors_.get(), 0, SEEK_END);
    const off_t start = std::max<off_t>(0, size - kErrorTail);
    std::string text(static_cast<size_t>(std::max<off_t>(0, size - start)), '\0');
    const ssize_t got = pread(errors_.get(), text.data(), text.size(), start);
    text.resize(got > 0 ? static_cast<size_t>(got) : 0);
    while (!text.empty() && g_ascii_isspace(text.back()))
        text.pop_back();
    const size_t newline = text.rfind('\n');
    return newline == std::string::npos ? text : text.substr(newline + 1);
}

CommandFailure SshBridge::failure(const std::string &connect_error) {
    const bool ended = wait_for_exit(kExitWaitMs);
    const std::string said = last_error_line();
    // Still running, or ended by a signal: nothing more to learn from it.
    if (!ended)
        g_subprocess_force_exit(ssh_.get());
    if (!ended || !g_subprocess_get_if_exited(ssh_.get()))
        return {ExitStatus::unreachable, "cannot reach the system bus of " + host_.text +
                                             " over ssh: " + (said.empty() ? connect_error : said)};
    const int status = g_subprocess_get_exit_status(ssh_.get());
    const std::string reason = said.empty() ? "exit status " + std::to_string(status) : said;
    if (status == kSshFailed)
        return {ExitStatus::unreachable, "ssh to " + host_.text + " failed: " + reason};
    if (status == kCommandNotFound)
        return {ExitStatus::unreachable,
                "no systemd-stdio-bridge on " + host_.text + ": " + reason};
    return {ExitStatus::unreachable,
            "systemd-stdio-bridge on " + host_.text + " cannot reach the system bus: " + reason};
}

} // namespace korvex::ctl
