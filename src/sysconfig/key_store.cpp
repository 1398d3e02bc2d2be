// Per-key status files: key validation, the keys directory and the
// whole-file reads and writes of a key's status text.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <optional>
#include <string>

#include <glib.h>
#include <glib/gstdio.h>

#include <korvex/kcommon.h>
#include <korvex/owners.h>

#include "bounded_text.h"
#include "sysconfig_internal.h"
#include "temp_file.h"

using namespace korvex;
using namespace korvex::sysconfig;

namespace {

constexpr char default_keys_dir[] = "/var/lib/korvex/sysconfig-keys/";
constexpr char key_chars[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ_-.";

constexpr size_t longest_key = NAME_MAX;

char keys_dir_buffer[KX_SYSCONFIG_PATH_MAX];

// Fills path with the status file of key. False when the path does not
// fit: a cut path would name another key's file.
bool format_key_path(char (&path)[KX_SYSCONFIG_PATH_MAX], const char *key) {
    const int needed = g_snprintf(path, sizeof path, "%s%s", sysconfig_keys_dir(), key);
    return needed >= 0 && static_cast<size_t>(needed) < sizeof path;
}

// The file's whole new content, replacing it as a unit. The content goes
// to a side file first, whose name starts with '.', which no key can, so
// it never stands for a key; and it is short: the key's own name may use
// the filesystem's whole limit, which a side name built from it (as
// g_file_set_contents builds one) would overrun. Status texts may quote
// what a tool read from any file, so only the owner may read them.
bool replace_contents(const char *path, const char *text) {
    GCharPtr dir{g_path_get_dirname(path)};
    std::optional<TempFile> side =
        TempFile::create(std::string{dir.get()} + "/" + std::string{status_side_prefix}, 0600);
    if (!side)
        return false;
    // On disk before the rename, so that a crash leaves the old status or
    // the new one, never an empty file.
    if (side->write_contents(text, true) != 0)
        return false;
    if (g_rename(side->path().c_str(), path) != 0)
        return false;
    side->release();
    return true;
}

// Creates the keys directory with exactly the owner's access: the mode
// argument alone is reduced by the umask. A directory that another run
// made in the meantime is as good as one made here.
bool create_keys_dir(const char *dir) {
    if (mkdir(dir, 0700) != 0)
        return errno == EEXIST && g_file_test(dir, G_FILE_TEST_IS_DIR);
    UniqueFd fd{open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW)};
    return fd && fchmod(fd.get(), 0700) == 0;
}

} // namespace

std::string status_side_dir() {
    const std::string any_key_path = std::string{sysconfig_keys_dir()} + "k";
    GCharPtr dir{g_path_get_dirname(any_key_path.c_str())};
    return dir.get();
}

extern "C" const char *sysconfig_keys_dir(void) {
    if (keys_dir_buffer[0] == '\0')
        kx_string_copy(keys_dir_buffer, default_keys_dir, sizeof keys_dir_buffer);
    return keys_dir_buffer;
}

extern "C" void kx_sysconfig_keys_dir_set(const char *dir) {
    kx_string_copy(keys_dir_buffer, dir, sizeof keys_dir_buffer);
}

extern "C" int check_key_sanity(const char *key) {
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
    // The key names its status file, so it must fit a file name: a longer
    // one would have its document applied and then fail to be recorded.
    // This also covers whatever lay beyond the examined copy.
    if (strlen(key) > longest_key) {
        kx_log(KX_LOG_ERR, "%s: Invalid key filename %s (longer than %zu characters)",
               "check_key_sanity", checked, longest_key);
        return -1;
    }
    return 0;
}

extern "C" char *kx_sysconfig_is_configured(const char *key) {
    if (check_key_sanity(key) != 0)
        return nullptr;

    char path[KX_SYSCONFIG_PATH_MAX];
    if (!format_key_path(path, key))
        return nullptr;
    // Not blocking: something other than a file in the key's place (a FIFO
    // without a writer) must not hold the agent.
    UniqueFd fd{open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK)};
    if (!fd)
        return nullptr;
    // A status stored by an older version may be as long as any tool
    // output; only the bounded part is ever read.
    std::string text;
    if (!append_bounded(text, fd.get()))
        return nullptr;
    // Callers release the text with free().
    return malloc_copy(text);
}

extern "C" uint32_t set_key(const char *key, const char *contents) {
    if (check_key_sanity(key) != 0)
        return KX_RES_BAD_ARGUMENT;

    const char *dir = sysconfig_keys_dir();
    if (!g_file_test(dir, G_FILE_TEST_IS_DIR) && !create_keys_dir(dir)) {
        kx_log(KX_LOG_ERR, "%s: Could not create keys directory %s", "set_key", dir);
        return KX_RES_SYSTEM_ERROR;
    }

    char path[KX_SYSCONFIG_PATH_MAX];
    const bool path_fits = format_key_path(path, key);
    const char *text = contents != nullptr ? contents : "";
    if (!path_fits || !replace_contents(path, text)) {
        kx_log(KX_LOG_ERR, "%s: Could not set file %s", "set_key", path);
        return KX_RES_SYSTEM_ERROR;
    }
    return KX_RES_OK;
}

extern "C" uint32_t kx_sysconfig_set_configured(const char *key, const char *contents) {
    return set_key(key, contents);
}
