// What the bus server, the authorization code, the requests and the work
// queue share about requests.
#pragma once

#include <string>

#include <dbus/dbus-glib.h>
#include <dbus/dbus.h>
#include <polkit/polkit.h>

#include <korvex/requests.h>

namespace korvex::detail {

// The PolicyKit authority held for the life of the process: a new
// reference, or null with *error set while none can be had.
PolkitAuthority *process_authority(GError **error);

// A bus name went away: its credentials lookups and PolicyKit checks are
// cancelled, its queued work and the requests it has waiting in lanes are
// dropped.
void caller_left(const char *unique_name);

// The queue's and the lanes' part of caller_left: takes out what the
// caller has waiting and hands it to `drop`, which destroys it on the main
// loop outside of every list.
void drop_queued_work(const std::string &sender);
void drop_lane_waiters(const std::string &sender);

// Why an authorization failed, as the log shows it: one line each until a
// caller sends thousands of them; then a count every ten seconds says how
// many were left out. `caller` may be null.
void log_refusal(const std::string &what, const std::string &action, const Caller *caller);

// The error of a refusal: code 5 with the fixed text, or `message` when
// PolicyKit said something itself.
GError *refusal_error(const char *message = nullptr);

// Sends `error` on a context no Request owns (yet).
void send_error(DBusGMethodInvocation *context, const GError *error);

// The main loop's context, where every request lives.
bool on_main_loop();

} // namespace korvex::detail
