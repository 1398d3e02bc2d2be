// Every request of an agent between its arrival and its reply: who sent
// it, how many of that user's requests are in progress, the asynchronous
// PolicyKit check, and the reply that ends it.
//
// The agent has one thread. A check that polkitd holds open (an
// authentication agent that never answers, a slow polkitd) must not hold
// up anybody else's request, so checks are asynchronous; and one user must
// not be able to queue unbounded work, so each user (root excepted) has at
// most kMaxInFlight requests in progress at once.
#include <dbus/dbus-glib-lowlevel.h>
#include <dbus/dbus-glib.h>
#include <polkit/polkit.h>

#include <cstdlib>
#include <map>
#include <memory>
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
constexpr guint kDefaultCheckTimeoutS = 120;
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

// Refusals are worth a line each until a caller sends thousands of them;
// then a count every window says how many were left out.
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

// A request that passed its arrival checks and waits for its reply.
struct InFlight {
    korvex::Caller caller;
};

// A PolicyKit check in progress. Owned by the completion callback, which
// always runs, cancelled or not.
struct Check {
    DBusGMethodInvocation *context;
    std::string action;
    std::string sender;
    korvex::Work work;
    ObjectPtr<GCancellable> cancellable{g_cancellable_new()};
    guint timeout_source = 0;
    bool timed_out = false;
};

class Requests {
public:
    std::optional<korvex::Caller> caller(DBusGMethodInvocation *context, const char *sender) {
        if (auto known = callers_.find(sender); known != callers_.end())
            return known->second;
        std::optional<korvex::Caller> found = ask_bus(context, sender);
        if (found)
            callers_.emplace(sender, *found);
        return found;
    }

    bool admit(DBusGMethodInvocation *context, const korvex::Caller &caller) {
        if (caller.uid != 0) {
            unsigned &count = per_uid_[caller.uid];
            if (count >= kMaxInFlight)
                return false;
            ++count;
        }
        in_flight_[context] = InFlight{caller};
        return true;
    }

    void finish(DBusGMethodInvocation *context) {
        auto found = in_flight_.find(context);
        if (found == in_flight_.end())
            return;
        const uid_t uid = found->second.caller.uid;
        in_flight_.erase(found);
        if (auto count = per_uid_.find(uid); count != per_uid_.end() && --count->second == 0)
            per_uid_.erase(count);
    }

    std::optional<korvex::Caller> in_flight(DBusGMethodInvocation *context) const {
        auto found = in_flight_.find(context);
        if (found == in_flight_.end())
            return std::nullopt;
        return found->second.caller;
    }

    void started(Check *check) { checks_.insert(check); }
    void ended(Check *check) { checks_.erase(check); }

    void left(const char *name) {
        callers_.erase(name);
        for (Check *check : checks_) {
            if (check->sender == name)
                g_cancellable_cancel(check->cancellable.get());
        }
    }

    RefusalLog refusals;

private:
    // GetConnectionCredentials of the bus daemon, which knows the peer's
    // credentials from its socket. A round trip to the bus only, once per
    // connection of a caller.
    static std::optional<korvex::Caller> ask_bus(DBusGMethodInvocation *context,
                                                 const char *sender) {
        DBusConnection *bus =
            dbus_g_connection_get_connection(dbus_g_method_invocation_get_g_connection(context));
        DBusMessage *call = dbus_message_new_method_call(
            DBUS_SERVICE_DBUS, DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS, "GetConnectionCredentials");
        if (call == nullptr)
            return std::nullopt;
        dbus_message_append_args(call, DBUS_TYPE_STRING, &sender, DBUS_TYPE_INVALID);
        DBusMessage *reply = dbus_connection_send_with_reply_and_block(bus, call, 25000, nullptr);
        dbus_message_unref(call);
        if (reply == nullptr)
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
        dbus_message_unref(reply);
        if (!uid)
            return std::nullopt;
        return korvex::Caller{static_cast<uid_t>(*uid), static_cast<pid_t>(pid)};
    }

    std::unordered_map<std::string, korvex::Caller> callers_;
    std::unordered_map<DBusGMethodInvocation *, InFlight> in_flight_;
    std::map<uid_t, unsigned> per_uid_;
    std::set<Check *> checks_;
};

Requests &requests() {
    // Never destroyed: agents end by signal.
    static Requests *const state = new Requests;
    return *state;
}

std::string refusal_line(const std::string &what, const std::string &action,
                         DBusGMethodInvocation *context) {
    std::string line = what + korvex::printable(action, kActionShown);
    if (std::optional<korvex::Caller> caller = requests().in_flight(context))
        line +=
            " (uid " + std::to_string(caller->uid) + ", pid " + std::to_string(caller->pid) + ")";
    return line;
}

