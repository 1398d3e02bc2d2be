// Every request of an agent between its arrival and its reply: who sent
// it, how many of that user's requests are in progress, the asynchronous
// PolicyKit check, and the reply that ends it.
//
// Nothing here may hold up the main loop: a check that polkitd keeps open
// (an authentication agent that never answers, a slow polkitd) or a bus
// daemon slow to tell who a caller is must not delay anybody else's
// request, so both questions are asked asynchronously. And one user must
// not be able to pile up unbounded work, so each user (root excepted) has
// at most kMaxInFlight requests in progress at once, from admission to
// reply, queued work included.
#include <dbus/dbus-glib-lowlevel.h>
#include <dbus/dbus-glib.h>
#include <polkit/polkit.h>

#include <cassert>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include <korvex/kcommon.h>
#include <korvex/kcommon_dbus.h>
#include <korvex/requests.h>
#include <korvex/text.h>

#include "glib_handles.h"
#include "requests_internal.h"

using korvex::ErrorPtr;
using korvex::GCharPtr;
using korvex::ObjectPtr;

namespace {

constexpr unsigned kMaxInFlight = 16;
// Requests of one connection that may wait for its credentials, which the
// bus daemon gives within a round trip; the in-flight bound applies after.
constexpr unsigned kMaxParked = 256;
constexpr guint kDefaultCheckTimeoutS = 120;
constexpr int kCredentialsTimeoutMs = 25000;
// Refusal lines: at most kLinesPerWindow in each window, then a summary.
constexpr unsigned kLinesPerWindow = 10;
constexpr gint64 kWindowUs = 10 * G_USEC_PER_SEC;
// The longest action id a line shows: an interface and a property name of
// up to 255 bytes each.
constexpr size_t kActionShown = 512;

// How long polkitd may take to answer; KORVEX_AUTHORIZATION_TIMEOUT (in
// seconds) changes it.
guint check_timeout_s() {
    static const guint value = [] {
        const char *text = std::getenv("KORVEX_AUTHORIZATION_TIMEOUT");
        if (text == nullptr || *text == '\0')
            return kDefaultCheckTimeoutS;
        char *end = nullptr;
        const unsigned long seconds = std::strtoul(text, &end, 10);
        if (*end != '\0' || seconds == 0 || seconds > 86400)
            return kDefaultCheckTimeoutS;
        return static_cast<guint>(seconds);
    }();
    return value;
}

class RefusalLog {
public:
    void line(const std::string &text) {
        const gint64 now = g_get_monotonic_time();
        if (now >= window_end_) {
            summarize();
            window_end_ = now + kWindowUs;
            written_ = 0;
        }
        if (written_ < kLinesPerWindow) {
            ++written_;
            g_printerr("%s\n", text.c_str());
            return;
        }
        ++suppressed_;
        if (timer_ == 0) {
            const auto left_ms = static_cast<guint>((window_end_ - now) / 1000 + 1);
            timer_ = g_timeout_add(left_ms, on_timer, this);
        }
    }

private:
    // The count closes its window: the next refusal starts a new one.
    static gboolean on_timer(gpointer self) {
        auto *log = static_cast<RefusalLog *>(self);
        log->timer_ = 0;
        log->summarize();
        log->window_end_ = 0;
        return G_SOURCE_REMOVE;
    }

    void summarize() {
        if (suppressed_ > 0)
            g_printerr("%u more refused requests were not logged\n", suppressed_);
        suppressed_ = 0;
    }

    gint64 window_end_ = 0;
    unsigned written_ = 0;
    unsigned suppressed_ = 0;
    guint timer_ = 0;
};

// A request whose caller's credentials are still being asked for.
struct Arrival {
    std::string action;
    DBusGMethodInvocation *context;
    korvex::Work work;
};

// A PolicyKit check in progress. Owned by the completion callback, which
// always runs, cancelled or not.
struct Check {
    korvex::Request request;
    std::string action;
    korvex::Work work;
    ObjectPtr<GCancellable> cancellable{g_cancellable_new()};
    guint timeout_source = 0;
    bool timed_out = false;
};

// The owner of every request's admission state; main loop only.
class Requests {
public:
    // The credentials of `sender`, when the bus has already told them.
    const korvex::Caller *known(const std::string &sender) const {
        auto found = callers_.find(sender);
        return found != callers_.end() ? &found->second : nullptr;
    }

