// The road of every request through an agent: the caller's authorization,
// the work, and exactly one reply. C++ only; the agents' handlers use it.
#pragma once

#include <functional>
#include <optional>
#include <string>

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

// What a request does once its caller is authorized. It runs on the main
// loop and ends with exactly one of the replies below.
using Work = std::function<void(DBusGMethodInvocation *context)>;

// The one gate of every method and property request. Returns at once: the
// PolicyKit check runs on the main loop while other requests are served,
// and `work` runs when polkitd says yes. A refusal, a failed check, a check
// that is not answered in time and a user with too many requests already in
// progress are answered here, and `work` never runs.
KX_EXPORT void authorize(const char *action, DBusGMethodInvocation *context, Work work);

// The caller of a request that went through authorize() and has not been
// answered yet.
KX_EXPORT std::optional<Caller> caller_of(DBusGMethodInvocation *context);

// Replies. Each one ends the request, and every string on the bus is valid
// UTF-8: bytes that are not are sent as U+FFFD.
KX_EXPORT void reply_text(DBusGMethodInvocation *context, const char *text);
KX_EXPORT void reply_texts(DBusGMethodInvocation *context, const char *const *texts);
KX_EXPORT void reply_uint(DBusGMethodInvocation *context, guint32 value);
KX_EXPORT void reply_flag_and_text(DBusGMethodInvocation *context, bool flag, const char *text);
KX_EXPORT void reply_value(DBusGMethodInvocation *context, const GValue *value);
KX_EXPORT void reply_empty(DBusGMethodInvocation *context);
KX_EXPORT void reply_error(DBusGMethodInvocation *context, const GError *error);

// `text` as it may travel on the bus.
KX_EXPORT std::string bus_text(const char *text);

} // namespace korvex
