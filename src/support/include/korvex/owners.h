// Owners for the GLib and C library handles the project holds, so that
// every exit path releases what it took. C++ only; header-only, so that a
// library that links nothing else of libkcommon can use them too.
#pragma once

#include <dirent.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <memory>

#include <glib-object.h>

namespace korvex {

struct GFreeDeleter {
    void operator()(void *p) const noexcept { g_free(p); }
};
using GCharPtr = std::unique_ptr<char, GFreeDeleter>;

// Texts handed to or received from callers that release them with free().
struct FreeDeleter {
    void operator()(void *p) const noexcept { free(p); }
};
using MallocCharPtr = std::unique_ptr<char, FreeDeleter>;

struct GErrorDeleter {
    void operator()(GError *e) const noexcept { g_error_free(e); }
};
using ErrorPtr = std::unique_ptr<GError, GErrorDeleter>;

struct GObjectDeleter {
    void operator()(gpointer o) const noexcept { g_object_unref(o); }
};
template <typename T>
using ObjectPtr = std::unique_ptr<T, GObjectDeleter>;

struct VariantDeleter {
    void operator()(GVariant *v) const noexcept { g_variant_unref(v); }
};
using VariantPtr = std::unique_ptr<GVariant, VariantDeleter>;

struct MainLoopDeleter {
    void operator()(GMainLoop *l) const noexcept { g_main_loop_unref(l); }
};
using MainLoopPtr = std::unique_ptr<GMainLoop, MainLoopDeleter>;

struct MainContextDeleter {
    void operator()(GMainContext *c) const noexcept { g_main_context_unref(c); }
};
using MainContextPtr = std::unique_ptr<GMainContext, MainContextDeleter>;

struct SourceDeleter {
    void operator()(GSource *s) const noexcept { g_source_unref(s); }
};
using SourcePtr = std::unique_ptr<GSource, SourceDeleter>;

struct FileCloser {
    void operator()(FILE *f) const noexcept { fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

struct DirCloser {
    void operator()(DIR *d) const noexcept { closedir(d); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

// fclose that reports whether buffered data reached the file.
inline bool close_stream(FilePtr &stream) noexcept { return fclose(stream.release()) == 0; }

// 0 when everything written to the stream so far reached the file, else
// the error number. A full disk shows only when the buffer is flushed, and
// a write that failed earlier leaves just the stream's error flag behind.
inline int stream_write_error(FILE *stream) noexcept {
    errno = 0;
    if (fflush(stream) != 0)
        return errno != 0 ? errno : EIO;
    return ferror(stream) ? EIO : 0;
}

// A file descriptor closed with its owner.
class UniqueFd {
public:
    explicit UniqueFd(int fd = -1) noexcept : fd_{fd} {}
    UniqueFd(UniqueFd &&other) noexcept : fd_{other.release()} {}
    UniqueFd &operator=(UniqueFd &&other) noexcept {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;
    ~UniqueFd() { reset(); }

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }
    int release() noexcept {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) noexcept {
        if (fd_ >= 0)
            close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

// Receives a GError through its address and owns it afterwards.
class ErrorSlot {
public:
    ErrorSlot() = default;
    ErrorSlot(const ErrorSlot &) = delete;
    ErrorSlot &operator=(const ErrorSlot &) = delete;
    ~ErrorSlot() {
        if (error_ != nullptr)
            g_error_free(error_);
    }

    GError **out() noexcept { return &error_; }
    const GError *get() const noexcept { return error_; }
    const char *message_or(const char *fallback) const noexcept {
        return error_ != nullptr && error_->message != nullptr ? error_->message : fallback;
    }

private:
    GError *error_ = nullptr;
};

} // namespace korvex
