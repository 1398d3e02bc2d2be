// What the bus server and the authorization code share about requests.
#pragma once

#include <dbus/dbus.h>
#include <polkit/polkit.h>

namespace korvex::detail {

// The PolicyKit authority held for the life of the process: a new
// reference, or null with *error set while none can be had.
PolkitAuthority *process_authority(GError **error);

// A bus name went away: its callers' pending checks are cancelled and what
// was known of it is dropped.
void caller_left(const char *unique_name);

} // namespace korvex::detail
