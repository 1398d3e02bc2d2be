// The agent's workers and the lanes of requests that must not overlap.
//
// Work that takes long (downloads, augeas runs, tool previews) runs on
// worker threads so that the main loop keeps answering. The workers are
// shared fairly: work waits in one queue per user, the workers take from
// the users in turn, and one user holds at most kPerUser of them at once.
// Root's work runs on workers of its own, so nothing another user starts
// can make it wait. Whatever a worker ends with comes back to the main
// loop one way only: the completion of the job's GTask, which GLib runs on
// the main context where the job was queued.
//
// Ownership: Scheduler::mutex_ guards the queues and the counts that the
// workers read; each queued job's request and completion stay on the main
// loop (Scheduler::pending_), where no worker looks. The lanes are the main
// loop's alone.
#include <algorithm>
#include <cassert>
#include <cstdint>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <vector>

#include <gio/gio.h>

#include <korvex/requests.h>

#include "requests_internal.h"

namespace {

using korvex::Request;
using korvex::WorkKind;

// Workers one user may hold at once.
constexpr unsigned kPerUser = 4;
// Workers every user but root shares; started as work needs them.
constexpr unsigned kSharedWorkers = 28;
constexpr unsigned kMaxPreviews = 4;

struct Job {
    guint64 id;
    uid_t uid;
    std::string sender;
    WorkKind kind;
    std::function<void()> work;
    GTask *task; // made on the main loop, returned by the worker
};

// What a queued job returns to: main loop only.
struct Completion {
    Request request;
    std::function<void(Request)> done;
};

class Scheduler {
public:
    void submit(Request request, WorkKind kind, std::function<void()> work,
                std::function<void(Request)> done) {
        assert(korvex::detail::on_main_loop());
        const guint64 id = next_id_++;
        const uid_t uid = request.caller().uid;
        Job job{id, uid, request.sender(), kind, std::move(work),
                g_task_new(nullptr, nullptr, on_task_done,
                           reinterpret_cast<gpointer>(static_cast<uintptr_t>(id)))};
        pending_.emplace(id, Completion{std::move(request), std::move(done)});

        std::lock_guard lock(mutex_);
        auto &queue = queued_[uid];
        if (queue.empty())
            turns_.push_back(uid);
        queue.push_back(std::move(job));
        start_worker_if_needed(uid == 0);
        wake_.notify_all();
    }

    // Takes the departed sender's jobs that have not started out of the
    // queues, then ends them on the main loop: their tasks complete into
    // nothing and their requests are dropped.
    void drop(const std::string &sender) {
        std::vector<Job> dropped;
        {
            std::lock_guard lock(mutex_);
            for (auto &[uid, queue] : queued_) {
                for (auto job = queue.begin(); job != queue.end();) {
                    if (job->sender == sender) {
                        dropped.push_back(std::move(*job));
                        job = queue.erase(job);
                    } else {
                        ++job;
                    }
                }
            }
            forget_empty_queues();
        }
        std::vector<Completion> ended;
        for (Job &job : dropped) {
            if (auto found = pending_.find(job.id); found != pending_.end()) {
                ended.push_back(std::move(found->second));
                pending_.erase(found);
            }
            g_task_return_boolean(job.task, FALSE);
            g_object_unref(job.task);
        }
        // Out of every list now; dropping a completion may release a lane.
        ended.clear();
    }

private:
    static void on_task_done(GObject *, GAsyncResult *, gpointer data) {
        instance().finish(static_cast<guint64>(reinterpret_cast<uintptr_t>(data)));
    }

    void finish(guint64 id) {
        // Orders the worker's writes (its result) before the completion.
        { std::lock_guard lock(mutex_); }
        auto found = pending_.find(id);
        if (found == pending_.end())
            return; // dropped with its caller
        Completion completion = std::move(found->second);
        pending_.erase(found);
        completion.done(std::move(completion.request));
    }

    // Called with mutex_ held: a new worker when there is more work that
    // could start now than idle workers to take it.
    void start_worker_if_needed(bool for_root) {
        unsigned &started = for_root ? root_workers_ : shared_workers_;
        const unsigned idle = for_root ? idle_root_ : idle_shared_;
        const unsigned limit = for_root ? kPerUser : kSharedWorkers;
        if (started >= limit || startable(for_root) <= idle)
            return;
        try {
            std::thread([this, for_root] { serve(for_root); }).detach();
            ++started;
        } catch (const std::system_error &) {
            // No thread to be had now (a task limit): the work waits for a
            // worker that exists, or for the next submission to try again.
        }
    }

    unsigned running(uid_t uid) const {
        auto found = running_.find(uid);
        return found != running_.end() ? found->second : 0;
    }

    unsigned startable(bool for_root) const {
        unsigned count = 0;
        for (const auto &[uid, queue] : queued_) {
            if ((uid == 0) == for_root && running(uid) < kPerUser)
                count += std::min<unsigned>(queue.size(), kPerUser - running(uid));
        }
        return count;
    }

