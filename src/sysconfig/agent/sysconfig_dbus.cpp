// sysconfig-dbus: puts libksysconfig on the system bus.
//
// What runs where: the main loop owns every request. Downloads, augeas
// runs, queries and previews run on the framework's workers, shared fairly
// between users (see korvex/requests.h); a puppet run's process is watched
// from the main loop. The runs of one key go through one lane, one after
// another in arrival order, each holding it until its status is written, so
// that the skip decision and the status write of a run are one step for
// everybody else; augeas runs that may save are serialized inside the
// library, queries and previews run beside them.
#include <cstdlib>
#include <memory>
#include <optional>
#include <map>
#include <string>
#include <utility>

#include <korvex/kcommon.h>
#include <korvex/kcommon_dbus.h>
#include <korvex/owners.h>
#include <korvex/requests.h>
#include <korvex/sysconfig.h>
#include <korvex/text.h>

#include "sysconfig_handlers.h"
#include "sysconfig_internal.h"
#include "sysconfig_signals.h"

using CText = korvex::MallocCharPtr;
using korvex::LaneHold;
using korvex::Request;
using korvex::WorkKind;

namespace {

using korvex::sysconfig::KeyEntry;
using PreviewFunction = uint32_t (*)(const char *, const char *, int *, char **);

constexpr char step[] = "sysconfig_run";

// The key's status text, the empty text when it has none.
std::string stored_status(const std::string &key) {
    CText status(kx_sysconfig_is_configured(key.c_str()));
    return status ? status.get() : "";
}

bool same_entry(const std::optional<KeyEntry> &a, const std::optional<KeyEntry> &b) {
    return a.has_value() == b.has_value() &&
           (!a || (a->outcome == b->outcome && a->when == b->when));
}

// One run from the moment it holds its key's lane until its reply. The
// library completes skipped and augeas runs on the worker, before the run
// function returns, and puppet runs later on the main loop, when the
// process has ended; the reply waits for both the worker's return and the
// completion, so no caller hears of a run that has not yet cleaned up.
struct PendingCall {
    // Main loop only.
    Request request;
    LaneHold lane;
    std::string key;
    gint64 started_us = 0;
    bool returned = false;
    uint32_t result = KX_RES_OK;
    std::optional<int32_t> completion;

    // The worker's only, until it returns.
    struct {
        std::optional<KeyEntry> before; // the key's entry when the run began
        bool skipped = false;
        std::string reason;                // of a result that is not 0
        std::optional<int32_t> completion; // a completion on the worker's thread
        std::string status;                // read right after it
    } worker;
};

// Puppet runs whose worker part is back, waiting for their process; main
// loop only.
std::map<PendingCall *, std::shared_ptr<PendingCall>> &waiting_for_process() {
    static auto *const runs = new std::map<PendingCall *, std::shared_ptr<PendingCall>>;
    return *runs;
}

// Ends a run: the reply, the history line of the log and, when its status
// was written, the key_changed signal.
void answer(PendingCall &run, std::optional<std::string> status) {
    const gint64 taken_ms = (g_get_monotonic_time() - run.started_us) / 1000;
    const std::optional<KeyEntry> after = korvex::sysconfig::key_entry(run.key.c_str());
    const bool written = !run.worker.skipped && after &&
                         (run.completion.has_value() || !same_entry(run.worker.before, after));
    if (run.worker.skipped)
        kx_log(KX_LOG_INFO, "%s: run of key \"%s\" skipped: already configured (%s)", step,
               run.key.c_str(), after ? after->outcome.c_str() : "no status");
    else if (written)
        kx_log(KX_LOG_INFO, "%s: run of key \"%s\" recorded %s in %" G_GINT64_FORMAT " ms", step,
               run.key.c_str(), after->outcome.c_str(), taken_ms);
    else
        kx_log(KX_LOG_INFO, "%s: run of key \"%s\" failed with code %u after %" G_GINT64_FORMAT
               " ms, nothing recorded: %s", step, run.key.c_str(), run.result, taken_ms,
               run.worker.reason.c_str());
    if (written)
        announce_key(*after);

    if (run.result != KX_RES_OK) {
        std::move(run.request).reply_failure(static_cast<int>(run.result), run.worker.reason);
        return;
    }
    if (*run.completion != 0) {
        const std::string why = "puppet exited with status " + std::to_string(*run.completion) +
                                " (its messages are in the agent's log)";
        std::move(run.request).reply_failure(*run.completion, why);
        return;
    }
    std::move(run.request).reply_text(status ? *status : stored_status(run.key));
}

} // namespace

