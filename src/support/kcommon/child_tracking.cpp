// libkservice attaches its child watches to the context chosen here, so
// that process completions run on the agent's main-loop thread.
#include "korvex/kcommon.h"
#include "kx_child_tracking.h"

#include <mutex>

namespace {
std::mutex tracking_lock;
GMainContext *tracked_context = nullptr;
} // namespace

extern "C" void mainloop_track_children(int /*arg*/) {
    GMainContext *context = g_main_context_ref_thread_default();
    GMainContext *previous;
    {
        std::lock_guard guard(tracking_lock);
        previous = tracked_context;
        tracked_context = context;
    }
    if (previous != nullptr)
        g_main_context_unref(previous);
}

extern "C" GMainContext *kx_child_tracking_context(void) {
    std::lock_guard guard(tracking_lock);
    return tracked_context != nullptr ? g_main_context_ref(tracked_context) : nullptr;
}
