// Finds the major version of the installed puppet, which decides how it
// is invoked. Asking puppet costs a second or more, so the answer is kept
// for as long as the same program is found on the search path; and the
// question is bounded in time and in output, since the agent waits for it.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <optional>
#include <string>

#include <glib.h>

#include <korvex/kcommon.h>
#include <korvex/owners.h>
#include <korvex/text.h>

#include "sysconfig_internal.h"

using korvex::ErrorSlot;
using korvex::GCharPtr;
using korvex::UniqueFd;

namespace {

constexpr char step[] = "check_puppet";
constexpr size_t version_output_max = 64 * 1024;
// What puppet printed may be part of a reason; it stays a short one.
constexpr size_t reason_text_max = 1024;

// What one check found; its log line is given again whenever the kept
// answer is used, so that every request still says why it failed.
struct VersionCheck {
    int result = KX_RES_FAILED;
    unsigned int major = 0;
    std::string version; // what puppet printed, without the line end
    std::string message; // after the step name; empty for success
    std::string reason;  // for the caller, when it says more than the message
    // False when the answer says nothing about the program itself: it
    // could not be started, or ran out of time on a busy host.
    bool lasting = true;
};

VersionCheck read_version(const char *output) {
    VersionCheck check;
    GCharPtr copy{g_strdup(output)};
    char *dot = strchr(copy.get(), '.');
    if (dot == nullptr) {
        check.message = std::string{"Unexpected output from 'puppet --version': '"} + output + "'";
        return check;
    }
    *dot = '\0';

    // "%u" alone would also take a sign and turn "-1" into a huge version.
    const char *number = copy.get();
    // "%u" skips the vertical tab as well, which g_ascii_isspace does not.
    while (g_ascii_isspace(*number) || *number == '\v')
        ++number;
    if (!g_ascii_isdigit(*number) || sscanf(number, "%u", &check.major) != 1) {
        check.major = 0;
        check.message =
            std::string{"Failed to parse outpuet from 'puppet --version': '"} + output + "'";
        return check;
    }
    check.result = KX_RES_OK;
    check.version = output;
    check.version.erase(check.version.find_last_not_of(" \t\r\n\v") + 1);
    return check;
}

// The program that "puppet" names on the search path, as the file system
// knows it: any change of it (an upgrade, a new one earlier on the path)
// asks again.
struct ProgramIdentity {
    std::string path;
    dev_t device;
    ino_t inode;
    off_t size;
    timespec modified;
    timespec changed;