void refuse(DBusGMethodInvocation *context, const char *format, const char *detail) {
    ErrorPtr error(g_error_new(korvex_error_quark(), KX_RES_NOT_AUTHORIZED, format, detail));
    korvex::reply_error(context, error.get());
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

    if (check->timed_out) {
        requests().refusals.line(refusal_line("Authorization check timed out for action ",
                                              check->action, check->context));
        refuse(check->context, "%s: the authorization check timed out",
               kx_result_to_str(KX_RES_NOT_AUTHORIZED));
        return;
    }
    if (error) {
        // A caller that left has nobody to read this; the reply only ends
        // the request.
        requests().refusals.line(refusal_line(
            "Error in checking authorization: " + korvex::printable(error->message, kActionShown) +
                " for action ",
            check->action, check->context));
        refuse(check->context, "%s", error->message);
        return;
    }
    if (answer && polkit_authorization_result_get_is_authorized(answer.get())) {
        check->work(check->context);
        return;
    }
    requests().refusals.line(
        refusal_line("Caller is not authorized for action ", check->action, check->context));
    refuse(check->context, "%s", kx_result_to_str(KX_RES_NOT_AUTHORIZED));
}

void send_error(DBusGMethodInvocation *context, const GError *error) {
    // Error texts can carry what a caller sent (an action id) or a tool said.
    ErrorPtr copy(
        g_error_new_literal(error->domain, error->code, korvex::bus_text(error->message).c_str()));
    dbus_g_method_return_error(context, copy.get());
}

} // namespace

namespace korvex {

void detail::caller_left(const char *unique_name) { requests().left(unique_name); }

std::string bus_text(const char *text) {
    if (text == nullptr)
        return {};
    if (g_utf8_validate(text, -1, nullptr))
        return text;
    GCharPtr valid(g_utf8_make_valid(text, -1));
    return valid.get();
}

void authorize(const char *action, DBusGMethodInvocation *context, Work work) {
    if (context == nullptr) {
        g_printerr("Context is not set!\n");
        return;
    }
    GCharPtr sender(dbus_g_method_get_sender(context));
    std::optional<Caller> caller = requests().caller(context, sender.get());
    if (!caller) {
        // The bus no longer knows the sender: it has left.
        GError *none = nullptr;
        korvex_reply_refusal(context, &none);
        return;
    }
    if (!requests().admit(context, *caller)) {
        ErrorPtr error(g_error_new(DBUS_GERROR, DBUS_GERROR_LIMITS_EXCEEDED,
                                   "Too many requests of uid %u in progress; try again later",
                                   static_cast<unsigned>(caller->uid)));
        dbus_g_method_return_error(context, error.get());
        return;
    }

    GError *raw_error = nullptr;
    ObjectPtr<PolkitAuthority> authority(detail::process_authority(&raw_error));
    ErrorPtr authority_error(raw_error);
    if (!authority) {
        g_printerr("Error in obtaining authority\n");
        GError *none = nullptr;
        korvex_reply_refusal(context, &none);
        return;
    }

    auto check = std::make_unique<Check>();
    check->context = context;
    check->action = action;
    check->sender = sender.get();
    check->work = std::move(work);
    ObjectPtr<PolkitSubject> subject(polkit_system_bus_name_new(sender.get()));
    Check *raw = check.release();
    requests().started(raw);
    raw->timeout_source = g_timeout_add_seconds(check_timeout_s(), on_check_timeout, raw);
    polkit_authority_check_authorization(authority.get(), subject.get(), action, nullptr,
                                         POLKIT_CHECK_AUTHORIZATION_FLAGS_ALLOW_USER_INTERACTION,
                                         raw->cancellable.get(), on_checked, raw);
}

std::optional<Caller> caller_of(DBusGMethodInvocation *context) {
    return requests().in_flight(context);
}

void reply_text(DBusGMethodInvocation *context, const char *text) {
    requests().finish(context);
    dbus_g_method_return(context, bus_text(text).c_str());
}

void reply_texts(DBusGMethodInvocation *context, const char *const *texts) {
    std::vector<std::string> valid;
    for (const char *const *text = texts; text != nullptr && *text != nullptr; ++text)
        valid.push_back(bus_text(*text));
    std::vector<char *> pointers;
    for (std::string &text : valid)
        pointers.push_back(text.data());
    pointers.push_back(nullptr);
    requests().finish(context);
    dbus_g_method_return(context, pointers.data());
}

void reply_uint(DBusGMethodInvocation *context, guint32 value) {
    requests().finish(context);
    dbus_g_method_return(context, value);
}

void reply_flag_and_text(DBusGMethodInvocation *context, bool flag, const char *text) {
    requests().finish(context);
    dbus_g_method_return(context, flag ? TRUE : FALSE, bus_text(text).c_str());
}

void reply_value(DBusGMethodInvocation *context, const GValue *value) {
    requests().finish(context);
    if (G_VALUE_HOLDS_STRING(value)) {
        ScopedValue valid(G_TYPE_STRING);
        g_value_set_string(valid.get(), bus_text(g_value_get_string(value)).c_str());
        dbus_g_method_return(context, valid.get());
        return;
    }
    dbus_g_method_return(context, value);
}

void reply_empty(DBusGMethodInvocation *context) {
    requests().finish(context);
    dbus_g_method_return(context);
}

void reply_error(DBusGMethodInvocation *context, const GError *error) {
    requests().finish(context);
    send_error(context, error);
}

} // namespace korvex
