// The road of every request through an agent: validation of its arguments
// (the handler's own), the caller's authorization, a fair place in the
// queue of the workers, the work and exactly one reply. C++ only; the
// agents' handlers use it.
//
// Everything here belongs to the agent's main loop: a Request is made,
// moved, answered and destroyed there only. Worker threads get copies of
// what their work needs and hand their result back through queue(), which
// completes on the main loop.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include <sys/types.h>

#include <dbus/dbus-glib.h>
#include <glib-object.h>

#include <korvex/export.h>

namespace korvex {

// The process behind a request, as the bus daemon vouches for it.
struct Caller {
    uid_t uid;
    pid_t pid;
};

namespace detail {
struct Admission;
}

// One admitted request, from the moment its caller's credentials are known
// until its reply. It holds one of its user's in-flight slots. Move-only:
// replying consumes it, and one destroyed unanswered replies "the request
// could not be completed", so no caller is ever left waiting for its
// time-out. Every string sent is valid UTF-8: bytes that are not are sent
// as U+FFFD.
class KX_EXPORT Request {
public:
    // One that has nothing left to answer.
    Request();
    Request(Request &&other) noexcept;
    Request &operator=(Request &&other) noexcept;
    Request(const Request &) = delete;
    Request &operator=(const Request &) = delete;
    ~Request();

    const Caller &caller() const;
    // The caller's unique bus name.
    const std::string &sender() const;
    // False once replied to (or moved from).
    explicit operator bool() const { return admission_ != nullptr; }

    void reply_text(std::string_view text) &&;
    // A null text is sent as the empty one.
    void reply_text(const char *text) && {
        std::move(*this).reply_text(std::string_view(text != nullptr ? text : ""));
    }
    void reply_texts(const char *const *texts) &&;
    void reply_uint(guint32 value) &&;
    void reply_flag_and_text(bool flag, std::string_view text) &&;
    void reply_value(const GValue *value) &&;
    // An array of structs (a(...)) as dbus-glib marshals it: boxed
    // GValueArrays; the strings in them must be valid UTF-8 already.
    void reply_structs(GPtrArray *structs) &&;
    void reply_empty() &&;
    void reply_error(const GError *error) &&;
    // A korvex-error-quark error: the code's fixed text, and ": reason"
    // after it when there is one.
    void reply_failure(int code, std::string_view reason = {}) &&;

private:
    friend struct detail::Admission;
    explicit Request(std::unique_ptr<detail::Admission> admission);
    DBusGMethodInvocation *take_context();

    std::unique_ptr<detail::Admission> admission_;
};

// What a request does once its caller is authorized; it runs on the main
// loop.
using Work = std::function<void(Request)>;

// The one gate of every method and property request. Returns at once:
// the caller's credentials and the PolicyKit check are asked for without
// blocking the main loop, and `work` runs when polkitd says yes. A
// refusal, a failed check, a check not answered in time and a user with
// too many requests in progress are answered here, and `work` never runs.
KX_EXPORT void authorize(const char *action, DBusGMethodInvocation *context, Work work);

// Answers a request before authorization, for arguments that no caller
// could have made work (the handlers' validation). Code and reason as
// Request::reply_failure.
KX_EXPORT void refuse_argument(DBusGMethodInvocation *context, int code, std::string_view reason);

// `text` as it may travel on the bus.
KX_EXPORT std::string bus_text(std::string_view text);

// Kinds of work, for the limits that hold across all callers.
enum class WorkKind {
    ordinary,
    // At most kMaxPreviews of these run at once: each one holds a tool in
    // a sandbox of its own.
    preview,
};

// Hands `work` to the agent's workers and returns at once; `done` runs
// afterwards on the main loop with the request. Work waits in one queue
// per user; the workers take from the users in turn, one user holds at
// most four of them at once, and root's work never waits behind anybody
// else's. A caller that leaves the bus takes its queued work with it (its
// requests are dropped unanswered); work already running finishes and
// `done` still runs.
//
// `work` runs on a worker thread: it must own everything it reads, and
// touch nothing of the main loop's.
KX_EXPORT void queue_work(Request request, WorkKind kind, std::function<void()> work,
                          std::function<void(Request)> done);

// The same, for work that ends with a value: `done(request, value)`.
template <typename Result, typename Work, typename Done>
void queue(Request request, WorkKind kind, Work work, Done done) {
    // Written by the worker; read on the main loop only after the queue's
    // hand-off, which orders the two.
    auto result = std::make_shared<Result>();
    queue_work(
        std::move(request), kind, [result, work = std::move(work)]() mutable { *result = work(); },
        [result, done = std::move(done)](Request request) mutable {
            done(std::move(request), std::move(*result));
        });
}

// Holds a lane (see enter_lane) until it is destroyed; then the next
// request waiting for the lane starts. Move-only; main loop only.
class KX_EXPORT LaneHold {
public:
    LaneHold() = default;
    explicit LaneHold(std::string lane) : lane_(std::move(lane)), held_(true) {}
    LaneHold(LaneHold &&other) noexcept
        : lane_(std::move(other.lane_)), held_(std::exchange(other.held_, false)) {}
    LaneHold &operator=(LaneHold &&other) noexcept;
    LaneHold(const LaneHold &) = delete;
    LaneHold &operator=(const LaneHold &) = delete;
    ~LaneHold() { release(); }

    void release();

private:
    std::string lane_;
    bool held_ = false;
};

// Requests that must not overlap, such as the runs of one configuration
// key, share a lane: `start` runs at once when the lane is free, or else
// when every request that entered it before has released it, in arrival
// order. A caller that leaves the bus takes its waiting requests with it.
KX_EXPORT void enter_lane(const std::string &lane, Request request,
                          std::function<void(Request, LaneHold)> start);

} // namespace korvex
