// The property-table mapping and map builder in process; this program supplies the agent symbols.
#include <gtest/gtest.h>

#include <cfloat>
#include <memory>

#include <korvex/kcommon_dbus.h>

extern "C" {

PropertyRow properties[] = {
    {1, "name", "name", "A string", G_PARAM_READABLE, 's'},
    {2, "bad", "bad", "Unmapped", G_PARAM_READABLE, '?'},
    {3, "level", "level", "A number", G_PARAM_READWRITE, 'n'},
    {0, nullptr, nullptr, nullptr, 0, '\0'},
};

static const DBusGMethodInfo no_methods[] = {{nullptr, nullptr, 0}};
const DBusGObjectInfo dbus_glib_korvex_object_info = {1, no_methods, 0, "\0", "\0", "\0"};

void korvex_get_property(GObject *, guint, GValue *, GParamSpec *) {}
void korvex_set_property(GObject *, guint, const GValue *, GParamSpec *) {}
GType korvex_dict_type(int) { return G_TYPE_INT; }

} // extern "C"

using SpecPtr = std::unique_ptr<GParamSpec, decltype(&g_param_spec_unref)>;

static SpecPtr spec_for(char letter) {
    GParamSpec *spec = nullptr;
    const bool mapped =
        get_paramspec_from_property(&spec, {9, "p", "p", "blurb", G_PARAM_READWRITE, letter});
    return {mapped ? g_param_spec_ref_sink(spec) : nullptr, g_param_spec_unref};
}

TEST(ParamSpecMapping, EveryLetterGetsItsTypeRangeAndDefault) {
    const std::pair<char, GType> cases[] = {
        {'b', G_TYPE_PARAM_BOOLEAN}, {'d', G_TYPE_PARAM_DOUBLE}, {'e', G_TYPE_PARAM_BOXED},
        {'i', G_TYPE_PARAM_INT},     {'n', G_TYPE_PARAM_INT},    {'q', G_TYPE_PARAM_UINT},
        {'u', G_TYPE_PARAM_UINT},    {'y', G_TYPE_PARAM_UINT},   {'s', G_TYPE_PARAM_STRING},
        {'t', G_TYPE_PARAM_UINT64},  {'x', G_TYPE_PARAM_INT64}};
    for (const auto &[letter, type] : cases) {
        SpecPtr spec = spec_for(letter);
        ASSERT_NE(spec, nullptr) << letter;
        EXPECT_EQ(G_PARAM_SPEC_TYPE(spec.get()), type) << letter;
        EXPECT_STREQ(g_param_spec_get_blurb(spec.get()), "blurb");
        EXPECT_EQ(spec->flags & G_PARAM_READWRITE, G_PARAM_READWRITE);
    }

    const SpecPtr d = spec_for('d'), n = spec_for('n'), t = spec_for('t'), e = spec_for('e');
    EXPECT_EQ(G_PARAM_SPEC_DOUBLE(d.get())->minimum, -DBL_MAX);
    EXPECT_EQ(G_PARAM_SPEC_DOUBLE(d.get())->maximum, DBL_MAX);
    EXPECT_EQ(G_PARAM_SPEC_INT(n.get())->minimum, G_MININT);
    EXPECT_EQ(G_PARAM_SPEC_INT(n.get())->maximum, G_MAXINT);
    EXPECT_EQ(G_PARAM_SPEC_UINT64(t.get())->maximum, G_MAXUINT64);
    EXPECT_EQ(G_PARAM_SPEC_VALUE_TYPE(e.get()),
              dbus_g_type_get_map("GHashTable", G_TYPE_STRING, G_TYPE_INT));
}

TEST(ParamSpecMapping, UnknownLetterLeavesTheOutputUntouched) {
    GParamSpec *sentinel = reinterpret_cast<GParamSpec *>(0x1);
    GParamSpec *out = sentinel;
    EXPECT_FALSE(get_paramspec_from_property(&out, {1, "p", "p", "b", G_PARAM_READABLE, 'a'}));
    EXPECT_EQ(out, sentinel);
}

TEST(KorvexClass, InstallsRowsUnderTheirIdsAndSkipsUnknownLetters) {
    GObjectClass *klass = G_OBJECT_CLASS(g_type_class_ref(korvex_get_type()));
    EXPECT_STREQ(g_type_name(korvex_get_type()), "Korvex");
    GParamSpec *name = g_object_class_find_property(klass, "name");
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(name->param_id, 1u);
    EXPECT_EQ(g_object_class_find_property(klass, "bad"), nullptr);
    GParamSpec *level = g_object_class_find_property(klass, "level");
    ASSERT_NE(level, nullptr);
    EXPECT_EQ(level->param_id, 3u);
    g_type_class_unref(klass);
}

TEST(DictBuilder, BuildsAMapFromRepeatedAdds) {
    GValue map = G_VALUE_INIT;
    Dict *dict =
        dict_new(g_value_init(&map, dbus_g_type_get_map("GHashTable", G_TYPE_STRING, G_TYPE_INT)));
    for (int i = 0; i < 3; ++i) {
        GValue v = G_VALUE_INIT;
        g_value_set_int(g_value_init(&v, G_TYPE_INT), i * 10);
        dict_add(dict, ("key" + std::to_string(i)).c_str(), &v);
        g_value_unset(&v);
    }
    dict_free(dict);

    auto *table = static_cast<GHashTable *>(g_value_get_boxed(&map));
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(g_hash_table_size(table), 3u);
    EXPECT_EQ(GPOINTER_TO_INT(g_hash_table_lookup(table, "key2")), 20);
    EXPECT_EQ(GPOINTER_TO_INT(g_hash_table_lookup(table, "key0")), 0);
    g_value_unset(&map);
}