// The library's completion of a run.
extern "C" void result_cb(void *user_data, int32_t rc) {
    auto *run = static_cast<PendingCall *>(user_data);
    if (!g_main_context_is_owner(g_main_context_default())) {
        run->worker.completion = rc;
        run->worker.status = stored_status(run->key);
        return;
    }
    run->completion = rc;
    if (!run->returned)
        return; // the worker's return answers
    auto &waiting = waiting_for_process();
    if (auto held = waiting.find(run); held != waiting.end()) {
        std::shared_ptr<PendingCall> done = std::move(held->second);
        waiting.erase(held);
        answer(*done, std::nullopt);
    }
}

namespace {

// The worker's part of a run is back on the main loop.
void returned(const std::shared_ptr<PendingCall> &run, uint32_t result) {
    run->returned = true;
    run->result = result;
    if (result != KX_RES_OK) {
        answer(*run, std::nullopt);
        return;
    }
    if (run->worker.completion) {
        run->completion = run->worker.completion;
        answer(*run, std::move(run->worker.status));
        return;
    }
    if (run->completion) {
        answer(*run, std::nullopt); // the process ended before the worker got back
        return;
    }
    waiting_for_process().emplace(run.get(), run);
}

// The run, on a worker: the key's lane is held, so nothing else reads or
// writes its status meanwhile.
uint32_t run_on_worker(PendingCall &run, bool by_uri, const std::string &document, guint flags,
                       const std::string &scheme) {
    run.worker.before = korvex::sysconfig::key_entry(run.key.c_str());
    run.worker.skipped = run.worker.before && (flags & KX_SYSCONFIG_FLAG_FORCE) == 0;
    return korvex::sysconfig::run_document(by_uri ? document.c_str() : nullptr,
                                           by_uri ? nullptr : document.c_str(), flags,
                                           scheme.c_str(), run.key.c_str(), result_cb, &run,
                                           &run.worker.reason);
}

// The arguments live in the message being dispatched; the run outlasts
// it, so everything below works on copies.
gboolean start_run(const char *action, bool by_uri, const char *document, guint flags,
                   const char *scheme, const char *key, DBusGMethodInvocation *context) {
    if (std::string why; korvex::sysconfig::check_key_sanity(key, &why) != 0) {
        korvex::refuse_argument(context, KX_RES_BAD_ARGUMENT, why);
        return FALSE;
    }
    korvex::authorize(
        action, context,
        [by_uri, document = std::string(document), flags, scheme = std::string(scheme),
         key = std::string(key)](Request request) {
            korvex::enter_lane(key, std::move(request), [=](Request request, LaneHold lane) {
                const korvex::Caller caller = request.caller();
                kx_log(KX_LOG_INFO,
                       "%s: run of key \"%s\" starts: scheme \"%s\", %s, for uid %ld (pid %ld)",
                       step, key.c_str(), korvex::printable(scheme).c_str(),
                       (flags & KX_SYSCONFIG_FLAG_FORCE) != 0 ? "forced" : "not forced",
                       static_cast<long>(caller.uid), static_cast<long>(caller.pid));
                auto run = std::make_shared<PendingCall>();
                run->lane = std::move(lane);
                run->key = key;
                run->started_us = g_get_monotonic_time();
                PendingCall *worker_view = run.get();
                korvex::queue<uint32_t>(
                    std::move(request), WorkKind::ordinary,
                    [=] { return run_on_worker(*worker_view, by_uri, document, flags, scheme); },
                    [run](Request request, uint32_t result) {
                        run->request = std::move(request);
                        returned(run, result);
                    });
            });
        });
    return TRUE;
}

bool known_scheme(const char *scheme) {
    return g_ascii_strcasecmp(scheme, "puppet") == 0 || g_ascii_strcasecmp(scheme, "augeas") == 0;
}

struct PreviewOutcome {
    uint32_t result = KX_RES_OK;
    int changes = 0;
    CText report;
};

gboolean start_preview(const char *action, PreviewFunction function, const char *document,
                       const char *scheme, DBusGMethodInvocation *context) {
    if (!known_scheme(scheme)) {
        korvex::refuse_argument(context, KX_RES_BAD_ARGUMENT,
                                korvex::sysconfig::scheme_reason(scheme));
        return FALSE;
    }
    korvex::authorize(
        action, context,
        [function, document = std::string(document),
         scheme = std::string(scheme)](Request request) {
            korvex::queue<PreviewOutcome>(
                std::move(request), WorkKind::preview,
                [=] {
                    PreviewOutcome outcome;
                    char *report = nullptr;
                    outcome.result =
                        function(document.c_str(), scheme.c_str(), &outcome.changes, &report);
                    outcome.report.reset(report);
                    return outcome;
                },
                [](Request request, PreviewOutcome outcome) {
                    if (outcome.result == KX_RES_OK) {
                        std::move(request).reply_flag_and_text(outcome.changes != 0,
                                                               outcome.report.get());
                        return;
                    }
                    // What the tool said about its failure goes with the code.
                    std::string message = kx_result_to_str(static_cast<int>(outcome.result));
                    if (outcome.report)
                        message += std::string("\n") + outcome.report.get();
                    korvex::ErrorPtr error(g_error_new_literal(
                        korvex_error_quark(), static_cast<int>(outcome.result), message.c_str()));
                    std::move(request).reply_error(error.get());
                });
        });
    return TRUE;
}

} // namespace

