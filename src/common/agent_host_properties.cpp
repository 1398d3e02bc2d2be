// Property callbacks shared by the agent programs: every agent serves the
// host UUID (id 1) and host name (id 2) and stores nothing. Compiled into
// each agent program, which exports these symbols to the framework.
#include <korvex/kcommon.h>
#include <korvex/kcommon_dbus.h>

extern "C" {

void korvex_get_property(GObject *object, guint id, GValue *value, GParamSpec *pspec) {
    switch (id) {
    case 1:
        g_value_set_string(value, kx_uuid());
        break;
    case 2:
        g_value_set_string(value, kx_hostname());
        break;
    default:
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
        break;
    }
}

void korvex_set_property(GObject *object, guint id, const GValue *, GParamSpec *pspec) {
    G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
}

// No agent has map-typed properties of a known value type.
GType korvex_dict_type(int id) {
    const char *name = "(unknown)";
    for (const PropertyRow *row = properties; row->name != nullptr; ++row)
        if (row->id == id)
            name = row->name;
    g_printerr("Type of property %s is map of unknown types\n", name);
    return G_TYPE_VALUE;
}

} // extern "C"
