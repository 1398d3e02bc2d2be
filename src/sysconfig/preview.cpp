// Previews: the tools asked what a document would change. Each runs in
// sysconfig-preview-sandbox, where nothing it does reaches the host (see
// preview_sandbox.cpp). The document goes there as a file in memory and the
// report comes back through a pipe, read within the status-text bound: a
// preview leaves no file anywhere, whatever ends it, and a report of any
// size neither fills the agent's memory nor makes a reply the bus refuses.
// A preview that outlives its time bound is ended with all it started.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include <glib.h>

#include <korvex/kcommon.h>
#include <korvex/owners.h>

#include "bounded_text.h"
#include "reasons.h"
#include "sysconfig_internal.h"
#include "whole_io.h"

using namespace korvex;
using namespace korvex::sysconfig;

namespace {

constexpr char step[] = "preview";

// puppet apply --detailed-exitcodes: 2 means changes (would be) applied.
constexpr int puppet_changes = 2;
// The augeas helper's exit statuses.
constexpr int helper_no_changes = 0;
constexpr int helper_changes = 1;
constexpr long default_bound_s = 10 * 60;
// A day: a bound beyond it is a mistake, and its milliseconds still fit
// poll's timeout.
constexpr long max_bound_s = 24 * 60 * 60;
// Room kept in the report's bound for the line that says why a preview
// failed.
constexpr size_t note_room = 256;
constexpr char sandbox_name[] = "sysconfig-preview-sandbox";

struct Outcome {
    uint32_t result = KX_RES_OK;
    bool changes = false;
    std::string report;
};

// The time a preview may take from its start, its document's download
// included; KORVEX_PREVIEW_TIMEOUT, in seconds, sets another for tests.
struct TimeBound {
    TimeBound() {
        const char *text = getenv("KORVEX_PREVIEW_TIMEOUT");
        char *end = nullptr;
        const long given = text != nullptr ? strtol(text, &end, 10) : 0;
        if (given > 0 && given <= max_bound_s && *end == '\0')
            seconds = given;
        ends = std::chrono::steady_clock::now() + std::chrono::seconds{seconds};
    }
    long seconds = default_bound_s;
    std::chrono::steady_clock::time_point ends;
};

// The document, fetched from uri or a copy of text, as a file in memory
// only: it may hold secrets, and it is gone with the last process that
// holds it. 0 and document set, or the failure's result code.
uint32_t document_in_memory(const char *uri, const char *text, UniqueFd &document,
                            std::string &reason) {
    UniqueFd fd{memfd_create("korvex-preview-document", MFD_CLOEXEC)};
    if (!fd)
        return KX_RES_SYSTEM_ERROR;
    if (uri == nullptr && !write_all(fd.get(), text))
        return KX_RES_SYSTEM_ERROR;
    if (uri != nullptr) {
        UniqueFd copy{fcntl(fd.get(), F_DUPFD_CLOEXEC, 0)};
        FilePtr stream{fdopen(copy.get(), "w+b")};
        if (!stream)
            return KX_RES_SYSTEM_ERROR;
        copy.release();
        if (const int rc = korvex::sysconfig::sysconfig_os_download(uri, stream.get(), &reason);
            rc != KX_RES_OK) {
            kx_log(KX_LOG_ERR, "%s: Unable to download file from uri %s", step,
                   korvex::sysconfig::shown_uri(uri).c_str());
            return static_cast<uint32_t>(rc);
        }
        if (!close_stream(stream))
            return KX_RES_SYSTEM_ERROR;
    }
    if (lseek(fd.get(), 0, SEEK_SET) != 0)
        return KX_RES_SYSTEM_ERROR;
    document = std::move(fd);
    return KX_RES_OK;
}

// The sandbox is installed beside the agent program.
std::string sandbox_path() {
    GCharPtr program{g_file_read_link("/proc/self/exe", nullptr)};
    if (!program)
        return sandbox_name;
    GCharPtr folder{g_path_get_dirname(program.get())};
    return std::string{folder.get()} + "/" + sandbox_name;
}

void sandbox_setup(gpointer agent) {
    // Its own group, so that the bound ends whatever it started; and it
    // ends with the agent's thread that waits for it, or at once if the
    // agent is gone already.
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != *static_cast<pid_t *>(agent))
        _exit(127);
}

