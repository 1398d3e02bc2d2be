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

#include <algorithm>
#include <functional>
#include <iterator>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <glib.h>
#include <glib/gstdio.h>

#include <korvex/kcommon.h>
#include <korvex/owners.h>
#include <korvex/text.h>

#include "bounded_text.h"
#include "reasons.h"
#include "sysconfig_internal.h"
#include "temp_file.h"

using namespace korvex;
using namespace korvex::sysconfig;

namespace {

constexpr char default_keys_dir[] = "/var/lib/korvex/sysconfig-keys/";
constexpr char key_chars[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ_-.";

constexpr size_t longest_key = NAME_MAX;

constexpr char key_rule[] = "a key holds only letters A-Z and a-z, digits 0-9, \"_\", \"-\" "
                            "and \".\", and does not start with \".\"";
// A refused key is quoted with room left in the reason for the characters
// that made it so, the two within the bound of caller text in a reason.
constexpr size_t key_quote_max = reason_quote_max - 66;
constexpr size_t offending_quote_max = 56;

enum class KeyFault { none, empty, leading_dot, characters, too_long };

// What, if anything, makes key unusable. Only the first characters that
// fit a path are examined; a longer key is too long whatever it holds.
KeyFault key_fault(const char *key) {
    if (key == nullptr || key[0] == '\0')
        return KeyFault::empty;
    if (key[0] == '.')
        return KeyFault::leading_dot;
    const size_t examined = strnlen(key, KX_SYSCONFIG_PATH_MAX - 1);
    if (std::string_view{key, examined}.find_first_not_of(key_chars) != std::string_view::npos)
        return KeyFault::characters;
    return strlen(key) > longest_key ? KeyFault::too_long : KeyFault::none;
}

// `"/" is`, or `"/", " " and "\xc3\xa9" are`: each character of key that no
// key may hold, once, in the order they come.
std::string offending_characters(const char *key) {
    std::vector<std::string> found;
    size_t shown = 0;
    bool more = false;
    for (const char *at = key; *at != '\0';) {
        size_t length = 1;
        if (static_cast<unsigned char>(*at) >= 0x80 &&
            static_cast<gint32>(g_utf8_get_char_validated(at, -1)) >= 0)
            length = static_cast<size_t>(g_utf8_skip[static_cast<unsigned char>(*at)]);
        const std::string_view character{at, length};
        at += length;
        if (length == 1 && strchr(key_chars, character[0]) != nullptr)
            continue;
        std::string text = quoted(character);
        if (std::find(found.begin(), found.end(), text) != found.end())
            continue;
        if (shown >= offending_quote_max) {
            more = true;
            break;
        }
        shown += length;
        found.push_back(std::move(text));
    }
    std::string list;
    for (size_t i = 0; i < found.size(); ++i)
        list += (i == 0 ? "" : i + 1 == found.size() && !more ? " and " : ", ") + found[i];
    if (more)
        list += " and more";
    return list + (found.size() == 1 && !more ? " is" : " are");
}

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

namespace korvex::sysconfig {

int check_key_sanity(const char *key, std::string *reason) {
    switch (key_fault(key)) {
    case KeyFault::none:
        return 0;
    case KeyFault::empty:
        kx_log(KX_LOG_ERR, "%s: key cannot be empty", "check_key_sanity");
        return because(reason, -1, std::string{"the key is empty"});
    case KeyFault::leading_dot: {
        const std::string why = "invalid key " + quoted(key) + ": " + key_rule;
        kx_log(KX_LOG_ERR, "%s: Invalid key filename %s: %s", "check_key_sanity", key, why.c_str());
        return because(reason, -1, why);
    }
    case KeyFault::characters:
    case KeyFault::too_long:
        break;
    }

    // The log shows the key with every character no key may hold as "!".
    char checked[KX_SYSCONFIG_PATH_MAX];
    kx_string_copy(checked, key, sizeof checked);
    g_strcanon(checked, key_chars, '!');
    if (key_fault(key) == KeyFault::characters) {
        const std::string why = "invalid key " + quoted(key, key_quote_max) + ": " +
                                offending_characters(key) + " not allowed; " + key_rule;
        kx_log(KX_LOG_ERR, "%s: Invalid key filename %s: %s", "check_key_sanity", checked,
               why.c_str());
        return because(reason, -1, why);
    }
    // The key names its status file, so it must fit a file name: a longer
    // one would have its document applied and then fail to be recorded.
    kx_log(KX_LOG_ERR, "%s: Invalid key filename %s (longer than %zu characters)",
           "check_key_sanity", checked, longest_key);
    return because(reason, -1,
                   "invalid key " + quoted(key) + ": longer than " + std::to_string(longest_key) +
                       " characters");
}

} // namespace korvex::sysconfig

extern "C" int check_key_sanity(const char *key) {
    return korvex::sysconfig::check_key_sanity(key, nullptr);
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

namespace korvex::sysconfig {

uint32_t set_key(const char *key, const char *contents, std::string *reason) {
    if (check_key_sanity(key, reason) != 0)
        return KX_RES_BAD_ARGUMENT;

    const char *dir = sysconfig_keys_dir();
    if (!g_file_test(dir, G_FILE_TEST_IS_DIR) && !create_keys_dir(dir)) {
        const int error = errno;
        kx_log(KX_LOG_ERR, "%s: Could not create keys directory %s", "set_key", dir);
        return because(reason, KX_RES_SYSTEM_ERROR,
                       std::string{"cannot create the keys folder "} + dir + ": " +
                           g_strerror(error));
    }

    char path[KX_SYSCONFIG_PATH_MAX];
    const bool path_fits = format_key_path(path, key);
    const char *text = contents != nullptr ? contents : "";
    errno = 0;
    if (!path_fits || !replace_contents(path, text)) {
        const int error = errno != 0 ? errno : ENAMETOOLONG;
        kx_log(KX_LOG_ERR, "%s: Could not set file %s", "set_key", path);
        return because(reason, KX_RES_SYSTEM_ERROR,
                       "cannot write the status of key " + quoted(key) + ": " + g_strerror(error));
    }
    return KX_RES_OK;
}

} // namespace korvex::sysconfig

extern "C" uint32_t set_key(const char *key, const char *contents) {
    return korvex::sysconfig::set_key(key, contents, nullptr);
}

extern "C" uint32_t kx_sysconfig_set_configured(const char *key, const char *contents) {
    return set_key(key, contents);
}

namespace {

// Enough of a status text for its outcome line.
constexpr size_t outcome_bytes = 64;

// "OK", "FAILED 4", "FAILED -1", "ERROR" or "(empty)": the first line of a
// status text, and the exit status or augeas's value of a failure.
std::string outcome_line(std::string_view status) {
    if (status.empty())
        return "(empty)";
    const size_t end = status.find('\n');
    const std::string_view head = status.substr(0, end);
    if (head != "FAILED" || end == std::string_view::npos)
        return printable(head, outcome_bytes);
    const std::string_view value = status.substr(end + 1);
    return "FAILED " + printable(value.substr(0, value.find('\n')), outcome_bytes);
}

// The entry of the status file at path (relative to dir_fd); nothing when
// it is not a regular file or cannot be read.
std::optional<KeyEntry> read_entry(int dir_fd, const char *path, std::string key) {
    // Not blocking and not following a link, as for a read of the status.
    UniqueFd fd{openat(dir_fd, path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW)};
    struct stat status;
    if (!fd || fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode))
        return std::nullopt;
    char head[outcome_bytes];
    const ssize_t got = pread(fd.get(), head, sizeof head, 0);
    if (got < 0)
        return std::nullopt;
    return KeyEntry{std::move(key), outcome_line({head, static_cast<size_t>(got)}),
                    static_cast<int64_t>(status.st_mtim.tv_sec)};
}

// The folder that holds the status files, and the part of their names
// before the key: the keys directory text is a prefix of their paths.
struct StoreFolder {
    std::string dir;
    std::string name_prefix;
};

StoreFolder store_folder() {
    const std::string keys = sysconfig_keys_dir();
    const size_t slash = keys.rfind('/');
    if (slash == std::string::npos)
        return {".", keys};
    return {slash == 0 ? "/" : keys.substr(0, slash), keys.substr(slash + 1)};
}

// Files in the keys folder that are no key's status (a stray file, a name
// no key can have) are logged when they are first seen, not at every
// listing: the line comes again only once the set of them has changed.
class NotKeysNote {
public:
    void add(std::string_view name) {
        ++count_;
        // The same names in another order are the same set.
        hash_ += std::hash<std::string_view>{}(name);
        shown_.emplace(name);
        if (shown_.size() > names_shown_)
            shown_.erase(std::prev(shown_.end()));
    }
    void log(const std::string &dir) {
        static std::mutex lock;
        static std::pair<size_t, size_t> logged{0, 0};
        std::lock_guard<std::mutex> hold(lock);
        if (logged == std::pair{count_, hash_})
            return;
        logged = {count_, hash_};
        if (count_ == 0)
            return;
        std::string names;
        for (const std::string &name : shown_)
            names += (names.empty() ? "" : ", ") + quoted(name, 64);
        kx_log(KX_LOG_WARNING,
               "%s: %zu entries of the keys folder %s are not key status files: %s%s", "list_keys",
               count_, dir.c_str(), names.c_str(), count_ > names_shown_ ? ", ..." : "");
    }

private:
    static constexpr size_t names_shown_ = 20;
    size_t count_ = 0;
    size_t hash_ = 0;
    std::set<std::string> shown_;
};

} // namespace

namespace korvex::sysconfig {

uint32_t list_keys(std::vector<KeyEntry> &entries, std::string *reason) {
    entries.clear();
    const StoreFolder store = store_folder();
    DirPtr listing{opendir(store.dir.c_str())};
    if (!listing) {
        // Nothing was ever stored.
        if (errno == ENOENT)
            return KX_RES_OK;
        const std::string why =
            "cannot read the keys folder " + store.dir + ": " + g_strerror(errno);
        kx_log(KX_LOG_ERR, "%s: %s", "list_keys", why.c_str());
        return because(reason, static_cast<uint32_t>(KX_RES_SYSTEM_ERROR), why);
    }
    NotKeysNote not_keys;
    const int dir_fd = dirfd(listing.get());
    while (const dirent *found = readdir(listing.get())) {
        const std::string_view name = found->d_name;
        if (!name.starts_with(store.name_prefix) || name == "." || name == "..")
            continue;
        std::string key{name.substr(store.name_prefix.size())};
        // A status being written.
        if (key.starts_with(status_side_prefix))
            continue;
        std::optional<KeyEntry> entry;
        if (key_fault(key.c_str()) == KeyFault::none)
            entry = read_entry(dir_fd, found->d_name, std::move(key));
        if (!entry) {
            not_keys.add(name);
            continue;
        }
        if (entries.size() == keys_listed_max) {
            entries.clear();
            const std::string why = "the keys folder " + store.dir + " holds more than " +
                                    std::to_string(keys_listed_max) +
                                    " keys, more than a list shows";
            kx_log(KX_LOG_ERR, "%s: %s", "list_keys", why.c_str());
            return because(reason, static_cast<uint32_t>(KX_RES_FAILED), why);
        }
        entries.push_back(std::move(*entry));
    }
    not_keys.log(store.dir);
    std::sort(entries.begin(), entries.end(),
              [](const KeyEntry &a, const KeyEntry &b) { return a.key < b.key; });
    return KX_RES_OK;
}

std::optional<KeyEntry> key_entry(const char *key) {
    char path[KX_SYSCONFIG_PATH_MAX];
    if (key_fault(key) != KeyFault::none || !format_key_path(path, key))
        return std::nullopt;
    return read_entry(AT_FDCWD, path, key);
}

} // namespace korvex::sysconfig
