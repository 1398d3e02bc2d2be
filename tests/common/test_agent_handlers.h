// Method handlers of the framework's test agent.
#pragma once

#include <korvex/kcommon_dbus.h>

#ifdef __cplusplus
extern "C" {
#endif

gboolean TestAgent_echo(Korvex *object, const char *text, DBusGMethodInvocation *context);
gboolean TestAgent_unchecked(Korvex *object, const char *text, DBusGMethodInvocation *context);

#ifdef __cplusplus
}
#endif