    // Parks the arrival until the bus says who `sender` is; false when the
    // sender already has kMaxParked requests parked.
    bool park(const std::string &sender, Arrival arrival, DBusConnection *bus);

    // Takes what waited for `sender`'s credentials; null `caller` when the
    // bus could not say. Nothing when the sender left meanwhile.
    std::vector<Arrival> credentials_arrived(const std::string &sender,
                                             const std::optional<korvex::Caller> &caller) {
        auto found = lookups_.find(sender);
        if (found == lookups_.end())
            return {};
        std::vector<Arrival> waiting = std::move(found->second);
        lookups_.erase(found);
        if (caller)
            callers_.emplace(sender, *caller);
        return waiting;
    }

    bool admit(uid_t uid) {
        if (uid == 0)
            return true;
        unsigned &count = per_uid_[uid];
        if (count >= kMaxInFlight)
            return false;
        ++count;
        return true;
    }

    void release(uid_t uid) {
        if (uid == 0)
            return;
        if (auto count = per_uid_.find(uid); count != per_uid_.end() && --count->second == 0)
            per_uid_.erase(count);
    }

    void started(Check *check) { checks_.insert(check); }
    void ended(Check *check) { checks_.erase(check); }

    std::vector<Arrival> left(const std::string &name) {
        callers_.erase(name);
        for (Check *check : checks_) {
            if (check->request.sender() == name)
                g_cancellable_cancel(check->cancellable.get());
        }
        std::vector<Arrival> parked;
        if (auto found = lookups_.find(name); found != lookups_.end()) {
            parked = std::move(found->second);
            lookups_.erase(found);
        }
        return parked;
    }

    RefusalLog refusals;

private:
    std::unordered_map<std::string, korvex::Caller> callers_;
    std::unordered_map<std::string, std::vector<Arrival>> lookups_;
    std::map<uid_t, unsigned> per_uid_;
    std::set<Check *> checks_;
};

Requests &requests() {
    // Never destroyed: agents end by signal.
    static Requests *const state = new Requests;
    return *state;
}

} // namespace

namespace korvex::detail {

// One request's hold on its user's slot, and its invocation until the reply.
struct Admission {
    DBusGMethodInvocation *context;
    std::string sender;
    Caller caller;

    static Request make(DBusGMethodInvocation *context, std::string sender, const Caller &caller) {
        // Made in place: a temporary's destructor would give the slot back.
        return Request(std::unique_ptr<Admission>(new Admission{context, std::move(sender), caller}));
    }
    ~Admission() { requests().release(caller.uid); }
};

} // namespace korvex::detail

