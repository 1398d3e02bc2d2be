// Method handlers of the configuration agent, referenced by its object info.
#ifndef KORVEX_SYSCONFIG_HANDLERS_H
#define KORVEX_SYSCONFIG_HANDLERS_H

#include <stdint.h>

#include <korvex/kcommon_dbus.h>

#ifdef __cplusplus
extern "C" {
#endif

gboolean Sysconfig_run_uri(Korvex *object, const char *uri, guint flags, const char *scheme,
                           const char *key, DBusGMethodInvocation *context);
gboolean Sysconfig_run_string(Korvex *object, const char *text, guint flags, const char *scheme,
                              const char *key, DBusGMethodInvocation *context);
gboolean Sysconfig_query(Korvex *object, const char *text, guint flags, const char *scheme,
                         DBusGMethodInvocation *context);
gboolean Sysconfig_is_configured(Korvex *object, const char *key, DBusGMethodInvocation *context);
gboolean SysconfigPreview_preview_string(Korvex *object, const char *text, const char *scheme,
                                         DBusGMethodInvocation *context);
gboolean SysconfigPreview_preview_uri(Korvex *object, const char *uri, const char *scheme,
                                      DBusGMethodInvocation *context);
gboolean SysconfigKeys_list(Korvex *object, DBusGMethodInvocation *context);
/* The completion of a run; user_data is the run's pending call. */
void result_cb(void *user_data, int32_t rc);

#ifdef __cplusplus
}
#endif

#endif
