// org.vaduderuvoziz.Sysconfig.Keys: which keys this host has a status for,
// with each one's outcome and when it was written; and the signal that
// tells of each status written.
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <dbus/dbus-glib-lowlevel.h>
#include <dbus/dbus-glib.h>

#include <korvex/kcommon.h>
#include <korvex/kcommon_dbus.h>
#include <korvex/owners.h>
#include <korvex/requests.h>

#include "sysconfig_handlers.h"
#include "sysconfig_internal.h"
#include "sysconfig_signals.h"

using korvex::Request;
using korvex::sysconfig::KeyEntry;

namespace {

// dbus-glib ties every signal of the object info to a GObject signal of
// the same name when it registers the object, and introspecting a declared
// signal that has none brings the agent down. The signal goes out through
// libdbus (see announce_key), so the GObject one only has to exist before
// the object is put on the bus: the program's own initialisation comes
// before main.
const guint key_changed_signal =
    g_signal_new("key-changed", korvex_get_type(), G_SIGNAL_RUN_LAST, 0, nullptr, nullptr, nullptr,
                 G_TYPE_NONE, 3, G_TYPE_STRING, G_TYPE_STRING, G_TYPE_INT64);

struct Listing {
    uint32_t rc = KX_RES_OK;
    std::vector<KeyEntry> entries;
    std::string reason;
};

// a(ssx) as dbus-glib marshals it: an array of (key, outcome, when) structs.
GType entry_type() {
    return dbus_g_type_get_struct("GValueArray", G_TYPE_STRING, G_TYPE_STRING, G_TYPE_INT64,
                                  G_TYPE_INVALID);
}

void reply_entries(Request request, const std::vector<KeyEntry> &entries) {
    std::unique_ptr<GPtrArray, decltype(&g_ptr_array_unref)> array(
        g_ptr_array_new_with_free_func([](gpointer entry) { g_boxed_free(entry_type(), entry); }),
        g_ptr_array_unref);
    for (const KeyEntry &entry : entries) {
        GValue value = G_VALUE_INIT;
        g_value_init(&value, entry_type());
        g_value_take_boxed(&value, dbus_g_type_specialized_construct(entry_type()));
        // Keys are ASCII and outcomes escaped: both are valid on the bus.
        dbus_g_type_struct_set(&value, 0, entry.key.c_str(), 1, entry.outcome.c_str(), 2,
                               static_cast<gint64>(entry.when), G_MAXUINT);
        g_ptr_array_add(array.get(), g_value_dup_boxed(&value));
        g_value_unset(&value);
    }
    std::move(request).reply_structs(array.get());
}

} // namespace

void announce_key(const KeyEntry &entry) {
    GError *raw = nullptr;
    DBusGConnection *bus = dbus_g_bus_get(DBUS_BUS_SYSTEM, &raw);
    korvex::ErrorPtr error(raw);
    if (bus == nullptr)
        return;
    DBusMessage *signal = dbus_message_new_signal(
        "/org/vaduderuvoziz/Sysconfig", "org.vaduderuvoziz.Sysconfig.Keys", "key_changed");
    // Never the status text itself: it can hold what a tool read of secrets.
    const char *name = entry.key.c_str();
    const char *outcome = entry.outcome.c_str();
    const dbus_int64_t when = entry.when;
    if (signal != nullptr &&
        dbus_message_append_args(signal, DBUS_TYPE_STRING, &name, DBUS_TYPE_STRING, &outcome,
                                 DBUS_TYPE_INT64, &when, DBUS_TYPE_INVALID))
        dbus_connection_send(dbus_g_connection_get_connection(bus), signal, nullptr);
    if (signal != nullptr)
        dbus_message_unref(signal);
    dbus_g_connection_unref(bus);
}

extern "C" gboolean SysconfigKeys_list(Korvex *, DBusGMethodInvocation *context) {
    (void)key_changed_signal;
    korvex::authorize("org.vaduderuvoziz.Sysconfig.Keys.list", context, [](Request request) {
        // Reading every status file of a large keys folder takes a while.
        korvex::queue<Listing>(
            std::move(request), korvex::WorkKind::ordinary,
            [] {
                Listing listing;
                listing.rc = korvex::sysconfig::list_keys(listing.entries, &listing.reason);
                return listing;
            },
            [](Request request, Listing listing) {
                if (listing.rc != KX_RES_OK) {
                    std::move(request).reply_failure(static_cast<int>(listing.rc), listing.reason);
                    return;
                }
                reply_entries(std::move(request), listing.entries);
            });
    });
    return TRUE;
}
