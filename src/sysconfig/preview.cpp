// Previews: the tools asked what a document would change. Puppet has its
// own dry run; augeas is run by a helper program that cannot write
// anywhere (see augeas_preview.cpp). Both report into a temporary file of
// the working directory, read back within the status-text bound, so a
// report of any size neither fills the agent's memory nor makes a reply
// the bus refuses; a killed agent's files go at its next start.
#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <glib.h>

#include <korvex/kcommon.h>
#include <korvex/owners.h>

#include "bounded_text.h"
#include "documents.h"
#include "sysconfig_internal.h"
#include "temp_file.h"

using namespace korvex;
using namespace korvex::sysconfig;

namespace {

constexpr char step[] = "preview";

// puppet apply --detailed-exitcodes: 2 means changes (would be) applied.
constexpr int puppet_changes = 2;
// The augeas helper's exit statuses.
constexpr int helper_no_changes = 0;
constexpr int helper_changes = 1;

constexpr char helper_name[] = "sysconfig-augeas-preview";

struct Outcome {
    uint32_t result = KX_RES_OK;
    bool changes = false;
    std::string report;
};

void tool_setup(gpointer) {
    // Its own group, so whatever the tool started ends with it; and it
    // ends with the agent's thread that waits for it.
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
}

// Runs argv to its end, standard input from in_fd (-1: /dev/null),
// standard output (and error output too, when merged) appended to the
// report file. The exit status (128 + signal for a killed tool), or
// nothing when it could not be started.
std::optional<int> run_tool(const std::vector<const char *> &argv, int in_fd, int out_fd,
                            bool merged) {
    std::vector<const char *> terminated = argv;
    terminated.push_back(nullptr);
    const bool search = std::string_view{argv[0]}.find('/') == std::string_view::npos;
    GPid pid = 0;
    ErrorSlot error;
    if (!g_spawn_async_with_fds(nullptr, const_cast<gchar **>(terminated.data()), nullptr,
                                static_cast<GSpawnFlags>(G_SPAWN_DO_NOT_REAP_CHILD |
                                                         (search ? G_SPAWN_SEARCH_PATH : 0)),
                                tool_setup, nullptr, &pid, in_fd, out_fd, merged ? out_fd : -1,
                                error.out())) {
        kx_log(KX_LOG_ERR, "%s: cannot start %s: %s", step, argv[0],
               error.message_or("Unknown error"));
        return std::nullopt;
    }
    siginfo_t info{};
    while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
    }
    // The exited tool still holds its group: nothing else can have taken it.
    kill(-pid, SIGKILL);
    int status = 0;
    pid_t reaped;
    while ((reaped = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
    }
    if (reaped != pid) {
        kx_log(KX_LOG_ERR, "%s: lost track of %s: %s", step, argv[0], g_strerror(errno));
        return std::nullopt;
    }
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
}

// Runs the tool (see run_tool) with its report going to a new file of the
// working directory, and reads the report back within the bound. The exit
// status, or nothing after setting the failure's result code.
std::optional<int> run_for_report(const std::vector<const char *> &argv, int in_fd, bool merged,
                                  std::string_view prefix, Outcome &outcome) {
    std::optional<TempFile> file = TempFile::create(prefix);
    FilePtr stream = file ? file->open_stream() : FilePtr{};
    if (!stream) {
        outcome.result = KX_RES_SYSTEM_ERROR;
        return std::nullopt;
    }
    const int fd = fileno(stream.get());
    const std::optional<int> status = run_tool(argv, in_fd, fd, merged);
    if (!status) {
        outcome.result = KX_RES_FAILED;
        return std::nullopt;
    }
    if (lseek(fd, 0, SEEK_SET) != 0 || !append_bounded(outcome.report, fd)) {
        outcome.result = KX_RES_SYSTEM_ERROR;
        return std::nullopt;
    }
    kx_log(KX_LOG_INFO, "%s: %s exited with status %d", step, argv[0], *status);
    return status;
}

// How many resources a puppet run summary counts as out of sync.
unsigned long out_of_sync(const std::string &summary) {
    gchar *contents = nullptr;
    if (!g_file_get_contents(summary.c_str(), &contents, nullptr, nullptr))
        return 0;
    GCharPtr text{contents};
    constexpr std::string_view key = "\n  out_of_sync: ";
    const char *count = strstr(text.get(), key.data());
    return count != nullptr ? strtoul(count + key.size(), nullptr, 10) : 0;
}

Outcome preview_puppet(const char *uri, const char *text) {
    Outcome outcome;
    unsigned int major = 0;
    if (const int rc = check_puppet(&major); rc != KX_RES_OK) {
        outcome.result = static_cast<uint32_t>(rc);
        return outcome;
    }
    // Puppet before 2 has no "apply" and no detailed exit codes.
    if (major < 2) {
        kx_log(KX_LOG_ERR, "%s: puppet %u cannot preview", step, major);
        outcome.result = KX_RES_FAILED;
        return outcome;
    }
    std::optional<TempFile> manifest;
    if (const int rc = manifest_file(uri, text, manifest); rc != KX_RES_OK) {
        outcome.result = static_cast<uint32_t>(rc);
        return outcome;
    }
    std::optional<TempFile> summary = TempFile::create(puppet_temp_prefix);
    if (!summary) {
        outcome.result = KX_RES_SYSTEM_ERROR;
        return outcome;
    }
    // A dry run changes nothing, so its exit status never says "changes";
    // its summary counts what it found out of sync. Written to a file of
    // the preview's own, with no report stored, puppet's record of its
    // last run stays that of the last real one.
    const std::string summary_option = "--lastrunfile=" + summary->path();
    const std::optional<int> status = run_for_report(
        {"puppet", "apply", "--noop", "--detailed-exitcodes", "--show_diff", "--color=false",
         "--no-report", summary_option.c_str(), manifest->path().c_str()},
        -1, true, puppet_temp_prefix, outcome);
    if (!status)
        return outcome;
    if (*status != 0 && *status != puppet_changes)
        outcome.result = static_cast<uint32_t>(*status);
    outcome.changes = *status == puppet_changes || out_of_sync(summary->path()) > 0;
    return outcome;
}

// The helper is installed beside the agent program.
std::string helper_path() {
    GCharPtr program{g_file_read_link("/proc/self/exe", nullptr)};
    if (!program)
        return helper_name;
    GCharPtr folder{g_path_get_dirname(program.get())};
    return std::string{folder.get()} + "/" + helper_name;
}

// The script as the helper's standard input: a file in memory only, since
// a script may hold secrets.
UniqueFd script_input(std::string_view script) {
    UniqueFd fd{memfd_create("augeas-script", MFD_CLOEXEC)};
    if (!fd)
        return fd;
    for (size_t done = 0; done < script.size();) {
        const ssize_t n = write(fd.get(), script.data() + done, script.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return UniqueFd{};
        done += static_cast<size_t>(n);
    }
    if (lseek(fd.get(), 0, SEEK_SET) != 0)
        return UniqueFd{};
    return fd;
}

Outcome preview_augeas(const char *uri, const char *text) {
    Outcome outcome;
    GCharPtr script;
    if (const int rc = augeas_script(uri, text, script); rc != KX_RES_OK) {
        outcome.result = static_cast<uint32_t>(rc);
        return outcome;
    }
    UniqueFd input = script_input(script.get());
    script.reset();
    if (!input) {
        outcome.result = KX_RES_SYSTEM_ERROR;
        return outcome;
    }
    const std::string helper = helper_path();
    const std::optional<int> status =
        run_for_report({helper.c_str()}, input.get(), false, augeas_temp_prefix, outcome);
    if (!status)
        return outcome;
    if (*status != helper_no_changes && *status != helper_changes)
        outcome.result = KX_RES_FAILED;
    outcome.changes = *status == helper_changes;
    return outcome;
}

uint32_t preview(const char *uri, const char *text, const char *scheme, int *changes,
                 char **report) {
    *changes = 0;
    *report = nullptr;
    Outcome outcome;
    if (scheme != nullptr && g_ascii_strcasecmp(scheme, "puppet") == 0)
        outcome = preview_puppet(uri, text);
    else if (scheme != nullptr && g_ascii_strcasecmp(scheme, "augeas") == 0)
        outcome = preview_augeas(uri, text);
    else
        return KX_RES_BAD_ARGUMENT;

    if (outcome.result == KX_RES_OK || !outcome.report.empty()) {
        *report = malloc_copy(outcome.report);
        if (*report == nullptr)
            return KX_RES_SYSTEM_ERROR;
    }
    *changes = outcome.changes ? 1 : 0;
    return outcome.result;
}

} // namespace

extern "C" uint32_t kx_sysconfig_preview_uri(const char *uri, const char *scheme, int *changes,
                                             char **report) {
    if (uri == nullptr)
        return KX_RES_BAD_ARGUMENT;
    return preview(uri, nullptr, scheme, changes, report);
}

extern "C" uint32_t kx_sysconfig_preview_string(const char *text, const char *scheme, int *changes,
                                                char **report) {
    if (text == nullptr)
        return KX_RES_BAD_ARGUMENT;
    return preview(nullptr, text, scheme, changes, report);
}
