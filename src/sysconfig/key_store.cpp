// Per-key status files: key validation, the keys directory and the
// whole-file reads and writes of a key's status text.
#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <glib.h>

#include <korvex/kcommon.h>

#include "handles.h"
#include "sysconfig_internal.h"

using korvex::sysconfig::ErrorSlot;

namespace {

constexpr char default_keys_dir[] = "/var/lib/korvex/sysconfig-keys/";
constexpr char key_chars[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ_-.";

char keys_dir_buffer[KX_SYSCONFIG_PATH_MAX];

// Fills path with the status file of key. False when the path does not
// fit: a cut path would name another key's file.
bool format_key_path(char (&path)[KX_SYSCONFIG_PATH_MAX], const char *key)
{
    const int needed = g_snprintf(path, sizeof path, "%s%s", sysconfig_keys_dir(), key);
    return needed >= 0 && static_cast<size_t>(needed) < sizeof path;
}

} // namespace

extern "C" const char *sysconfig_keys_dir(void)
{
    if (keys_dir_buffer[0] == '\0')
        kx_string_copy(keys_dir_buffer, default_keys_dir, sizeof keys_dir_buffer);
    return keys_dir_buffer;
}

extern "C" void kx_sysconfig_keys_dir_set(const char *dir)
{
    kx_string_copy(keys_dir_buffer, dir, sizeof keys_dir_buffer);
}

extern "C" int check_key_sanity(const char *key)
{
    if (key == nullptr || key[0] == '\0') {
        kx_log(KX_LOG_ERR, "%s: key cannot be empty", "check_key_sanity");
        return -1;
    }
    if (g_str_has_prefix(key, ".")) {
        kx_log(KX_LOG_ERR, "%s: Invalid key filename %s", "check_key_sanity", key);
        return -1;
    }

    char checked[KX_SYSCONFIG_PATH_MAX];
    kx_string_copy(checked, key, sizeof checked);
    g_strcanon(checked, key_chars, '!');
    if (strchr(checked, '!') != nullptr) {
        kx_log(KX_LOG_ERR, "%s: Invalid key filename %s", "check_key_sanity", checked);
        return -1;
    }
    // Only the copy was examined; whatever lies beyond it was not.
    if (strlen(key) >= sizeof checked) {
        kx_log(KX_LOG_ERR, "%s: Invalid key filename %s (longer than %zu characters)",
               "check_key_sanity", checked, sizeof checked - 1);
        return -1;
    }
    return 0;
}

extern "C" char *kx_sysconfig_is_configured(const char *key)
{
    if (check_key_sanity(key) != 0)
        return nullptr;

    char path[KX_SYSCONFIG_PATH_MAX];
    if (!format_key_path(path, key))
        return nullptr;
    if (!g_file_test(path, G_FILE_TEST_EXISTS))
        return nullptr;

    gchar *contents = nullptr;
    gsize length = 0;
    if (!g_file_get_contents(path, &contents, &length, nullptr))
        return nullptr;

    // Callers release the text with free(), so hand over a malloc'ed copy.
    char *result = static_cast<char *>(malloc(length + 1));
    if (result != nullptr) {
        memcpy(result, contents, length);
        result[length] = '\0';
    }
    g_free(contents);
    return result;
}

extern "C" uint32_t set_key(const char *key, const char *contents)
{
    if (check_key_sanity(key) != 0)
        return KX_RES_BAD_ARGUMENT;

    const char *dir = sysconfig_keys_dir();
    if (!g_file_test(dir, G_FILE_TEST_IS_DIR) && mkdir(dir, 0755) != 0) {
        kx_log(KX_LOG_ERR, "%s: Could not create keys directory %s", "set_key", dir);
        return KX_RES_SYSTEM_ERROR;
    }

    char path[KX_SYSCONFIG_PATH_MAX];
    const bool path_fits = format_key_path(path, key);
    const char *text = contents != nullptr ? contents : "";
    ErrorSlot error;
    if (!path_fits ||
        !g_file_set_contents(path, text, static_cast<gssize>(strlen(text)), error.out())) {
        kx_log(KX_LOG_ERR, "%s: Could not set file %s", "set_key", path);
        return KX_RES_SYSTEM_ERROR;
    }
    return KX_RES_OK;
}

extern "C" uint32_t kx_sysconfig_set_configured(const char *key, const char *contents)
{
    return set_key(key, contents);
}