struct ToolEnd {
    bool timed_out = false;
    int status = 0; // as a shell gives it
};

// Reads the report until the sandbox has ended or the bound has passed,
// when the sandbox's group is killed. Nothing when it could not be run.
std::optional<ToolEnd> run_to_end(GPid pid, UniqueFd report_pipe, const TimeBound &bound,
                                  BoundedText &report) {
    ToolEnd end;
    UniqueFd exited{pidfd_of(pid)};
    bool ended = false;
    while (exited) {
        // Checked before polling: a tool that never stops printing always
        // has something to read.
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            bound.ends - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            end.timed_out = true;
            break;
        }
        // An ended sandbox stays readable: from then on only its report,
        // which what it left behind may still hold open, is waited for.
        pollfd waiting[2] = {{ended ? -1 : exited.get(), POLLIN, 0},
                             {report_pipe.get(), POLLIN, 0}};
        const int ready = poll(waiting, report_pipe ? 2 : 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            break;
        ended = ended || waiting[0].revents != 0;
        if (waiting[1].revents != 0) {
            char buffer[65536];
            const ssize_t n = read(report_pipe.get(), buffer, sizeof buffer);
            if (n > 0)
                report.add({buffer, static_cast<size_t>(n)});
            else if (n == 0 || errno != EINTR)
                report_pipe.reset();
        }
        if (ended && !report_pipe)
            break;
    }
    // The leader is not reaped yet, so its group cannot have been reused.
    kill(-pid, SIGKILL);
    int status = 0;
    pid_t reaped;
    while ((reaped = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
    }
    if (reaped != pid || !exited) {
        kx_log(KX_LOG_ERR, "%s: lost track of %s: %s", step, sandbox_name, g_strerror(errno));
        return std::nullopt;
    }
    end.status = WIFSIGNALED(status) ? killed_by_signal + WTERMSIG(status) : WEXITSTATUS(status);
    return end;
}

// Runs the tool ("augeas", or "puppet" and its version) in the sandbox, the
// document as its standard input, summary_fd (or -1) as its descriptor 3,
// and sets the report. The tool's exit status, or nothing after setting the
// failure's result code: no sandbox, the bound passed, the tool was killed.
std::optional<int> run_sandboxed(const char *tool, const char *version, int document_fd,
                                 int summary_fd, const TimeBound &bound, Outcome &outcome) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        outcome.result = KX_RES_SYSTEM_ERROR;
        return std::nullopt;
    }
    UniqueFd read_end{ends[0]};
    UniqueFd write_end{ends[1]};
    const std::string sandbox = sandbox_path();
    const char *argv[] = {sandbox.c_str(), tool, version, nullptr};
    const int target_fds[] = {3};
    pid_t agent = getpid();
    GPid pid = 0;
    ErrorSlot error;
    if (!g_spawn_async_with_pipes_and_fds(
            nullptr, argv, nullptr, G_SPAWN_DO_NOT_REAP_CHILD, sandbox_setup, &agent, document_fd,
            write_end.get(), write_end.get(), summary_fd >= 0 ? &summary_fd : nullptr, target_fds,
            summary_fd >= 0 ? 1 : 0, &pid, nullptr, nullptr, nullptr, error.out())) {
        kx_log(KX_LOG_ERR, "%s: cannot start %s: %s", step, sandbox.c_str(),
               error.message_or("Unknown error"));
        outcome.result = KX_RES_FAILED;
        return std::nullopt;
    }
    write_end.reset();
    BoundedText report{status_text_max - note_room};
    const std::optional<ToolEnd> end = run_to_end(pid, std::move(read_end), bound, report);
    outcome.report = std::move(report).finish();
    if (!end) {
        outcome.result = KX_RES_FAILED;
        return std::nullopt;
    }
    kx_log(KX_LOG_INFO, "%s: %s %s exited with status %d%s", step, sandbox_name, tool, end->status,
           end->timed_out ? " (time bound passed)" : "");
    std::string why;
    if (end->timed_out)
        why = "preview stopped after " + std::to_string(bound.seconds) +
              " s, the time bound of a preview\n";
    else if (end->status >= killed_by_signal)
        why = "preview ended by signal " + std::to_string(end->status - killed_by_signal) + "\n";
    else if (end->status < sandbox_failed)
        return end->status;
    // The sandbox itself has said why it failed, in the report.
    outcome.result = KX_RES_FAILED;
    outcome.report.insert(0, why);
    return std::nullopt;
}