namespace {

// The UnixUserID and ProcessID of a GetConnectionCredentials reply.
std::optional<korvex::Caller> read_credentials(DBusMessage *reply) {
    if (reply == nullptr || dbus_message_get_type(reply) != DBUS_MESSAGE_TYPE_METHOD_RETURN)
        return std::nullopt;
    std::optional<dbus_uint32_t> uid;
    dbus_uint32_t pid = 0;
    DBusMessageIter top, dict;
    if (dbus_message_iter_init(reply, &top) &&
        dbus_message_iter_get_arg_type(&top) == DBUS_TYPE_ARRAY) {
        dbus_message_iter_recurse(&top, &dict);
        while (dbus_message_iter_get_arg_type(&dict) == DBUS_TYPE_DICT_ENTRY) {
            DBusMessageIter entry, variant;
            dbus_message_iter_recurse(&dict, &entry);
            const char *key = nullptr;
            dbus_message_iter_get_basic(&entry, &key);
            dbus_message_iter_next(&entry);
            dbus_message_iter_recurse(&entry, &variant);
            if (dbus_message_iter_get_arg_type(&variant) == DBUS_TYPE_UINT32) {
                dbus_uint32_t value = 0;
                dbus_message_iter_get_basic(&variant, &value);
                if (g_strcmp0(key, "UnixUserID") == 0)
                    uid = value;
                else if (g_strcmp0(key, "ProcessID") == 0)
                    pid = value;
            }
            dbus_message_iter_next(&dict);
        }
    }
    if (!uid)
        return std::nullopt;
    return korvex::Caller{static_cast<uid_t>(*uid), static_cast<pid_t>(pid)};
}

void admit_and_check(Arrival arrival, const std::string &sender, const korvex::Caller &caller);

void on_credentials(DBusPendingCall *pending, void *data) {
    const std::string &sender = *static_cast<std::string *>(data);
    DBusMessage *reply = pending != nullptr ? dbus_pending_call_steal_reply(pending) : nullptr;
    const std::optional<korvex::Caller> caller = read_credentials(reply);
    if (reply != nullptr)
        dbus_message_unref(reply);
    for (Arrival &arrival : requests().credentials_arrived(sender, caller)) {
        if (caller) {
            admit_and_check(std::move(arrival), sender, *caller);
            continue;
        }
        // The bus no longer knows the sender: it has left.
        GError *none = nullptr;
        korvex_reply_refusal(arrival.context, &none);
    }
}

bool Requests::park(const std::string &sender, Arrival arrival, DBusConnection *bus) {
    auto [found, first] = lookups_.try_emplace(sender);
    std::vector<Arrival> &waiting = found->second;
    if (waiting.size() >= kMaxParked)
        return false;
    waiting.push_back(std::move(arrival));
    if (!first)
        return true;

    // GetConnectionCredentials of the bus daemon, which knows the peer's
    // credentials from its socket; once per connection of a caller.
    DBusMessage *call = dbus_message_new_method_call(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS,
                                                     DBUS_INTERFACE_DBUS, "GetConnectionCredentials");
    DBusPendingCall *pending = nullptr;
    const char *name = sender.c_str();
    const bool sent = call != nullptr &&
                      dbus_message_append_args(call, DBUS_TYPE_STRING, &name, DBUS_TYPE_INVALID) &&
                      dbus_connection_send_with_reply(bus, call, &pending, kCredentialsTimeoutMs) &&
                      pending != nullptr;
    if (call != nullptr)
        dbus_message_unref(call);
    if (!sent) {
        // Answered as a caller the bus cannot vouch for.
        on_credentials(nullptr, const_cast<std::string *>(&sender));
        return true;
    }
    dbus_pending_call_set_notify(
        pending, on_credentials, new std::string(sender),
        [](void *data) { delete static_cast<std::string *>(data); });
    dbus_pending_call_unref(pending);
    return true;
}

std::string refusal_text(const std::string &what, const std::string &action,
                         const korvex::Caller *caller) {
    std::string line = what + korvex::printable(action, kActionShown);
    if (caller != nullptr)
        line +=
            " (uid " + std::to_string(caller->uid) + ", pid " + std::to_string(caller->pid) + ")";
    return line;
}

gboolean on_check_timeout(gpointer data) {
    auto *check = static_cast<Check *>(data);
    check->timeout_source = 0;
    check->timed_out = true;
    g_cancellable_cancel(check->cancellable.get());
    return G_SOURCE_REMOVE;
}

void on_checked(GObject *source, GAsyncResult *result, gpointer data) {
    std::unique_ptr<Check> check(static_cast<Check *>(data));
    requests().ended(check.get());
    if (check->timeout_source != 0)
        g_source_remove(check->timeout_source);

    GError *raw_error = nullptr;
    ObjectPtr<PolkitAuthorizationResult> answer(
        polkit_authority_check_authorization_finish(POLKIT_AUTHORITY(source), result, &raw_error));
    ErrorPtr error(raw_error);
    const korvex::Caller &caller = check->request.caller();

    if (check->timed_out) {
        korvex::detail::log_refusal("Authorization check timed out for action ", check->action,
                                    &caller);
        std::move(check->request)
            .reply_failure(KX_RES_NOT_AUTHORIZED, "the authorization check timed out");
        return;
    }
    if (error) {
        // A caller that left has nobody to read this; the reply only ends
        // the request.
        korvex::detail::log_refusal("Error in checking authorization: " +
                                        korvex::printable(error->message, kActionShown) +
                                        " for action ",
                                    check->action, &caller);
        ErrorPtr refusal(korvex::detail::refusal_error(error->message));
        std::move(check->request).reply_error(refusal.get());
        return;
    }
    if (answer && polkit_authorization_result_get_is_authorized(answer.get())) {
        check->work(std::move(check->request));
        return;
    }
    korvex::detail::log_refusal("Caller is not authorized for action ", check->action, &caller);
    ErrorPtr refusal(korvex::detail::refusal_error());
    std::move(check->request).reply_error(refusal.get());
}

void admit_and_check(Arrival arrival, const std::string &sender, const korvex::Caller &caller) {
    if (!requests().admit(caller.uid)) {
        ErrorPtr error(g_error_new(DBUS_GERROR, DBUS_GERROR_LIMITS_EXCEEDED,
                                   "Too many requests of uid %u in progress; try again later",
                                   static_cast<unsigned>(caller.uid)));
        dbus_g_method_return_error(arrival.context, error.get());
        return;
    }
    korvex::Request request = korvex::detail::Admission::make(arrival.context, sender, caller);

    GError *raw_error = nullptr;
    ObjectPtr<PolkitAuthority> authority(korvex::detail::process_authority(&raw_error));
    ErrorPtr authority_error(raw_error);
    if (!authority) {
        g_printerr("Error in obtaining authority\n");
        std::move(request).reply_failure(KX_RES_NOT_AUTHORIZED,
                                         "authorization could not be checked");
        return;
    }

    auto check = std::make_unique<Check>(Check{std::move(request), std::move(arrival.action),
                                               std::move(arrival.work)});
    ObjectPtr<PolkitSubject> subject(polkit_system_bus_name_new(sender.c_str()));
    Check *raw = check.release();
    requests().started(raw);
    raw->timeout_source = g_timeout_add_seconds(check_timeout_s(), on_check_timeout, raw);
    polkit_authority_check_authorization(authority.get(), subject.get(), raw->action.c_str(),
                                         nullptr,
                                         POLKIT_CHECK_AUTHORIZATION_FLAGS_ALLOW_USER_INTERACTION,
                                         raw->cancellable.get(), on_checked, raw);
}

} // namespace

