/* libksysconfig: applies configuration documents (puppet manifests and
 * augeas command scripts) to the host and remembers, per configuration
 * key, whether and with what outcome a document was applied. */
#ifndef KORVEX_SYSCONFIG_H
#define KORVEX_SYSCONFIG_H

#include <stdint.h>

#include <korvex/export.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Run even when the key already has a status. Other bits are ignored. */
#define KX_SYSCONFIG_FLAG_FORCE 1u

/* Completion of a run request. Called exactly once when, and only when,
 * the run function returned 0: before it returns (skipped and augeas
 * runs) or later from the main loop (puppet runs, with the process's exit
 * status). The key's status text is already stored when it is called. */
typedef void (*kx_sysconfig_cb)(void *user_data, int32_t result);

/* Key store. Status texts returned are the caller's, released with free().
 * A status text longer than 1 MiB is returned cut to that size, its last
 * line saying how many bytes were dropped. */
KX_EXPORT char *kx_sysconfig_is_configured(const char *key);
KX_EXPORT uint32_t kx_sysconfig_set_configured(const char *key, const char *contents);
/* The directory text must end with a slash; the empty text restores the
 * default "/var/lib/korvex/sysconfig-keys/". */
KX_EXPORT void kx_sysconfig_keys_dir_set(const char *dir);

/* For the agent's start: removes the temporary files that an earlier
 * process of the agent left behind when it was killed during a run (its
 * documents and tool output in the working directory, the side files of
 * status writes in the keys directory). Only regular files of the
 * library's own name patterns are removed. Returns how many. */
KX_EXPORT unsigned int kx_sysconfig_remove_leftovers(void);

/* Run requests; scheme "puppet" or "augeas" in any case. */
KX_EXPORT uint32_t kx_sysconfig_run_uri(const char *uri, uint32_t flags, const char *scheme,
                                        const char *key, kx_sysconfig_cb callback, void *user_data);
KX_EXPORT uint32_t kx_sysconfig_run_string(const char *text, uint32_t flags, const char *scheme,
                                           const char *key, kx_sysconfig_cb callback,
                                           void *user_data);
/* One value of the augeas tree (scheme "augeas"), released with free();
 * NULL when the path matches no node, several nodes or a node without
 * value. A value longer than 1 MiB is cut like a status text. Flags are
 * ignored. */
KX_EXPORT char *kx_sysconfig_query(const char *text, uint32_t flags, const char *scheme);

/* Operating-system halves of the requests above; the run pair assumes
 * the key has been checked. */
KX_EXPORT uint32_t sysconfig_os_run_uri(const char *uri, uint32_t flags, const char *scheme,
                                        const char *key, kx_sysconfig_cb callback, void *user_data);
KX_EXPORT uint32_t sysconfig_os_run_string(const char *text, uint32_t flags, const char *scheme,
                                           const char *key, kx_sysconfig_cb callback,
                                           void *user_data);
KX_EXPORT char *sysconfig_os_query(const char *text, uint32_t flags, const char *scheme);

/* Previews: what applying the document would change, with nothing
 * changed and nothing recorded (keys play no part): the tool runs in a
 * sandbox where it can change nothing, and nothing of it outlives the
 * calling thread. They return when the tool has finished, after 10 minutes
 * at most (then 4, KORVEX_PREVIEW_TIMEOUT in seconds setting another
 * bound), so callers on a main loop run them elsewhere. 0 with
 * *changes set (1 when something would change) and *report set to the
 * tool's report; otherwise the failure's result code as a run would give
 * it, with *report set to what the tool said about it, or NULL. A report
 * is bounded like a status text and released with free(). */
KX_EXPORT uint32_t kx_sysconfig_preview_uri(const char *uri, const char *scheme, int *changes,
                                            char **report);
KX_EXPORT uint32_t kx_sysconfig_preview_string(const char *text, const char *scheme, int *changes,
                                               char **report);

#ifdef __cplusplus
}
#endif

#endif