extern "C" {

PropertyRow properties[] = {
    KORVEX_HOST_PROPERTY_ROWS,
    {3, "is_postboot_configured", "is_postboot_configured", "Set if agent is configured.",
     G_PARAM_READWRITE, 'u'},
    KORVEX_QMF_GEN_PROPERTY_ROW(4),
    KORVEX_PROPERTY_ROWS_END,
};

gboolean Sysconfig_run_uri(Korvex *, const char *uri, guint flags, const char *scheme,
                           const char *key, DBusGMethodInvocation *context) {
    return start_run("org.vaduderuvoziz.Sysconfig.run_uri", true, uri, flags, scheme, key,
                     context);
}

gboolean Sysconfig_run_string(Korvex *, const char *text, guint flags, const char *scheme,
                              const char *key, DBusGMethodInvocation *context) {
    return start_run("org.vaduderuvoziz.Sysconfig.run_string", false, text, flags, scheme, key,
                     context);
}

gboolean Sysconfig_query(Korvex *, const char *text, guint flags, const char *scheme,
                         DBusGMethodInvocation *context) {
    korvex::authorize("org.vaduderuvoziz.Sysconfig.query", context,
                      [text = std::string(text), flags,
                       scheme = std::string(scheme)](Request request) {
                          korvex::queue<CText>(
                              std::move(request), WorkKind::ordinary,
                              [=] {
                                  return CText(
                                      kx_sysconfig_query(text.c_str(), flags, scheme.c_str()));
                              },
                              [](Request request, CText data) {
                                  std::move(request).reply_text(data.get());
                              });
                      });
    return TRUE;
}

gboolean Sysconfig_is_configured(Korvex *, const char *key, DBusGMethodInvocation *context) {
    korvex::authorize("org.vaduderuvoziz.Sysconfig.is_configured", context,
                      [key = std::string(key)](Request request) {
                          std::move(request).reply_text(stored_status(key));
                      });
    return TRUE;
}

gboolean SysconfigPreview_preview_string(Korvex *, const char *text, const char *scheme,
                                         DBusGMethodInvocation *context) {
    return start_preview("org.vaduderuvoziz.Sysconfig.Preview.preview_string",
                         kx_sysconfig_preview_string, text, scheme, context);
}

gboolean SysconfigPreview_preview_uri(Korvex *, const char *uri, const char *scheme,
                                      DBusGMethodInvocation *context) {
    return start_preview("org.vaduderuvoziz.Sysconfig.Preview.preview_uri",
                         kx_sysconfig_preview_uri, uri, scheme, context);
}

} // extern "C"

int main() {
    // A process killed during a run leaves its documents behind, some of
    // them downloaded secrets; nothing else would ever remove them.
    kx_sysconfig_remove_leftovers();
    return run_dbus_server("org.vaduderuvoziz.Sysconfig", "/org/vaduderuvoziz/Sysconfig");
}
