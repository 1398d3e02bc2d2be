#include "main_loop_support.h"

#include <korvex/kcommon.h>

namespace korvex::sysconfig::test {

CompletionLog::CompletionLog() : loop_{g_main_loop_new(nullptr, FALSE)} {
    // Child exits are watched on the context this loop runs.
    mainloop_track_children(0);
}

CompletionLog::Slot &CompletionLog::slot(std::string name) {
    slots_.push_back(std::make_unique<Slot>(Slot{this, std::move(name), {}}));
    return *slots_.back();
}

void CompletionLog::record(void *data, int32_t result) {
    auto *slot = static_cast<Slot *>(data);
    CompletionLog *log = slot->log;
    slot->results.push_back(result);
    log->order_.push_back(slot->name);
    if (log->hook_)
        log->hook_(slot->name);
    if (log->order_.size() >= log->expected_)
        g_main_loop_quit(log->loop_.get());
}

void CompletionLog::run_until(size_t completions) {
    expected_ = completions;
    if (order_.size() < expected_)
        g_main_loop_run(loop_.get());
}

} // namespace korvex::sysconfig::test