    // Called with mutex_ held: the next job a worker of this kind may take,
    // from the first user in turn that is under its bound.
    bool take(bool for_root, Job &job) {
        for (auto turn = turns_.begin(); turn != turns_.end(); ++turn) {
            const uid_t uid = *turn;
            if ((uid == 0) != for_root || running(uid) >= kPerUser)
                continue;
            auto &queue = queued_[uid];
            for (auto candidate = queue.begin(); candidate != queue.end(); ++candidate) {
                if (candidate->kind == WorkKind::preview && previews_ >= kMaxPreviews)
                    continue;
                job = std::move(*candidate);
                queue.erase(candidate);
                turns_.erase(turn);
                if (queue.empty())
                    queued_.erase(uid);
                else
                    turns_.push_back(uid);
                return true;
            }
        }
        return false;
    }

    void forget_empty_queues() {
        for (auto queue = queued_.begin(); queue != queued_.end();) {
            if (queue->second.empty()) {
                std::erase(turns_, queue->first);
                queue = queued_.erase(queue);
            } else {
                ++queue;
            }
        }
    }

    [[noreturn]] void serve(bool for_root) {
        unsigned &idle = for_root ? idle_root_ : idle_shared_;
        std::unique_lock lock(mutex_);
        for (;;) {
            Job job;
            while (!take(for_root, job)) {
                ++idle;
                wake_.wait(lock);
                --idle;
            }
            ++running_[job.uid];
            if (job.kind == WorkKind::preview)
                ++previews_;
            lock.unlock();

            job.work();
            job.work = nullptr; // what it captured goes on this thread

            lock.lock();
            if (--running_[job.uid] == 0)
                running_.erase(job.uid);
            if (job.kind == WorkKind::preview)
                --previews_;
            wake_.notify_all();
            lock.unlock();
            g_task_return_boolean(job.task, TRUE);
            g_object_unref(job.task);
            lock.lock();
        }
    }

public:
    static Scheduler &instance() {
        // Never destroyed: agents end by signal, and the workers live as long.
        static Scheduler *const scheduler = new Scheduler;
        return *scheduler;
    }

private:
    std::mutex mutex_;
    std::condition_variable wake_;
    std::map<uid_t, std::deque<Job>> queued_; // by user, in arrival order
    std::deque<uid_t> turns_;                 // users with queued work, next first
    std::map<uid_t, unsigned> running_;
    unsigned previews_ = 0;
    unsigned shared_workers_ = 0;
    unsigned root_workers_ = 0;
    unsigned idle_shared_ = 0;
    unsigned idle_root_ = 0;

    // Main loop only.
    guint64 next_id_ = 1;
    std::unordered_map<guint64, Completion> pending_;
};

struct LaneEntry {
    Request request;
    std::function<void(Request, korvex::LaneHold)> start;
};

struct Lane {
    std::deque<LaneEntry> waiting;
};

// Held lanes by name; a lane is held while it is in the map. Main loop only.
std::unordered_map<std::string, Lane> &lanes() {
    static auto *const held = new std::unordered_map<std::string, Lane>;
    return *held;
}

} // namespace

namespace korvex {

void queue_work(Request request, WorkKind kind, std::function<void()> work,
                std::function<void(Request)> done) {
    Scheduler::instance().submit(std::move(request), kind, std::move(work), std::move(done));
}

void enter_lane(const std::string &lane, Request request,
                std::function<void(Request, LaneHold)> start) {
    assert(detail::on_main_loop());
    auto [found, free] = lanes().try_emplace(lane);
    if (!free) {
        found->second.waiting.push_back(LaneEntry{std::move(request), std::move(start)});
        return;
    }
    start(std::move(request), LaneHold(lane));
}

LaneHold &LaneHold::operator=(LaneHold &&other) noexcept {
    if (this != &other) {
        release();
        lane_ = std::move(other.lane_);
        held_ = std::exchange(other.held_, false);
    }
    return *this;
}

void LaneHold::release() {
    if (!std::exchange(held_, false))
        return;
    auto found = lanes().find(lane_);
    if (found == lanes().end())
        return;
    if (found->second.waiting.empty()) {
        lanes().erase(found);
        return;
    }
    LaneEntry next = std::move(found->second.waiting.front());
    found->second.waiting.pop_front();
    // The lane stays held: it passes to the next request.
    next.start(std::move(next.request), LaneHold(lane_));
}

void detail::drop_queued_work(const std::string &sender) { Scheduler::instance().drop(sender); }

void detail::drop_lane_waiters(const std::string &sender) {
    std::vector<LaneEntry> dropped;
    for (auto &[name, lane] : lanes()) {
        for (auto entry = lane.waiting.begin(); entry != lane.waiting.end();) {
            if (entry->request.sender() == sender) {
                dropped.push_back(std::move(*entry));
                entry = lane.waiting.erase(entry);
            } else {
                ++entry;
            }
        }
    }
    // Out of the lanes now: their requests are dropped unanswered.
    dropped.clear();
}

} // namespace korvex