namespace korvex::detail {

bool on_main_loop() { return g_main_context_is_owner(g_main_context_default()) != FALSE; }

void log_refusal(const std::string &what, const std::string &action, const Caller *caller) {
    requests().refusals.line(refusal_text(what, action, caller));
}

GError *refusal_error(const char *message) {
    return g_error_new(korvex_error_quark(), KX_RES_NOT_AUTHORIZED, "%s",
                       message != nullptr ? message : kx_result_to_str(KX_RES_NOT_AUTHORIZED));
}

void send_error(DBusGMethodInvocation *context, const GError *error) {
    // Error texts can carry what a caller sent (an action id) or a tool said.
    ErrorPtr copy(g_error_new_literal(error->domain, error->code,
                                      korvex::bus_text(error->message).c_str()));
    dbus_g_method_return_error(context, copy.get());
}

void caller_left(const char *unique_name) {
    const std::string name = unique_name;
    for (Arrival &arrival : requests().left(name)) {
        // Nobody reads these; the replies only free the invocations.
        GError *none = nullptr;
        korvex_reply_refusal(arrival.context, &none);
    }
    // Lane waiters first: dropping a queued run releases its lane, which
    // would start the departed caller's next run of that key.
    drop_lane_waiters(name);
    drop_queued_work(name);
}

} // namespace korvex::detail

