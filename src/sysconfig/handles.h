// Owners for the C handles the library works with, so that every exit
// path of a run releases what it took.
#pragma once

#include <augeas.h>
#include <curl/curl.h>
#include <errno.h>
#include <glib.h>
#include <malloc.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <memory>

#include <korvex/kservice.h>

namespace korvex::sysconfig {

struct GFreeDeleter {
    void operator()(void *p) const noexcept { g_free(p); }
};
using GCharPtr = std::unique_ptr<char, GFreeDeleter>;

// Texts handed to callers that release them with free().
struct FreeDeleter {
    void operator()(void *p) const noexcept { free(p); }
};
using MallocCharPtr = std::unique_ptr<char, FreeDeleter>;

struct GErrorDeleter {
    void operator()(GError *e) const noexcept { g_error_free(e); }
};
using GErrorPtr = std::unique_ptr<GError, GErrorDeleter>;

struct FileCloser {
    void operator()(FILE *f) const noexcept { fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

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

struct AugeasCloser {
    void operator()(augeas *a) const noexcept {
        aug_close(a);
        // A loaded tree is tens of megabytes in small blocks; unless they
        // go back to the system the agent idles at that size until it is
        // restarted.
        malloc_trim(0);
    }
};
using AugeasPtr = std::unique_ptr<augeas, AugeasCloser>;

struct CurlCleanup {
    void operator()(CURL *c) const noexcept { curl_easy_cleanup(c); }
};
using CurlPtr = std::unique_ptr<CURL, CurlCleanup>;

// A process action that has not been started yet; once started it belongs
// to libkservice and must be released from this owner.
struct UnstartedActionFree {
    void operator()(ServicesAction *a) const noexcept { services_action_free(a); }
};
using UnstartedActionPtr = std::unique_ptr<ServicesAction, UnstartedActionFree>;

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

} // namespace korvex::sysconfig
