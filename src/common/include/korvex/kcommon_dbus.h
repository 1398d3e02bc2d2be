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
GType korvex_get_type(void);
gboolean get_paramspec_from_property(GParamSpec **out, PropertyRow row);
gboolean korvex_get(Korvex *object, const char *interface, const char *property,
                    DBusGMethodInvocation *context);
gboolean korvex_set(Korvex *object, const char *interface, const char *property,
                    const GValue *value, DBusGMethodInvocation *context);

Dict *dict_new(GValue *map_value);
void dict_add(Dict *dict, const char *key, const GValue *value);
void dict_free(Dict *dict);

int run_dbus_server(const char *bus_name, const char *object_path);
/* Asks PolicyKit and waits for the answer. The agents' handlers go through
 * korvex::authorize (korvex/requests.h) instead, which does not hold up
 * other requests while polkitd answers. */
gboolean check_authorization(const char *action, GError **error, DBusGMethodInvocation *context);
GQuark korvex_error_quark(void);

/* Sends the refusal of a request whose authorization check returned
 * FALSE. check_authorization leaves *error unset when it could not even
 * ask (no invocation context, no PolicyKit authority); the caller is then
 * answered with code 5 and a message saying so instead of a NULL error.
 * Consumes *error. */
void korvex_reply_refusal(DBusGMethodInvocation *context, GError **error);

/* Sends a korvex-error-quark error with `code` and kx_result_to_str(code). */
void korvex_reply_result_error(DBusGMethodInvocation *context, int code);

#ifdef __cplusplus
}
#endif

#endif
