// Owners for the GLib, dbus-glib and PolicyKit handles of the framework.
#ifndef KORVEX_GLIB_HANDLES_H
#define KORVEX_GLIB_HANDLES_H

#include <memory>

#include <dbus/dbus-glib.h>
#include <glib-object.h>

namespace korvex {

struct GErrorDeleter {
    void operator()(GError *e) const { g_error_free(e); }
};
using ErrorPtr = std::unique_ptr<GError, GErrorDeleter>;

struct GFreeDeleter {
    void operator()(void *p) const { g_free(p); }
};
using GCharPtr = std::unique_ptr<char, GFreeDeleter>;

struct GObjectDeleter {
    void operator()(gpointer o) const { g_object_unref(o); }
};
template <typename T>
using ObjectPtr = std::unique_ptr<T, GObjectDeleter>;

struct MainLoopDeleter {
    void operator()(GMainLoop *l) const { g_main_loop_unref(l); }
};
using MainLoopPtr = std::unique_ptr<GMainLoop, MainLoopDeleter>;

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
