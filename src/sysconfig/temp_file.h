// A file in the working directory that exists only for the length of one
// run: removed when its owner goes away, whichever way the run ends.
#pragma once

#include <stdio.h>

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include <korvex/owners.h>

namespace korvex::sysconfig {

// Name prefixes of the files the library keeps only for the length of one
// run: documents and tool output in the working directory, and the side
// files through which a status file is replaced in the keys directory.
inline constexpr std::string_view augeas_temp_prefix = "augeas_conf_";
inline constexpr std::string_view puppet_temp_prefix = "puppet_conf_";
inline constexpr std::string_view status_side_prefix = ".set-key-";

class TempFile {
public:
    // A new, empty file named prefix followed by six unique characters,
    // relative to the working directory, with exactly `mode` whatever the
    // umask. Empty when it cannot be created.
    static std::optional<TempFile> create(std::string_view prefix, int mode = 0600);

    // A new, empty file of the given name, which must not exist yet (errno
    // EEXIST when it does), with exactly `mode`.
    static std::optional<TempFile> create_exclusive(std::string path, int mode = 0600);

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

    // Writes text as the file's whole content and closes it; the error
    // number of a write that did not reach the file (a full disk, say), or
    // 0. With sync the content is on disk when it returns.
    int write_contents(std::string_view text, bool sync = false);

    // Stops owning the file: it is left in place for someone else to remove.
    std::string release() noexcept;

    // Removes the file now.
    void remove() noexcept;

private:
    TempFile(std::string path, int fd) noexcept;
    static std::optional<TempFile> owned_with_mode(std::string path, int fd, int mode);
    void close_fd() noexcept;

    std::string path_;
    int fd_ = -1;
};

// A new temporary file (see TempFile::create) opened as a stream, or
// nothing after logging why under the caller's step name (and saying it in
// *reason, when given).
struct OpenTempFile {
    TempFile file;
    FilePtr stream;
};
std::optional<OpenTempFile> open_temp_file(std::string_view prefix, const char *step,
                                           std::string *reason = nullptr);

// The document behind uri, downloaded into a new file named prefix followed
// by six unique characters: 0 and document set, or the failure's result
// code after logging why under the caller's step name (and saying it in
// *reason, when given).
int fetch_document(const char *uri, std::string_view prefix, const char *step,
                   std::optional<TempFile> &document, std::string *reason = nullptr);

// Removes the regular files directly in dir whose names are one of the
// prefixes followed by the short suffix the library gives its files: what
// a process that was killed during a run left behind. Never follows a
// symbolic link and never touches a folder. Returns how many it removed.
unsigned remove_stale_temp_files(const std::string &dir,
                                 std::initializer_list<std::string_view> prefixes);

} // namespace korvex::sysconfig
