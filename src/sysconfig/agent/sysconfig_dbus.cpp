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

#include "sysconfig_handlers.h"
#include "sysconfig_internal.h"

using CText = korvex::MallocCharPtr;
using korvex::LaneHold;
using korvex::Request;
using korvex::WorkKind;

namespace {

using RunFunction = uint32_t (*)(const char *, uint32_t, const char *, const char *,
                                 kx_sysconfig_cb, void *);
using PreviewFunction = uint32_t (*)(const char *, const char *, int *, char **);

// The key's status text, the empty text when it has none.
std::string stored_status(const std::string &key) {
    CText status(kx_sysconfig_is_configured(key.c_str()));
    return status ? status.get() : "";
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
    bool returned = false;
    uint32_t result = KX_RES_OK;
    std::optional<int32_t> completion;

    // The worker's only, until it returns: a completion on its thread and
    // the status read right after it.
    struct {
        std::optional<int32_t> completion;
        std::string status;
    } worker;
};

// Puppet runs whose worker part is back, waiting for their process; main
// loop only.
std::map<PendingCall *, std::shared_ptr<PendingCall>> &waiting_for_process() {
    static auto *const runs = new std::map<PendingCall *, std::shared_ptr<PendingCall>>;
    return *runs;
}

void answer(PendingCall &run, std::optional<std::string> status) {
    if (run.result != KX_RES_OK) {
        std::move(run.request).reply_failure(static_cast<int>(run.result));
        return;
    }
    if (*run.completion != 0) {
        std::move(run.request).reply_failure(*run.completion);
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

// The arguments live in the message being dispatched; the run outlasts
// it, so everything below works on copies.
gboolean start_run(const char *action, RunFunction function, const char *document, guint flags,
                   const char *scheme, const char *key, DBusGMethodInvocation *context) {
    if (check_key_sanity(key) != 0) {
        korvex::refuse_argument(context, KX_RES_BAD_ARGUMENT, {});
        return FALSE;
    }
    korvex::authorize(
        action, context,
        [function, document = std::string(document), flags, scheme = std::string(scheme),
         key = std::string(key)](Request request) {
            korvex::enter_lane(key, std::move(request), [=](Request request, LaneHold lane) {
                auto run = std::make_shared<PendingCall>();
                run->request = std::move(request);
                run->lane = std::move(lane);
                run->key = key;
                PendingCall *worker_view = run.get();
                korvex::queue<uint32_t>(
                    std::move(run->request), WorkKind::ordinary,
                    [=] {
                        return function(document.c_str(), flags, scheme.c_str(), key.c_str(),
                                        result_cb, worker_view);
                    },
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
        korvex::refuse_argument(context, KX_RES_BAD_ARGUMENT, {});
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
    return start_run("org.vaduderuvoziz.Sysconfig.run_uri", kx_sysconfig_run_uri, uri, flags,
                     scheme, key, context);
}

gboolean Sysconfig_run_string(Korvex *, const char *text, guint flags, const char *scheme,
                              const char *key, DBusGMethodInvocation *context) {
    return start_run("org.vaduderuvoziz.Sysconfig.run_string", kx_sysconfig_run_string, text,
                     flags, scheme, key, context);
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
