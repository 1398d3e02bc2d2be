// Waiting for puppet completions on the GLib main loop.
#pragma once

#include <glib.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace korvex::sysconfig::test {

struct MainLoopUnref {
    void operator()(GMainLoop *loop) const noexcept { g_main_loop_unref(loop); }
};

// Completions of several runs, in the order they arrive. Each run gets
// its own Slot as user data; run_until() spins the main loop until the
// expected number of completions has arrived.
class CompletionLog {
public:
    struct Slot {
        CompletionLog *log;
        std::string name;
        std::vector<int32_t> results;
    };

    CompletionLog();

    Slot &slot(std::string name);
    static void record(void *slot, int32_t result);
    void run_until(size_t completions);

    const std::vector<std::string> &order() const noexcept { return order_; }

    // Called after each completion, before the loop may stop.
    void on_completion(std::function<void(const std::string &name)> hook) {
        hook_ = std::move(hook);
    }

private:
    std::unique_ptr<GMainLoop, MainLoopUnref> loop_;
    std::vector<std::unique_ptr<Slot>> slots_;
    std::vector<std::string> order_;
    size_t expected_ = 0;
    std::function<void(const std::string &)> hook_;
};

} // namespace korvex::sysconfig::test
