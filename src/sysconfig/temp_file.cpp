#include "temp_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <glib.h>

#include <utility>

namespace korvex::sysconfig {

std::optional<TempFile> TempFile::create(std::string_view prefix, int mode)
{
    std::string name{prefix};
    name += "XXXXXX";
    const int fd = g_mkstemp_full(name.data(), O_RDWR | O_CLOEXEC, mode);
    if (fd < 0)
        return std::nullopt;
    return TempFile{std::move(name), fd};
}

TempFile TempFile::adopt(std::string path)
{
    return TempFile{std::move(path), -1};
}

TempFile::TempFile(std::string path, int fd) noexcept : path_{std::move(path)}, fd_{fd} {}

TempFile::TempFile(TempFile &&other) noexcept
    : path_{std::exchange(other.path_, std::string{})}, fd_{std::exchange(other.fd_, -1)}
{
}

TempFile &TempFile::operator=(TempFile &&other) noexcept
{
    if (this != &other) {
        remove();
        path_ = std::exchange(other.path_, std::string{});
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

TempFile::~TempFile()
{
    remove();
}

FilePtr TempFile::open_stream()
{
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

std::string TempFile::release() noexcept
{
    close_fd();
    return std::exchange(path_, std::string{});
}

void TempFile::remove() noexcept
{
    close_fd();
    if (!path_.empty()) {
        unlink(path_.c_str());
        path_.clear();
    }
}

void TempFile::close_fd() noexcept
{
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
}

} // namespace korvex::sysconfig
