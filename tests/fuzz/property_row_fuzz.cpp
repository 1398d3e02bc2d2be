// Any property-table row: a known type letter gives exactly its parameter spec,
// an unknown one is refused, output untouched. Input: flags (1 read-write, 2 no
// nick, 4 no blurb), letter, 4 bytes of id, NUL-separated name, nick, blurb.
#include "fuzz_support.h"

#include <korvex/kcommon_dbus.h>

#include <algorithm>
#include <cfloat>
#include <cstring>
#include <memory>

// The agent's own symbols, which the library reaches through the program's exports.
extern "C" {

PropertyRow properties[] = {{0, nullptr, nullptr, nullptr, 0, '\0'}};

static const DBusGMethodInfo no_methods[] = {{nullptr, nullptr, 0}};
const DBusGObjectInfo dbus_glib_korvex_object_info = {1, no_methods, 0, "\0", "\0", "\0"};

void korvex_get_property(GObject *, guint, GValue *, GParamSpec *) {}
void korvex_set_property(GObject *, guint, const GValue *, GParamSpec *) {}

GType korvex_dict_type(int id) {
    const GType types[] = {G_TYPE_VALUE,   G_TYPE_STRING, G_TYPE_INT,   G_TYPE_UINT,
                           G_TYPE_BOOLEAN, G_TYPE_DOUBLE, G_TYPE_INT64, G_TYPE_UINT64};
    return types[static_cast<unsigned>(id) % G_N_ELEMENTS(types)];
}

} // extern "C"

namespace {

unsigned glib_complaints = 0;

void count_complaint(const gchar *, GLogLevelFlags, const gchar *, gpointer) { ++glib_complaints; }

// The value type a letter must map to; G_TYPE_INVALID for no mapping.
GType expected_value_type(char letter, gint32 id) {
    if (letter == 'e')
        return dbus_g_type_get_map("GHashTable", G_TYPE_STRING, korvex_dict_type(id));
    const std::pair<const char *, GType> by_letter[] = {
        {"b", G_TYPE_BOOLEAN}, {"d", G_TYPE_DOUBLE}, {"in", G_TYPE_INT}, {"quy", G_TYPE_UINT},
        {"s", G_TYPE_STRING},  {"t", G_TYPE_UINT64}, {"x", G_TYPE_INT64}};
    for (const auto &[letters, type] : by_letter)
        if (letter != '\0' && std::strchr(letters, letter) != nullptr)
            return type;
    return G_TYPE_INVALID;
}

template <typename Spec, typename Limit>
bool spans(GParamSpec *spec, Limit minimum, Limit maximum) {
    const auto *typed = reinterpret_cast<const Spec *>(spec);
    return typed->minimum == minimum && typed->maximum == maximum;
}

bool has_full_range(GParamSpec *spec) {
    if (G_IS_PARAM_SPEC_DOUBLE(spec))
        return spans<GParamSpecDouble>(spec, -DBL_MAX, DBL_MAX);
    if (G_IS_PARAM_SPEC_INT(spec))
        return spans<GParamSpecInt>(spec, G_MININT, G_MAXINT);
    if (G_IS_PARAM_SPEC_UINT(spec))
        return spans<GParamSpecUInt>(spec, 0u, G_MAXUINT);
    if (G_IS_PARAM_SPEC_UINT64(spec))
        return spans<GParamSpecUInt64>(spec, guint64{0}, G_MAXUINT64);
    return !G_IS_PARAM_SPEC_INT64(spec) || spans<GParamSpecInt64>(spec, G_MININT64, G_MAXINT64);
}

// Zero, FALSE or no text: the default of every letter.
bool has_zero_default(GParamSpec *spec) {
    GValue zero = G_VALUE_INIT;
    g_value_init(&zero, G_PARAM_SPEC_VALUE_TYPE(spec));
    const bool same = g_param_value_defaults(spec, &zero);
    g_value_unset(&zero);
    return same;
}

std::string canonical(std::string name) {
    std::replace(name.begin(), name.end(), '_', '-');
    return name;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    for (const char *domain : {"GLib-GObject", "GLib", "dbus-glib"})
        g_log_set_handler(domain,
                          static_cast<GLogLevelFlags>(G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING),
                          count_complaint, nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 6)
        return 0;
    const uint8_t shape = data[0];
    const char letter = static_cast<char>(data[1]);
    gint32 id = 0;
    std::memcpy(&id, data + 2, sizeof id);
    std::vector<std::string> text = split_at_nul(data + 6, size - 6, 3);

    // Rows come from the agent program, and GLib (2.74) dereferences the
    // missing parameter spec of a name it refuses: names outside GObject's
    // property-name grammar are a precondition, not input.
    if (!g_param_spec_is_valid_name(text[0].c_str()))
        return 0;

    const guint32 flags = (shape & 1) ? G_PARAM_READWRITE : G_PARAM_READABLE;
    const char *nick = (shape & 2) ? nullptr : text[1].c_str();
    const char *blurb = (shape & 4) ? nullptr : text[2].c_str();
    const PropertyRow row{id, text[0].c_str(), nick, blurb, flags, letter};

    GParamSpec *const sentinel = reinterpret_cast<GParamSpec *>(&glib_complaints);
    GParamSpec *out = sentinel;
    glib_complaints = 0;
    const GType value_type = expected_value_type(letter, id);
    const gboolean mapped = get_paramspec_from_property(&out, row);
    const std::string shown(1, letter);

    if (value_type == G_TYPE_INVALID) {
        require(!mapped, "unknown type letter mapped", shown);
        require(out == sentinel, "output touched for an unknown type letter", shown);
        return 0;
    }
    require(mapped, "known type letter refused", shown);
    require(out != sentinel && out != nullptr, "no parameter spec for a known type letter", shown);
    const std::unique_ptr<GParamSpec, decltype(&g_param_spec_unref)> owned(
        g_param_spec_ref_sink(out), g_param_spec_unref);
    GParamSpec *spec = owned.get();

    require(glib_complaints == 0, "GLib complained about the row", row.name);
    require(G_PARAM_SPEC_VALUE_TYPE(spec) == value_type, "parameter spec of the wrong value type",
            shown);
    require(g_param_spec_get_name(spec) == canonical(row.name), "parameter spec under another name",
            row.name);
    require(std::string_view(g_param_spec_get_nick(spec)) ==
                (nick != nullptr ? std::string(nick) : canonical(row.name)),
            "parameter spec with another nick", row.name);
    require(g_strcmp0(g_param_spec_get_blurb(spec), blurb) == 0,
            "parameter spec with another blurb", row.name);
    require((spec->flags & G_PARAM_READWRITE) == flags, "parameter spec with other access flags",
            row.name);
    require(has_full_range(spec), "parameter spec without the full range of its type", shown);
    if (letter != 'e')
        require(has_zero_default(spec), "parameter spec with a default other than zero", shown);
    return 0;
}