    bool operator==(const ProgramIdentity &other) const {
        const auto same_time = [](const timespec &a, const timespec &b) {
            return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
        };
        return path == other.path && device == other.device && inode == other.inode &&
               size == other.size && same_time(modified, other.modified) &&
               same_time(changed, other.changed);
    }
};

std::optional<ProgramIdentity> find_puppet() {
    GCharPtr path{g_find_program_in_path("puppet")};
    struct stat status;
    if (!path || stat(path.get(), &status) != 0)
        return std::nullopt;
    return ProgramIdentity{path.get(),     status.st_dev,  status.st_ino,
                           status.st_size, status.st_mtim, status.st_ctim};
}

struct KeptCheck {
    ProgramIdentity program;
    VersionCheck check;
};
std::optional<KeptCheck> kept;

void new_process_group(gpointer) {
    // So that a timed-out check can be ended with whatever it started.
    setpgid(0, 0);
}

// Waits until pid has exited or the deadline (monotonic microseconds) has
// passed; false when it is still running.
bool reaped_before(pid_t pid, gint64 deadline) {
    for (;;) {
        const pid_t done = waitpid(pid, nullptr, WNOHANG);
        if (done == pid || (done < 0 && errno != EINTR))
            return true;
        if (g_get_monotonic_time() >= deadline)
            return false;
        g_usleep(5000);
    }
}

void end_process(pid_t pid) {
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

// Runs "puppet --version" (program given, or looked up on the search path
// when none was found) and reads what it prints, within the bounds.
VersionCheck ask_puppet(const std::optional<ProgramIdentity> &program) {
    VersionCheck check;
    const gchar *found_argv[] = {program ? program->path.c_str() : "", "puppet", "--version",
                                 nullptr};
    const gchar *search_argv[] = {"puppet", "--version", nullptr};
    const int flags = G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_CLOEXEC_PIPES |
                      (program ? G_SPAWN_FILE_AND_ARGV_ZERO : G_SPAWN_SEARCH_PATH);
    GPid pid = 0;
    int out_fd = -1;
    ErrorSlot error;
    if (!g_spawn_async_with_pipes(nullptr, const_cast<gchar **>(program ? found_argv : search_argv),
                                  nullptr, static_cast<GSpawnFlags>(flags), new_process_group,
                                  nullptr, &pid, nullptr, &out_fd, nullptr, error.out())) {
        GCharPtr text{g_strdup_printf("Failed to check puppet version: (%d) %s",
                                      error.get() != nullptr ? error.get()->code : -1,
                                      error.message_or("Unknown error"))};
        check.message = text.get();
        check.reason = "cannot start " + (program ? program->path : std::string{"puppet"}) + ": " +
                       error.message_or("Unknown error");
        check.lasting = false;
        return check;
    }
    UniqueFd out{out_fd};

    const long limit_s = sysconfig_limits().version_check_s;
    const gint64 deadline = g_get_monotonic_time() + gint64{limit_s} * G_USEC_PER_SEC;
    std::string output;
    bool too_long = false;
    bool in_time = true;
    char buffer[4096];
    for (;;) {
        const gint64 left_ms = (deadline - g_get_monotonic_time()) / 1000;
        if (left_ms <= 0) {
            in_time = false;
            break;
        }
        pollfd ready{out.get(), POLLIN, 0};
        const int polled = poll(&ready, 1, static_cast<int>(std::min<gint64>(left_ms, 1000)));
        if (polled < 0 && errno != EINTR)
            break;
        if (polled <= 0)
            continue;
        const ssize_t n = read(out.get(), buffer, sizeof buffer);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            break;
        if (output.size() + static_cast<size_t>(n) > version_output_max) {
            too_long = true;
            break;
        }
        output.append(buffer, static_cast<size_t>(n));
    }
    out.reset();
    if (too_long || !in_time || !reaped_before(pid, deadline)) {
        end_process(pid);
        if (too_long) {
            check.message = "'puppet --version' printed more than " +
                            std::to_string(version_output_max) + " bytes";
        } else {
            check.message =
                "'puppet --version' did not finish within " + std::to_string(limit_s) + " s";
            check.lasting = false;
        }
        return check;
    }
    g_spawn_close_pid(pid);
    return read_version(output.c_str());
}

int answer(const VersionCheck &check, unsigned int *major, std::string *reason,
           std::string *version = nullptr) {
    if (check.result != KX_RES_OK) {
        kx_log(KX_LOG_ERR, "%s: %s", step, check.message.c_str());
        if (reason != nullptr)
            *reason = korvex::printable(check.reason.empty() ? check.message : check.reason,
                                        reason_text_max);
        return check.result;
    }
    if (major != nullptr)
        *major = check.major;
    if (version != nullptr)
        *version = check.version;
    return KX_RES_OK;
}

} // namespace

extern "C" int parse_puppet_version(const char *output, unsigned int *major) {
    return answer(read_version(output != nullptr ? output : ""), major, nullptr);
}

int korvex::sysconfig::check_puppet(unsigned int *major, std::string *reason,
                                    std::string *version) {
    // Runs start on the agent's worker threads: requests that come
    // together wait for one question instead of asking puppet each.
    static std::mutex asking;
    std::lock_guard<std::mutex> hold(asking);
    const std::optional<ProgramIdentity> program = find_puppet();
    if (program && kept && kept->program == *program)
        return answer(kept->check, major, reason, version);

    VersionCheck check = ask_puppet(program);
    if (program && check.lasting)
        kept = KeptCheck{*program, check};
    else
        kept.reset();
    return answer(check, major, reason, version);
}

extern "C" int check_puppet(unsigned int *major) {
    return korvex::sysconfig::check_puppet(major, nullptr);
}
