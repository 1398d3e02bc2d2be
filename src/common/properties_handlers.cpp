// org.freedesktop.DBus.Properties Get and Set of the agent object. The
// action id of a property request is formed from the caller's interface
// argument, so PolicyKit decides per interface and property.
#include <cstring>
#include <memory>
#include <string>

#include <korvex/kcommon.h>
#include <korvex/kcommon_dbus.h>
#include <korvex/requests.h>

#include "glib_handles.h"

using korvex::ScopedValue;

namespace {

// Longer interface or property names name nothing (the bus limits names
// to 255 bytes) and are not worth a PolicyKit round trip or a log line.
constexpr size_t kLongestName = 255;

bool names_fit(const char *interface, const char *property) {
    return (interface == nullptr || strlen(interface) <= kLongestName) &&
           (property == nullptr || strlen(property) <= kLongestName);
}

std::string property_action(const char *interface, const char *property) {
    std::string action(interface != nullptr ? interface : "");
    action += '.';
    action += property != nullptr ? property : "";
    return action;
}

} // namespace

extern "C" {

gboolean korvex_get(Korvex *object, const char *interface, const char *property,
                    DBusGMethodInvocation *context) {
    if (!names_fit(interface, property)) {
        korvex_reply_result_error(context, KX_RES_BAD_ARGUMENT);
        return FALSE;
    }
    std::string name(property != nullptr ? property : "");
    korvex::authorize(property_action(interface, property).c_str(), context,
                      [object, name](korvex::Request request) {
                          GParamSpec *spec = g_object_class_find_property(
                              G_OBJECT_GET_CLASS(object), name.c_str());
                          if (spec == nullptr) {
                              std::move(request).reply_failure(KX_RES_BAD_ARGUMENT);
                              return;
                          }
                          ScopedValue value(G_PARAM_SPEC_VALUE_TYPE(spec));
                          g_object_get_property(G_OBJECT(object), name.c_str(), value.get());
                          std::move(request).reply_value(value.get());
                      });
    return TRUE;
}

gboolean korvex_set(Korvex *object, const char *interface, const char *property,
                    const GValue *value, DBusGMethodInvocation *context) {
    if (!names_fit(interface, property)) {
        korvex_reply_result_error(context, KX_RES_BAD_ARGUMENT);
        return FALSE;
    }
    std::string name(property != nullptr ? property : "");
    // The value lives in the message being dispatched; the check outlasts it.
    auto copy = std::make_shared<ScopedValue>(G_VALUE_TYPE(value));
    g_value_copy(value, copy->get());
    korvex::authorize(property_action(interface, property).c_str(), context,
                      [object, name, copy](korvex::Request request) {
                          // Unknown or read-only names are reported by GObject's own
                          // warnings and by the agent's setter; the caller still gets
                          // the empty reply.
                          g_object_set_property(G_OBJECT(object), name.c_str(), copy->get());
                          std::move(request).reply_empty();
                      });
    return TRUE;
}

} // extern "C"
