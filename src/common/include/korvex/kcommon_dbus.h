/* libkcommon_dbus: the agent object class, the Properties handlers,
 * PolicyKit authorization and the process skeleton of every agent.
 *
 * The library is completed at load time by the agent program, which must
 * export (with exactly these names) `properties`,
 * `dbus_glib_korvex_object_info`, `korvex_get_property`,
 * `korvex_set_property` and `korvex_dict_type`, and link libkcommon. */
#ifndef KORVEX_KCOMMON_DBUS_H
#define KORVEX_KCOMMON_DBUS_H

#include <dbus/dbus-glib.h>
#include <glib-object.h>
#include <korvex/export.h>

#ifdef __cplusplus
extern "C" {
#endif

/* One row of an agent's property table; the table ends with a row whose
 * name is NULL. Ids are numbered 1, 2, 3, ... in table order. */
typedef struct {
    gint32 id;
    const char *name;
    const char *nick;
    const char *blurb;
    guint32 flags; /* GParamFlags: G_PARAM_READABLE or G_PARAM_READWRITE */
    char type;     /* D-Bus type letter of the value */
} PropertyRow;

/* The rows every agent's table starts with (ids 1 and 2), which the
 * property callbacks every agent program is built with answer; a
 * placeholder row older management tools expect to find; the end row. */
/* clang-format off */
#define KORVEX_HOST_PROPERTY_ROWS \
    {1, "uuid", "uuid", "Host UUID", G_PARAM_READABLE, 's'}, \
    {2, "hostname", "hostname", "Hostname", G_PARAM_READABLE, 's'}
#define KORVEX_QMF_GEN_PROPERTY_ROW(id) \
    {(id), "qmf-gen-no-crash", "qmf-gen-no-crash", "Dummy stat to stop qmf-gen from crashing.", \
     G_PARAM_READABLE, 'i'}
#define KORVEX_PROPERTY_ROWS_END {0, NULL, NULL, NULL, 0, '\0'}
/* clang-format on */

typedef struct {
    GObject parent;
    gpointer priv;
} Korvex;

typedef struct {
    GObjectClass parent_class;
} KorvexClass;

/* Map-value builder for dbus-glib map-typed properties. */
typedef struct {
    GValue *target;
    GValue *key;
    DBusGTypeSpecializedAppendContext append_ctx;
} Dict;

/* Supplied by the agent program. */
extern PropertyRow properties[];
extern const DBusGObjectInfo dbus_glib_korvex_object_info;
void korvex_get_property(GObject *object, guint id, GValue *value, GParamSpec *pspec);
void korvex_set_property(GObject *object, guint id, const GValue *value, GParamSpec *pspec);
GType korvex_dict_type(int id);

/* Provided by the framework. */
KX_EXPORT GType korvex_get_type(void);
KX_EXPORT gboolean get_paramspec_from_property(GParamSpec **out, PropertyRow row);
KX_EXPORT gboolean korvex_get(Korvex *object, const char *interface, const char *property,
                              DBusGMethodInvocation *context);
KX_EXPORT gboolean korvex_set(Korvex *object, const char *interface, const char *property,
                              const GValue *value, DBusGMethodInvocation *context);

KX_EXPORT Dict *dict_new(GValue *map_value);
KX_EXPORT void dict_add(Dict *dict, const char *key, const GValue *value);
KX_EXPORT void dict_free(Dict *dict);

KX_EXPORT int run_dbus_server(const char *bus_name, const char *object_path);
/* Asks PolicyKit and waits for the answer. The agents' handlers go through
 * korvex::authorize (korvex/requests.h) instead, which does not hold up
 * other requests while polkitd answers. */
KX_EXPORT gboolean check_authorization(const char *action, GError **error,
                                       DBusGMethodInvocation *context);
KX_EXPORT GQuark korvex_error_quark(void);

/* Sends the refusal of a request whose authorization check returned
 * FALSE. check_authorization leaves *error unset when it could not even
 * ask (no invocation context, no PolicyKit authority); the caller is then
 * answered with code 5 and a message saying so instead of a NULL error.
 * Consumes *error. */
KX_EXPORT void korvex_reply_refusal(DBusGMethodInvocation *context, GError **error);

/* Sends a korvex-error-quark error with `code` and kx_result_to_str(code). */
KX_EXPORT void korvex_reply_result_error(DBusGMethodInvocation *context, int code);

#ifdef __cplusplus
}
#endif

#endif
