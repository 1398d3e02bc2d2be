/* unique_ptr owners for the GLib handles the support libraries hold. */
#ifndef KORVEX_KX_GLIB_OWNERS_H
#define KORVEX_KX_GLIB_OWNERS_H

#include <glib.h>
#include <memory>

namespace kx {

struct GErrorFree {
    void operator()(GError *e) const noexcept { g_error_free(e); }
};
using ErrorPtr = std::unique_ptr<GError, GErrorFree>;

struct MainContextUnref {
    void operator()(GMainContext *c) const noexcept { g_main_context_unref(c); }
};
using MainContextPtr = std::unique_ptr<GMainContext, MainContextUnref>;

struct SourceUnref {
    void operator()(GSource *s) const noexcept { g_source_unref(s); }
};
using SourcePtr = std::unique_ptr<GSource, SourceUnref>;

} // namespace kx

#endif
