/* libkservice: asynchronous process actions watched from the GLib main loop. */
#ifndef KORVEX_KSERVICE_H
#define KORVEX_KSERVICE_H

#include <glib.h>
#include <korvex/export.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ServicesAction ServicesAction;
typedef void (*kx_services_done_fn)(ServicesAction *action);

struct ServicesAction {
    char *id;        /* owned by the action; the caller stores a heap text */
    int exit_status; /* valid in the completion function */
    void *cb_data;   /* the caller's; never read or freed by the library */

    /* Private to the library. */
    char *exec;
    char **argv;
    GPid pid;
    guint watch_id;
    kx_services_done_fn done;
    int output_fd;     /* -1: the caller's own standard output and error */
    char *start_error; /* why the last start failed */
};

/* A new, unstarted action running exec (looked up on PATH) with args
 * (NULL-terminated, without the program name; NULL means none).
 * NULL when exec is NULL or empty. */
KX_EXPORT ServicesAction *kx_services_action_create_generic(const char *exec,
                                                            const char *const *args);

/* Starts the action. TRUE: done runs exactly once on the main context
 * (see mainloop_track_children) after the process has exited, with
 * exit_status set (the exit code, or 128 + the signal number for a
 * killed process, so a killed child never reads as 0); the library frees
 * the action after done returns. FALSE: nothing started, done never runs,
 * the caller still owns the action. */
KX_EXPORT gboolean services_action_async(ServicesAction *action, kx_services_done_fn done);

/* Makes the process write its standard output and standard error to fd
 * (the caller's, which must stay open until the process is started)
 * instead of the caller's own. */
KX_EXPORT void kx_services_action_set_output(ServicesAction *action, int fd);

/* Why services_action_async last returned FALSE for this action: the
 * program and the system's error. NULL when it did not; owned by the
 * action. */
KX_EXPORT const char *kx_services_action_start_error(const ServicesAction *action);

/* Releases an action that was not started, with its id; not cb_data. */
KX_EXPORT void services_action_free(ServicesAction *action);

#ifdef __cplusplus
}
#endif

#endif
