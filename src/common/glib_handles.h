// Owners for the dbus-glib handles of the framework; the GLib ones are in
// korvex/owners.h.
#ifndef KORVEX_GLIB_HANDLES_H
#define KORVEX_GLIB_HANDLES_H

#include <memory>

#include <dbus/dbus-glib.h>
#include <glib-object.h>

#include <korvex/owners.h>

namespace korvex {

struct ConnectionDeleter {
    void operator()(DBusGConnection *c) const { dbus_g_connection_unref(c); }
};
using ConnectionPtr = std::unique_ptr<DBusGConnection, ConnectionDeleter>;

// A GValue that is unset when it goes out of scope.
class ScopedValue {
public:
    explicit ScopedValue(GType type) { g_value_init(&value_, type); }
    ~ScopedValue() { g_value_unset(&value_); }
    ScopedValue(const ScopedValue &) = delete;
    ScopedValue &operator=(const ScopedValue &) = delete;
    GValue *get() { return &value_; }

private:
    GValue value_ = G_VALUE_INIT;
};

} // namespace korvex

#endif
