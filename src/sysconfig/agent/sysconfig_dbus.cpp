// sysconfig-dbus: puts libksysconfig on the system bus. A run ends long
// after its handler returned (on a worker thread, or when puppet exits),
// so each run carries a PendingCall that the completion callback answers
// and frees.
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include <gio/gio.h>

#include <korvex/kcommon.h>
#include <korvex/kcommon_dbus.h>
#include <korvex/owners.h>
#include <korvex/requests.h>
#include <korvex/sysconfig.h>

#include "sysconfig_handlers.h"

using CText = korvex::MallocCharPtr;

namespace {

struct PendingCallDeleter {
    void operator()(PendingCall *call) const {
        g_free(call->key);
        g_free(call);
    }
};
using PendingCallPtr = std::unique_ptr<PendingCall, PendingCallDeleter>;

using RunFunction = uint32_t (*)(const char *, uint32_t, const char *, const char *,
                                 kx_sysconfig_cb, void *);

// Downloads, augeas runs and queries take from milliseconds to minutes;
// on the agent's only thread they would hold up every other caller. So
// they run on a worker thread, and what they end with comes back to the
// main loop, where every reply is sent.
struct OffThreadJob {
    std::function<void()> work;
    std::function<void()> then;
};

void off_thread(std::function<void()> work, std::function<void()> then) {
    auto *job = new OffThreadJob{std::move(work), std::move(then)};
    GTask *task = g_task_new(
        nullptr, nullptr,
        [](GObject *, GAsyncResult *, gpointer data) {
            std::unique_ptr<OffThreadJob> done(static_cast<OffThreadJob *>(data));
            done->then();
        },
        job);
    g_task_set_task_data(task, job, nullptr);
    g_task_run_in_thread(task, [](GTask *running, gpointer, gpointer data, GCancellable *) {
        static_cast<OffThreadJob *>(data)->work();
        g_task_return_boolean(running, TRUE);
    });
    g_object_unref(task);
}

// What a run on a worker thread completed with, when it completed there.
struct WorkerOutcome {
    bool delivered = false;
    int32_t rc = 0;
};
thread_local WorkerOutcome *worker_outcome = nullptr;

// The library completes an augeas run on the thread that ran it, before
// its temporary files are gone, and a puppet run on the main loop. A run's
// outcome is answered on the main loop once the run has returned, so the
// caller never hears of a run that has not yet cleaned up after itself.
void deliver_result(void *user_data, int32_t rc) {
    if (worker_outcome != nullptr) {
        worker_outcome->delivered = true;
        worker_outcome->rc = rc;
        return;
    }
    result_cb(user_data, rc);
}

void start_run(RunFunction run, const std::string &document, guint flags, const std::string &scheme,
               const std::string &key, DBusGMethodInvocation *context) {
    PendingCallPtr call(g_try_new0(PendingCall, 1));
    if (!call) {
        // Without a record the outcome could never be delivered; tell the
        // caller now rather than leaving it waiting for its time-out.
        korvex_reply_result_error(context, KX_RES_SYSTEM_ERROR);
        return;
    }
    call->context = context;
    call->key = g_strdup(key.c_str());

    struct Outcome {
        uint32_t rc = 0;
        WorkerOutcome completion;
    };
    auto outcome = std::make_shared<Outcome>();
    // The record belongs to result_cb once the run returned 0 (a puppet
    // run may have been answered and freed already); otherwise to the code
    // after the run.
    PendingCall *record = call.release();
    off_thread(
        [=] {
            worker_outcome = &outcome->completion;
            outcome->rc =
                run(document.c_str(), flags, scheme.c_str(), key.c_str(), deliver_result, record);
            worker_outcome = nullptr;
        },
        [=] {
            if (outcome->completion.delivered) {
                result_cb(record, outcome->completion.rc);
                return;
            }
            if (outcome->rc == 0)
                return;
            PendingCallPtr refused(record);
            korvex_reply_result_error(refused->context, static_cast<int>(outcome->rc));
        });
}

// The arguments live in the message being dispatched; the authorization
// check outlasts it, so the work keeps copies.
gboolean authorize_run(const char *action, RunFunction run, const char *document, guint flags,
                       const char *scheme, const char *key, DBusGMethodInvocation *context) {
    korvex::authorize(action, context,
                      [run, document = std::string(document), flags, scheme = std::string(scheme),
                       key = std::string(key)](DBusGMethodInvocation *ctx) {
                          start_run(run, document, flags, scheme, key, ctx);
                      });
    return TRUE;
}

using PreviewFunction = uint32_t (*)(const char *, const char *, int *, char **);

// A preview waits for its tool, puppet's dry run taking seconds, so it
// gets a thread of its own: on the shared workers a few of them would hold
// up other callers' runs and queries behind them.
void on_own_thread(std::function<void()> work, std::function<void()> then) {
    auto *job = new OffThreadJob{std::move(work), std::move(then)};
    GThread *thread = g_thread_try_new(
        "preview",
        [](gpointer data) -> gpointer {
            static_cast<OffThreadJob *>(data)->work();
            g_idle_add(
                [](gpointer done) {
                    std::unique_ptr<OffThreadJob> job(static_cast<OffThreadJob *>(done));
                    job->then();
                    return G_SOURCE_REMOVE;
                },
                data);
            return nullptr;
        },
        job, nullptr);
    if (thread == nullptr) {
        // No thread to spare: the work waits for a shared worker instead.
        off_thread(std::move(job->work), std::move(job->then));
        delete job;
        return;
    }
    g_thread_unref(thread);
}

gboolean authorize_preview(const char *action, PreviewFunction preview, const char *document,
                           const char *scheme, DBusGMethodInvocation *context) {
    korvex::authorize(
        action, context,
        [preview, document = std::string(document),
         scheme = std::string(scheme)](DBusGMethodInvocation *ctx) {
            struct Outcome {
                uint32_t rc = 0;
                int changes = 0;
                CText report;
            };
            auto outcome = std::make_shared<Outcome>();
            on_own_thread(
                [=] {
                    char *report = nullptr;
                    outcome->rc =
                        preview(document.c_str(), scheme.c_str(), &outcome->changes, &report);
                    outcome->report.reset(report);
                },
                [=] {
                    if (outcome->rc == KX_RES_OK) {
                        korvex::reply_flag_and_text(ctx, outcome->changes != 0,
                                                    outcome->report.get());
                        return;
                    }
                    // What the tool said about its failure goes with the code.
                    std::string message = kx_result_to_str(static_cast<int>(outcome->rc));
                    if (outcome->report)
                        message += std::string("\n") + outcome->report.get();
                    std::unique_ptr<GError, decltype(&g_error_free)> error(
                        g_error_new_literal(korvex_error_quark(), static_cast<int>(outcome->rc),
                                            message.c_str()),
                        g_error_free);
                    korvex::reply_error(ctx, error.get());
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

void result_cb(void *user_data, int32_t rc) {
    PendingCallPtr call(static_cast<PendingCall *>(user_data));
    if (rc != 0) {
        korvex_reply_result_error(call->context, rc);
        return;
    }
    CText status(kx_sysconfig_is_configured(call->key));
    korvex::reply_text(call->context, status.get());
}

gboolean Sysconfig_run_uri(Korvex *, const char *uri, guint flags, const char *scheme,
                           const char *key, DBusGMethodInvocation *context) {
    return authorize_run("org.vaduderuvoziz.Sysconfig.run_uri", kx_sysconfig_run_uri, uri, flags,
                         scheme, key, context);
}

gboolean Sysconfig_run_string(Korvex *, const char *text, guint flags, const char *scheme,
                              const char *key, DBusGMethodInvocation *context) {
    return authorize_run("org.vaduderuvoziz.Sysconfig.run_string", kx_sysconfig_run_string, text,
                         flags, scheme, key, context);
}

gboolean Sysconfig_query(Korvex *, const char *text, guint flags, const char *scheme,
                         DBusGMethodInvocation *context) {
    korvex::authorize(
        "org.vaduderuvoziz.Sysconfig.query", context,
        [text = std::string(text), flags,
         scheme = std::string(scheme)](DBusGMethodInvocation *ctx) {
            auto data = std::make_shared<CText>();
            off_thread(
                [=] { data->reset(kx_sysconfig_query(text.c_str(), flags, scheme.c_str())); },
                [=] { korvex::reply_text(ctx, data->get()); });
        });
    return TRUE;
}

gboolean Sysconfig_is_configured(Korvex *, const char *key, DBusGMethodInvocation *context) {
    korvex::authorize("org.vaduderuvoziz.Sysconfig.is_configured", context,
                      [key = std::string(key)](DBusGMethodInvocation *ctx) {
                          CText status(kx_sysconfig_is_configured(key.c_str()));
                          korvex::reply_text(ctx, status.get());
                      });
    return TRUE;
}

gboolean SysconfigPreview_preview_string(Korvex *, const char *text, const char *scheme,
                                         DBusGMethodInvocation *context) {
    return authorize_preview("org.vaduderuvoziz.Sysconfig.Preview.preview_string",
                             kx_sysconfig_preview_string, text, scheme, context);
}

gboolean SysconfigPreview_preview_uri(Korvex *, const char *uri, const char *scheme,
                                      DBusGMethodInvocation *context) {
    return authorize_preview("org.vaduderuvoziz.Sysconfig.Preview.preview_uri",
                             kx_sysconfig_preview_uri, uri, scheme, context);
}

} // extern "C"

int main() {
    // A process killed during a run leaves its documents behind, some of
    // them downloaded secrets; nothing else would ever remove them.
    kx_sysconfig_remove_leftovers();
    return run_dbus_server("org.vaduderuvoziz.Sysconfig", "/org/vaduderuvoziz/Sysconfig");
}
