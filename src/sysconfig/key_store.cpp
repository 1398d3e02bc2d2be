// Per-key status files: key validation, the keys directory and the
// whole-file reads and writes of a key's status text.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <string>

#include <glib.h>
#include <glib/gstdio.h>

#include <korvex/kcommon.h>

#include "handles.h"
#include "sysconfig_internal.h"

using korvex::sysconfig::GCharPtr;

namespace {

constexpr char default_keys_dir[] = "/var/lib/korvex/sysconfig-keys/";
constexpr char key_chars[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ_-.";

constexpr size_t longest_key = NAME_MAX;

char keys_dir_buffer[KX_SYSCONFIG_PATH_MAX];

// Fills path with the status file of key. False when the path does not
// fit: a cut path would name another key's file.
bool format_key_path(char (&path)[KX_SYSCONFIG_PATH_MAX], const char *key)
{
    const int needed = g_snprintf(path, sizeof path, "%s%s", sysconfig_keys_dir(), key);
    return needed >= 0 && static_cast<size_t>(needed) < sizeof path;
}

// The side file a status is written to before it takes the key's place.
// Its name starts with '.', which no key can, so it never stands for a key,
// and it is short: the key's own name may use the filesystem's whole limit,
// which a side name built from it (as g_file_set_contents builds one)
// would overrun.
class SideFile {
public:
    explicit SideFile(const char *path)
    {
        GCharPtr dir{g_path_get_dirname(path)};
        name_ = std::string{dir.get()} + "/.set-key-XXXXXX";
        fd_ = g_mkstemp_full(name_.data(), O_RDWR | O_CLOEXEC, 0666);
        if (fd_ < 0)
            name_.clear();
    }
    ~SideFile()
    {
        close_fd();
        if (!name_.empty())
            g_unlink(name_.c_str());
    }
    SideFile(const SideFile &) = delete;
    SideFile &operator=(const SideFile &) = delete;

    bool created() const { return fd_ >= 0; }

    bool write_all(const char *text, size_t length)
    {
        while (length > 0) {
            const ssize_t written = write(fd_, text, length);
            if (written < 0 && errno == EINTR)
                continue;
            if (written <= 0)
                return false;
            text += written;
            length -= static_cast<size_t>(written);
        }
        // On disk before the rename, so that a crash leaves the old
        // status or the new one, never an empty file.
        return fsync(fd_) == 0 && close_fd();
    }

    // Puts the side file in place of path, as one step.
    bool replace(const char *path)
    {
        if (g_rename(name_.c_str(), path) != 0)
            return false;
        name_.clear();
        return true;
    }

private:
    bool close_fd()
    {
        if (fd_ < 0)
            return true;
        const int closed = close(fd_);
        fd_ = -1;
        return closed == 0;
    }

    std::string name_;
    int fd_ = -1;
};

// The file's whole new content, replacing it as a unit.
bool replace_contents(const char *path, const char *text)
{
    SideFile side{path};
    return side.created() && side.write_all(text, strlen(text)) && side.replace(path);
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
    if (!path_fits || !replace_contents(path, text)) {
        kx_log(KX_LOG_ERR, "%s: Could not set file %s", "set_key", path);
        return KX_RES_SYSTEM_ERROR;
    }
    return KX_RES_OK;
}

extern "C" uint32_t kx_sysconfig_set_configured(const char *key, const char *contents)
{
    return set_key(key, contents);
}
