/* Shared between libkcommon and libkservice only; not installed. */
#ifndef KORVEX_KX_CHILD_TRACKING_H
#define KORVEX_KX_CHILD_TRACKING_H

#include <glib.h>

#include <korvex/export.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The main context chosen by mainloop_track_children, with a new
 * reference the caller drops; NULL while no context has been chosen. */
KX_EXPORT GMainContext *kx_child_tracking_context(void);

#ifdef __cplusplus
}
#endif

#endif
