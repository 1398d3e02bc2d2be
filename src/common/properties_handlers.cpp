// org.freedesktop.DBus.Properties Get and Set of the agent object. The
// action id of a property request is formed from the caller's interface
// argument, so PolicyKit decides per interface and property.
#include <string>

#include <korvex/kcommon.h>
#include <korvex/kcommon_dbus.h>

#include "glib_handles.h"

using korvex::ScopedValue;

namespace {

std::string property_action(const char *interface, const char *property)
{
    std::string action(interface != nullptr ? interface : "");
    action += '.';
    action += property != nullptr ? property : "";
    return action;
}

} // namespace

extern "C" {

gboolean korvex_get(Korvex *object, const char *interface, const char *property,
                    DBusGMethodInvocation *context)
{
    if (!korvex_authorize(property_action(interface, property).c_str(), context))
        return FALSE;

    GParamSpec *spec = g_object_class_find_property(G_OBJECT_GET_CLASS(object), property);
    if (spec == nullptr) {
        korvex_reply_result_error(context, KX_RES_BAD_ARGUMENT);
        return FALSE;
    }

    ScopedValue value(G_PARAM_SPEC_VALUE_TYPE(spec));
    g_object_get_property(G_OBJECT(object), property, value.get());
    dbus_g_method_return(context, value.get());
    return TRUE;
}

gboolean korvex_set(Korvex *object, const char *interface, const char *property,
                    const GValue *value, DBusGMethodInvocation *context)
{
    if (!korvex_authorize(property_action(interface, property).c_str(), context))
        return FALSE;

    // Unknown or read-only names are reported by GObject's own warnings and
    // by the agent's setter; the caller still gets the empty reply.
    g_object_set_property(G_OBJECT(object), property, value);
    dbus_g_method_return(context);
    return TRUE;
}

} // extern "C"
