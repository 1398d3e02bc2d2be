// Owners for the GLib and GIO handles korvexctl holds.
#ifndef KORVEXCTL_GIO_HANDLES_H
#define KORVEXCTL_GIO_HANDLES_H

#include <memory>

#include <gio/gio.h>

namespace korvexctl {

struct ErrorDeleter {
    void operator()(GError *e) const { g_error_free(e); }
};
using ErrorPtr = std::unique_ptr<GError, ErrorDeleter>;

struct VariantDeleter {
    void operator()(GVariant *v) const { g_variant_unref(v); }
};
using VariantPtr = std::unique_ptr<GVariant, VariantDeleter>;

struct ObjectDeleter {
    void operator()(gpointer o) const { g_object_unref(o); }
};
template <typename T>
using ObjectPtr = std::unique_ptr<T, ObjectDeleter>;

struct GFreeDeleter {
    void operator()(gpointer p) const { g_free(p); }
};
using GCharPtr = std::unique_ptr<char, GFreeDeleter>;

struct MainLoopDeleter {
    void operator()(GMainLoop *l) const { g_main_loop_unref(l); }
};
using MainLoopPtr = std::unique_ptr<GMainLoop, MainLoopDeleter>;

} // namespace korvexctl

#endif