namespace korvex {

Request::Request(std::unique_ptr<detail::Admission> admission) : admission_(std::move(admission)) {}
Request::Request() = default;
Request::Request(Request &&other) noexcept = default;
Request &Request::operator=(Request &&other) noexcept {
    if (this != &other) {
        Request dropped(std::move(*this));
        admission_ = std::move(other.admission_);
    }
    return *this;
}

Request::~Request() {
    if (admission_)
        std::move(*this).reply_failure(KX_RES_FAILED, "the request could not be completed");
}

const Caller &Request::caller() const { return admission_->caller; }
const std::string &Request::sender() const { return admission_->sender; }

// The slot goes with the admission, before the reply leaves.
DBusGMethodInvocation *Request::take_context() {
    assert(admission_ && detail::on_main_loop());
    DBusGMethodInvocation *context = admission_->context;
    admission_.reset();
    return context;
}

std::string bus_text(std::string_view text) {
    if (g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr))
        return std::string(text);
    GCharPtr valid(g_utf8_make_valid(text.data(), static_cast<gssize>(text.size())));
    return valid.get();
}

void authorize(const char *action, DBusGMethodInvocation *context, Work work) {
    if (context == nullptr) {
        g_printerr("Context is not set!\n");
        return;
    }
    GCharPtr raw_sender(dbus_g_method_get_sender(context));
    const std::string sender = raw_sender ? raw_sender.get() : "";
    Arrival arrival{action, context, std::move(work)};
    if (const Caller *caller = requests().known(sender)) {
        admit_and_check(std::move(arrival), sender, *caller);
        return;
    }
    DBusConnection *bus =
        dbus_g_connection_get_connection(dbus_g_method_invocation_get_g_connection(context));
    if (!requests().park(sender, std::move(arrival), bus)) {
        ErrorPtr error(g_error_new(DBUS_GERROR, DBUS_GERROR_LIMITS_EXCEEDED,
                                   "Too many requests of %s in progress; try again later",
                                   sender.c_str()));
        dbus_g_method_return_error(context, error.get());
    }
}

void refuse_argument(DBusGMethodInvocation *context, int code, std::string_view reason) {
    std::string message = kx_result_to_str(code);
    if (!reason.empty())
        message.append(": ").append(reason);
    ErrorPtr error(g_error_new_literal(korvex_error_quark(), code, message.c_str()));
    detail::send_error(context, error.get());
}

void Request::reply_text(std::string_view text) && {
    dbus_g_method_return(take_context(), bus_text(text).c_str());
}

void Request::reply_texts(const char *const *texts) && {
    std::vector<std::string> valid;
    for (const char *const *text = texts; text != nullptr && *text != nullptr; ++text)
        valid.push_back(bus_text(*text));
    std::vector<char *> pointers;
    for (std::string &text : valid)
        pointers.push_back(text.data());
    pointers.push_back(nullptr);
    dbus_g_method_return(take_context(), pointers.data());
}

void Request::reply_uint(guint32 value) && { dbus_g_method_return(take_context(), value); }

void Request::reply_flag_and_text(bool flag, std::string_view text) && {
    dbus_g_method_return(take_context(), flag ? TRUE : FALSE, bus_text(text).c_str());
}

void Request::reply_value(const GValue *value) && {
    DBusGMethodInvocation *context = take_context();
    if (G_VALUE_HOLDS_STRING(value)) {
        ScopedValue valid(G_TYPE_STRING);
        const char *text = g_value_get_string(value);
        g_value_set_string(valid.get(), bus_text(text != nullptr ? text : "").c_str());
        dbus_g_method_return(context, valid.get());
        return;
    }
    dbus_g_method_return(context, value);
}

void Request::reply_structs(GPtrArray *structs) && {
    dbus_g_method_return(take_context(), structs);
}

void Request::reply_empty() && { dbus_g_method_return(take_context()); }

void Request::reply_error(const GError *error) && { detail::send_error(take_context(), error); }

void Request::reply_failure(int code, std::string_view reason) && {
    refuse_argument(take_context(), code, reason);
}

} // namespace korvex
