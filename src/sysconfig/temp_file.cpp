#include "temp_file.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <glib.h>

#include <korvex/kcommon.h>

#include <memory>
#include <utility>

#include "reasons.h"
#include "sysconfig_internal.h"

namespace korvex::sysconfig {

std::optional<TempFile> TempFile::create(std::string_view prefix, int mode) {
    std::string name{prefix};
    name += "XXXXXX";
    const int fd = g_mkstemp_full(name.data(), O_RDWR | O_CLOEXEC, mode);
    if (fd < 0)
        return std::nullopt;
    return owned_with_mode(std::move(name), fd, mode);
}

std::optional<TempFile> TempFile::create_exclusive(std::string path, int mode) {
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
    if (fd < 0)
        return std::nullopt;
    return owned_with_mode(std::move(path), fd, mode);
}

// The mode argument of a creation is reduced by the umask: documents and
// tool output may hold secrets, so the file gets exactly its mode.
std::optional<TempFile> TempFile::owned_with_mode(std::string path, int fd, int mode) {
    TempFile file{std::move(path), fd};
    if (fchmod(fd, static_cast<mode_t>(mode)) != 0) {
        const int saved = errno;
        file.remove();
        errno = saved;
        return std::nullopt;
    }
    return file;
}

TempFile TempFile::adopt(std::string path) { return TempFile{std::move(path), -1}; }

TempFile::TempFile(std::string path, int fd) noexcept : path_{std::move(path)}, fd_{fd} {}

TempFile::TempFile(TempFile &&other) noexcept
    : path_{std::exchange(other.path_, std::string{})}, fd_{std::exchange(other.fd_, -1)} {}

TempFile &TempFile::operator=(TempFile &&other) noexcept {
    if (this != &other) {
        remove();
        path_ = std::exchange(other.path_, std::string{});
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

TempFile::~TempFile() { remove(); }

FilePtr TempFile::open_stream() {
    if (fd_ < 0)
        return FilePtr{};
    FILE *stream = fdopen(fd_, "w+b");
    if (stream == nullptr) {
        close_fd();
        return FilePtr{};
    }
    // The stream owns the descriptor from here on.
    fd_ = -1;
    return FilePtr{stream};
}

int TempFile::write_contents(std::string_view text, bool sync) {
    FilePtr stream = open_stream();
    if (!stream)
        return errno != 0 ? errno : EIO;
    if (fwrite(text.data(), 1, text.size(), stream.get()) != text.size())
        return errno != 0 ? errno : EIO;
    if (const int error = stream_write_error(stream.get()); error != 0)
        return error;
    if (sync && fsync(fileno(stream.get())) != 0)
        return errno;
    errno = 0;
    if (!close_stream(stream))
        return errno != 0 ? errno : EIO;
    return 0;
}

std::string TempFile::release() noexcept {
    close_fd();
    return std::exchange(path_, std::string{});
}

void TempFile::remove() noexcept {
    close_fd();
    if (!path_.empty()) {
        unlink(path_.c_str());
        path_.clear();
    }
}

void TempFile::close_fd() noexcept {
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
}

std::optional<OpenTempFile> open_temp_file(std::string_view prefix, const char *step,
                                           std::string *reason) {
    std::optional<TempFile> file = TempFile::create(prefix);
    if (!file) {
        const int error = errno;
        kx_log(KX_LOG_ERR, "%s: Unable to create temporary file", step);
        return because(reason, std::optional<OpenTempFile>{},
                       std::string{"cannot create a file in the working directory: "} +
                           g_strerror(error));
    }
    FilePtr stream = file->open_stream();
    if (!stream) {
        const int error = errno;
        kx_log(KX_LOG_ERR, "%s: Unable to open temporary file", step);
        return because(reason, std::optional<OpenTempFile>{},
                       std::string{"cannot open a file in the working directory: "} +
                           g_strerror(error));
    }
    return OpenTempFile{std::move(*file), std::move(stream)};
}

namespace {

// The suffix mkstemp gives (six letters and digits) or the decimal number
// of an inline manifest.
bool is_temp_suffix(std::string_view suffix) {
    if (suffix.empty() || suffix.size() > 10)
        return false;
    for (const char c : suffix)
        if (!g_ascii_isalnum(c))
            return false;
    return true;
}

bool is_own_temp_name(std::string_view name, std::initializer_list<std::string_view> prefixes) {
    for (const std::string_view prefix : prefixes)
        if (name.starts_with(prefix) && is_temp_suffix(name.substr(prefix.size())))
            return true;
    return false;
}

} // namespace

unsigned remove_stale_temp_files(const std::string &dir,
                                 std::initializer_list<std::string_view> prefixes) {
    DirPtr listing{opendir(dir.c_str())};
    if (!listing)
        return 0;
    unsigned removed = 0;
    const int dir_fd = dirfd(listing.get());
    while (const dirent *entry = readdir(listing.get())) {
        if (!is_own_temp_name(entry->d_name, prefixes))
            continue;
        struct stat status;
        if (fstatat(dir_fd, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(status.st_mode))
            continue;
        if (unlinkat(dir_fd, entry->d_name, 0) == 0) {
            ++removed;
            kx_log(KX_LOG_INFO, "%s: Removed %s/%s left behind by an earlier process",
                   "remove_leftovers", dir.c_str(), entry->d_name);
        }
    }
    return removed;
}

} // namespace korvex::sysconfig

extern "C" unsigned int kx_sysconfig_remove_leftovers(void) {
    using namespace korvex::sysconfig;
    return remove_stale_temp_files(".", {augeas_temp_prefix, puppet_temp_prefix}) +
           remove_stale_temp_files(status_side_dir(), {status_side_prefix});
}
