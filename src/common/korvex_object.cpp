// The one agent object class, built at class-initialisation time from the
// property table that the agent program exports, and the map-value builder.
#include <cfloat>

#include <korvex/kcommon.h>
#include <korvex/kcommon_dbus.h>

namespace {

// GLib refuses zero-sized private areas, so the (empty) private data of
// the instance needs one placeholder member.
struct KorvexPrivate {
    guint8 unused;
};

} // namespace

extern "C" {

G_DEFINE_TYPE_WITH_PRIVATE(Korvex, korvex, G_TYPE_OBJECT)

static void korvex_class_init(KorvexClass *klass) {
    GObjectClass *object_class = G_OBJECT_CLASS(klass);
    object_class->set_property = korvex_set_property;
    object_class->get_property = korvex_get_property;

    for (const PropertyRow *row = properties; row->name != nullptr; ++row) {
        GParamSpec *spec = nullptr;
        if (!get_paramspec_from_property(&spec, *row)) {
            g_printerr("Unknown type: %c\n", row->type);
            continue;
        }
        g_object_class_install_property(object_class, static_cast<guint>(row->id), spec);
    }

    dbus_g_object_type_install_info(korvex_get_type(), &dbus_glib_korvex_object_info);
}

static void korvex_init(Korvex *self) { self->priv = korvex_get_instance_private(self); }

gboolean get_paramspec_from_property(GParamSpec **out, PropertyRow row) {
    const auto flags = static_cast<GParamFlags>(row.flags);
    GParamSpec *spec = nullptr;
    switch (row.type) {
    case 'b':
        spec = g_param_spec_boolean(row.name, row.nick, row.blurb, FALSE, flags);
        break;
    case 'd':
        spec = g_param_spec_double(row.name, row.nick, row.blurb, -DBL_MAX, DBL_MAX, 0.0, flags);
        break;
    case 'e':
        spec = g_param_spec_boxed(
            row.name, row.nick, row.blurb,
            dbus_g_type_get_map("GHashTable", G_TYPE_STRING, korvex_dict_type(row.id)), flags);
        break;
    case 'i':
    case 'n':
        spec = g_param_spec_int(row.name, row.nick, row.blurb, G_MININT, G_MAXINT, 0, flags);
        break;
    case 'q':
    case 'u':
    case 'y':
        spec = g_param_spec_uint(row.name, row.nick, row.blurb, 0, G_MAXUINT, 0, flags);
        break;
    case 's':
        spec = g_param_spec_string(row.name, row.nick, row.blurb, nullptr, flags);
        break;
    case 't':
        spec = g_param_spec_uint64(row.name, row.nick, row.blurb, 0, G_MAXUINT64, 0, flags);
        break;
    case 'x':
        spec = g_param_spec_int64(row.name, row.nick, row.blurb, G_MININT64, G_MAXINT64, 0, flags);
        break;
    default:
        return FALSE;
    }
    *out = spec;
    return TRUE;
}

Dict *dict_new(GValue *map_value) {
    auto *dict = g_new0(Dict, 1);
    dict->target = map_value;
    dict->key = g_new0(GValue, 1);
    g_value_init(dict->key, G_TYPE_STRING);
    g_value_take_boxed(map_value, dbus_g_type_specialized_construct(G_VALUE_TYPE(map_value)));
    dbus_g_type_specialized_init_append(map_value, &dict->append_ctx);
    return dict;
}

void dict_add(Dict *dict, const char *key, const GValue *value) {
    // The map append moves what the two GValues hold into the map, which
    // frees its keys and values itself. So both are private copies, and
    // after the append dict->key is emptied without being unset: unsetting
    // it (or handing the map the caller's own key text) would free memory
    // that now belongs to the map.
    g_value_set_string(dict->key, key);
    GValue value_copy = G_VALUE_INIT;
    g_value_init(&value_copy, G_VALUE_TYPE(value));
    g_value_copy(value, &value_copy);
    dbus_g_type_specialized_map_append(&dict->append_ctx, dict->key, &value_copy);
    *dict->key = G_VALUE_INIT;
    g_value_init(dict->key, G_TYPE_STRING);
}

void dict_free(Dict *dict) {
    if (dict == nullptr)
        return;
    if (G_IS_VALUE(dict->key))
        g_value_unset(dict->key);
    g_free(dict->key);
    g_free(dict);
}

} // extern "C"
