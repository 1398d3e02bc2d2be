// A file in the working directory that exists only for the length of one
// run: removed when its owner goes away, whichever way the run ends.
#pragma once

#include <stdio.h>

#include <optional>
#include <string>
#include <string_view>

#include "handles.h"

namespace korvex::sysconfig {

class TempFile {
public:
    // A new, empty file named prefix followed by six unique characters,
    // relative to the working directory, with `mode` less the umask.
    // Empty when it cannot be created.
    static std::optional<TempFile> create(std::string_view prefix, int mode = 0600);

    // Takes over the removal of a file that the caller names itself.
    static TempFile adopt(std::string path);

    TempFile(TempFile &&other) noexcept;
    TempFile &operator=(TempFile &&other) noexcept;
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;
    ~TempFile();

    const std::string &path() const noexcept { return path_; }

    // The file as a read/write stream ("w+b"). On failure the descriptor
    // is closed and the result is empty; the file itself stays owned.
    FilePtr open_stream();

    // Stops owning the file: it is left in place for someone else to remove.
    std::string release() noexcept;

    // Removes the file now.
    void remove() noexcept;

private:
    TempFile(std::string path, int fd) noexcept;
    void close_fd() noexcept;

    std::string path_;
    int fd_ = -1;
};

} // namespace korvex::sysconfig