// How many resources puppet's summary of its run counts as out of sync;
// nothing when there is no summary, which a run that could not finish
// (out of space, say) leaves.
std::optional<unsigned long> out_of_sync(int summary_fd) {
    std::string text;
    if (lseek(summary_fd, 0, SEEK_SET) != 0 || !append_bounded(text, summary_fd))
        return std::nullopt;
    constexpr std::string_view key = "\n  out_of_sync: ";
    const size_t count = text.find(key);
    if (count == std::string::npos)
        return std::nullopt;
    return strtoul(text.c_str() + count + key.size(), nullptr, 10);
}

Outcome preview_puppet(const char *uri, const char *text, const TimeBound &bound) {
    Outcome outcome;
    unsigned int major = 0;
    std::string version;
    if (const int rc = korvex::sysconfig::check_puppet(&major, &outcome.report, &version);
        rc != KX_RES_OK) {
        outcome.result = static_cast<uint32_t>(rc);
        return outcome;
    }
    // Puppet before 2 has no "apply" and no detailed exit codes.
    if (major < 2) {
        kx_log(KX_LOG_ERR, "%s: puppet %u cannot preview", step, major);
        outcome.result = KX_RES_FAILED;
        return outcome;
    }
    UniqueFd manifest;
    if (const uint32_t rc = document_in_memory(uri, text, manifest, outcome.report);
        rc != KX_RES_OK) {
        outcome.result = rc;
        return outcome;
    }
    UniqueFd summary{memfd_create("korvex-preview-summary", MFD_CLOEXEC)};
    if (!summary) {
        outcome.result = KX_RES_SYSTEM_ERROR;
        return outcome;
    }
    const std::optional<int> status =
        run_sandboxed("puppet", version.c_str(), manifest.get(), summary.get(), bound, outcome);
    if (!status)
        return outcome;
    if (*status != 0 && *status != puppet_changes) {
        outcome.result = static_cast<uint32_t>(*status);
        return outcome;
    }
    // A dry run changes nothing, so its exit status rarely says "changes";
    // its summary counts what it found out of sync.
    const std::optional<unsigned long> found = out_of_sync(summary.get());
    if (!found) {
        outcome.result = KX_RES_FAILED;
        outcome.report.insert(0, "puppet did not finish its run: it left no summary of it\n");
        return outcome;
    }
    outcome.changes = *status == puppet_changes || *found > 0;
    return outcome;
}

Outcome preview_augeas(const char *uri, const char *text, const TimeBound &bound) {
    Outcome outcome;
    UniqueFd script;
    if (const uint32_t rc = document_in_memory(uri, text, script, outcome.report);
        rc != KX_RES_OK) {
        outcome.result = rc;
        return outcome;
    }
    const std::optional<int> status =
        run_sandboxed("augeas", nullptr, script.get(), -1, bound, outcome);
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
    const TimeBound bound;
    Outcome outcome;
    if (scheme != nullptr && g_ascii_strcasecmp(scheme, "puppet") == 0)
        outcome = preview_puppet(uri, text, bound);
    else if (scheme != nullptr && g_ascii_strcasecmp(scheme, "augeas") == 0)
        outcome = preview_augeas(uri, text, bound);
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
