// Method handlers of the framework's test agent.
#pragma once

#include <korvex/kcommon_dbus.h>

G_BEGIN_DECLS

gboolean TestAgent_echo(Korvex *object, const char *text, DBusGMethodInvocation *context);
gboolean TestAgent_unchecked(Korvex *object, const char *text, DBusGMethodInvocation *context);

G_END_DECLS
