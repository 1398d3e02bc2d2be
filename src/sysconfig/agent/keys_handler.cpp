// org.vaduderuvoziz.Sysconfig.Keys: which keys this host has a status for,
// with each one's outcome and when it was written.
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <dbus/dbus-glib.h>
#include <gio/gio.h>

#include <korvex/kcommon.h>
#include <korvex/kcommon_dbus.h>
#include <korvex/requests.h>

#include "sysconfig_handlers.h"
#include "sysconfig_internal.h"

using korvex::sysconfig::KeyEntry;

namespace {

// dbus-glib sends an exported interface's signals from the GObject
// signals of the same name, and introspecting a declared signal that has
// none brings the agent down: the one the interface declares is made on
// the agent's class before the object is put on the bus (the program's
// own initialisation comes before main).
const guint key_changed_signal =
    g_signal_new("key-changed", korvex_get_type(), G_SIGNAL_RUN_LAST, 0, nullptr, nullptr, nullptr,
                 G_TYPE_NONE, 3, G_TYPE_STRING, G_TYPE_STRING, G_TYPE_INT64);

struct Listing {
    uint32_t rc = KX_RES_OK;
    std::vector<KeyEntry> entries;
    std::string reason;
    DBusGMethodInvocation *context = nullptr;
};

// a(ssx) as dbus-glib marshals it: an array of (key, outcome, when) structs.
GType entry_type() {
    return dbus_g_type_get_struct("GValueArray", G_TYPE_STRING, G_TYPE_STRING, G_TYPE_INT64,
                                  G_TYPE_INVALID);
}

void reply_entries(DBusGMethodInvocation *context, const std::vector<KeyEntry> &entries) {
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
    // The request API has no reply of this shape yet; dbus-glib sends it.
    dbus_g_method_return(context, array.get());
}

// Reading every status file of a large keys folder takes a while: it
// happens on a worker thread, and the reply goes out from the main loop.
void list_off_thread(DBusGMethodInvocation *context) {
    auto *listing = new Listing{};
    listing->context = context;
    GTask *task = g_task_new(
        nullptr, nullptr,
        [](GObject *, GAsyncResult *, gpointer data) {
            std::unique_ptr<Listing> done(static_cast<Listing *>(data));
            if (done->rc == KX_RES_OK) {
                reply_entries(done->context, done->entries);
                return;
            }
            const std::string message =
                std::string{kx_result_to_str(static_cast<int>(done->rc))} + ": " + done->reason;
            std::unique_ptr<GError, decltype(&g_error_free)> error(
                g_error_new_literal(korvex_error_quark(), static_cast<int>(done->rc),
                                    message.c_str()),
                g_error_free);
            korvex::reply_error(done->context, error.get());
        },
        listing);
    g_task_set_task_data(task, listing, nullptr);
    g_task_run_in_thread(task, [](GTask *running, gpointer, gpointer data, GCancellable *) {
        auto *work = static_cast<Listing *>(data);
        work->rc = korvex::sysconfig::list_keys(work->entries, &work->reason);
        g_task_return_boolean(running, TRUE);
    });
    g_object_unref(task);
}

} // namespace

extern "C" gboolean SysconfigKeys_list(Korvex *, DBusGMethodInvocation *context) {
    korvex::authorize("org.vaduderuvoziz.Sysconfig.Keys.list", context, list_off_thread);
    return TRUE;
}
