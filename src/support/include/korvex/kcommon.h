/* libkcommon: logging, result texts, bounded copies, host identity,
 * transfer set-up, DNS SRV lookup and main-loop child tracking. */
#ifndef KORVEX_KCOMMON_H
#define KORVEX_KCOMMON_H

#include <stddef.h>
#include <stdint.h>
#include <korvex/export.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes produced by the system itself. */
enum {
    KX_RES_OK = 0,
    KX_RES_BAD_ARGUMENT = 2,
    KX_RES_DOWNLOAD_FAILED = 3,
    KX_RES_FAILED = 4,
    KX_RES_NOT_AUTHORIZED = 5,
    KX_RES_SYSTEM_ERROR = 6,
};

/* Log levels in syslog numbering; 8 is below LOG_DEBUG. */
#define KX_LOG_ERR 3
#define KX_LOG_WARNING 4
#define KX_LOG_INFO 6
#define KX_LOG_DEBUG 7
#define KX_LOG_TRACE 8

/* Threshold: kx_log_fn(N, ...) is only called while kx_log_level >= N.
 * Before kx_log_init it holds KX_LOG_INFO. */
extern KX_EXPORT int kx_log_level;

/* Flags for kx_log_init's third argument. */
#define KX_LOG_FLAG_STDERR 1 /* copy every line to stderr, terminal or not */

/* Writes one message: to syslog under the identity, and to stderr when
 * stderr is a terminal, when KX_LOG_FLAG_STDERR was given, or when the
 * environment variable KX_LOG_STDERR is set to a non-empty value other
 * than "0". A line feed is added when the text lacks one. */
KX_EXPORT void kx_log_fn(int level, const char *format, ...)
#ifdef __GNUC__
    __attribute__((format(printf, 2, 3)))
#endif
    ;

/* Sets the log identity (copied), the threshold and the flags above. */
KX_EXPORT void kx_log_init(const char *ident, int level, int flag);

/* Hook for programs and tests that want the formatted lines themselves.
 * While a handler is set it receives every written message (without the
 * trailing line feed) in addition to the normal destinations. NULL
 * removes it. */
typedef void (*kx_log_handler_fn)(int level, const char *message, void *user_data);
KX_EXPORT void kx_log_set_handler(kx_log_handler_fn handler, void *user_data);

/* Calls kx_log_fn only when the threshold lets the level through, so the
 * arguments of a suppressed message are never evaluated. */
#define kx_log(level, ...)                                                                         \
    do {                                                                                           \
        if (kx_log_level >= (level))                                                               \
            kx_log_fn((level), __VA_ARGS__);                                                       \
    } while (0)

/* A constant, non-null text for every int: the six codes have their own
 * wording, any other value (a process exit status, say) a generic one. */
KX_EXPORT const char *kx_result_to_str(int code);

/* Copies at most size-1 bytes of src into dst and always terminates
 * (size 0: dst is untouched). A NULL src copies the empty text. */
KX_EXPORT void kx_string_copy(char *dst, const char *src, size_t size);

/* Host identity, owned by the library, stable for the process. */
KX_EXPORT const char *kx_uuid(void);
KX_EXPORT const char *kx_hostname(void);

/* Global libcurl set-up, repeatable: 0 when libcurl is ready, else
 * KX_RES_SYSTEM_ERROR. */
KX_EXPORT int kx_curl_init(void);

/* Looks up the DNS SRV records of name and picks one: the lowest
 * priority, then the highest weight. 0 on success (host terminated,
 * *port set); non-zero when nothing usable was found (outputs untouched). */
KX_EXPORT int kx_dnssrv_lookup_single(const char *name, char *host, size_t host_size,
                                      uint16_t *port);

/* Makes the exits of children started through libkservice be noticed
 * on the main context of the calling thread. arg is reserved (pass 0). */
KX_EXPORT void mainloop_track_children(int arg);

#ifdef __cplusplus
}
#endif

#endif
