// Process actions: a program started without waiting, whose exit is
// reported once on the tracked main context, after which the action is
// released by the library.
#include "korvex/kservice.h"
#include "korvex/kcommon.h"
#include "kx_child_tracking.h"
#include "korvex/owners.h"

#include <sys/wait.h>

#include <mutex>

namespace {

// Exit code, or 128 + signal for a killed process as shells report it,
// so a killed child never reads as success.
int exit_status_from_wait(int wait_status) {
    if (WIFEXITED(wait_status))
        return WEXITSTATUS(wait_status);
    if (WIFSIGNALED(wait_status))
        return 128 + WTERMSIG(wait_status);
    return -1;
}

// The watch may fire on the tracked context's own thread as soon as it is
// attached, before services_action_async has stored its id; the exit
// handler waits for that store before it touches (and frees) the action.
std::mutex attach_lock;

void on_child_exit(GPid pid, gint wait_status, gpointer data) {
    { std::lock_guard attached(attach_lock); }
    auto *action = static_cast<ServicesAction *>(data);
    action->exit_status = exit_status_from_wait(wait_status);
    action->watch_id = 0;
    if (action->done != nullptr)
        action->done(action);
    g_spawn_close_pid(pid);
    action->pid = 0;
    services_action_free(action);
}

korvex::MainContextPtr watch_context() {
    GMainContext *tracked = kx_child_tracking_context();
    return korvex::MainContextPtr(tracked != nullptr ? tracked
                                                     : g_main_context_ref_thread_default());
}

} // namespace

extern "C" ServicesAction *kx_services_action_create_generic(const char *exec,
                                                             const char *const *args) {
    if (exec == nullptr || exec[0] == '\0')
        return nullptr;

    guint nargs = 0;
    if (args != nullptr)
        while (args[nargs] != nullptr)
            ++nargs;

    auto *action = g_new0(ServicesAction, 1);
    action->exec = g_strdup(exec);
    action->argv = g_new0(char *, nargs + 2);
    action->argv[0] = g_strdup(exec);
    for (guint i = 0; i < nargs; ++i)
        action->argv[i + 1] = g_strdup(args[i]);
    action->output_fd = -1;
    return action;
}

extern "C" gboolean services_action_async(ServicesAction *action, kx_services_done_fn done) {
    if (action == nullptr || action->argv == nullptr)
        return FALSE;
    if (action->pid != 0) {
        kx_log(KX_LOG_ERR, "%s: action %s is already running", __func__,
               action->id != nullptr ? action->id : action->exec);
        return FALSE;
    }

    // Without G_SPAWN_CHILD_INHERITS_STDIN the child reads /dev/null;
    // stdout and stderr are the agent's unless an output was given.
    GPid pid = 0;
    GError *raw_error = nullptr;
    if (!g_spawn_async_with_fds(
            nullptr, action->argv, nullptr,
            static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD), nullptr,
            nullptr, &pid, -1, action->output_fd, action->output_fd, &raw_error)) {
        korvex::ErrorPtr error(raw_error);
        g_free(action->start_error);
        action->start_error = g_strdup_printf("cannot start %s: %s", action->exec,
                                              error ? error->message : "unknown error");
        kx_log(KX_LOG_ERR, "%s: %s", __func__, action->start_error);
        return FALSE;
    }

    action->pid = pid;
    action->done = done;
    korvex::SourcePtr watch(g_child_watch_source_new(pid));
    g_source_set_callback(watch.get(), G_SOURCE_FUNC(on_child_exit), action, nullptr);
    korvex::MainContextPtr context = watch_context();
    std::lock_guard attaching(attach_lock);
    action->watch_id = g_source_attach(watch.get(), context.get());
    return TRUE;
}

extern "C" void kx_services_action_set_output(ServicesAction *action, int fd) {
    if (action != nullptr)
        action->output_fd = fd;
}

extern "C" const char *kx_services_action_start_error(const ServicesAction *action) {
    return action != nullptr ? action->start_error : nullptr;
}

extern "C" void services_action_free(ServicesAction *action) {
    if (action == nullptr)
        return;
    g_free(action->start_error);
    g_free(action->id);
    g_free(action->exec);
    g_strfreev(action->argv);
    g_free(action);
}
