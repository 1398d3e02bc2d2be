// Applies an augeas command script and records its outcome and output as
// the key's status text. Completes before it returns.
#include <augeas.h>
#include <errno.h>
#include <string.h>
#include <unistd.h>

#include <optional>
#include <string>

#include <korvex/kcommon.h>

#include "bounded_text.h"
#include "documents.h"
#include "handles.h"
#include "sysconfig_internal.h"
#include "temp_file.h"

using korvex::sysconfig::append_bounded;
using korvex::sysconfig::augeas_temp_prefix;
using korvex::sysconfig::AugeasPtr;
using korvex::sysconfig::close_stream;
using korvex::sysconfig::ErrorSlot;
using korvex::sysconfig::FilePtr;
using korvex::sysconfig::GCharPtr;
using korvex::sysconfig::stream_write_error;
using korvex::sysconfig::TempFile;

namespace {

constexpr char step[] = "run_augeas";

// aug_srun's value for a script that stopped at a "quit" command: the
// script ended there as planned, which is no failure.
constexpr int srun_quit = -2;

// A temporary file opened as a stream, or nothing after logging why.
struct OpenTempFile {
    TempFile file;
    FilePtr stream;
};

std::optional<OpenTempFile> open_temp_file() {
    std::optional<TempFile> file = TempFile::create(augeas_temp_prefix);
    if (!file) {
        kx_log(KX_LOG_ERR, "%s: Unable to create temporary file", step);
        return std::nullopt;
    }
    FilePtr stream = file->open_stream();
    if (!stream) {
        kx_log(KX_LOG_ERR, "%s: Unable to open temporary file", step);
        return std::nullopt;
    }
    return OpenTempFile{std::move(*file), std::move(stream)};
}

// The script behind uri: 0 and script set, or the failure's result code.
int fetch_script(const char *uri, GCharPtr &script) {
    std::optional<OpenTempFile> doc = open_temp_file();
    if (!doc)
        return KX_RES_SYSTEM_ERROR;

    const int rc = sysconfig_os_download(uri, doc->stream.get());
    const int close_errno = close_stream(doc->stream) ? 0 : errno;
    if (rc != 0) {
        kx_log(KX_LOG_ERR, "%s: Unable to download file from uri %s", step, uri);
        return rc;
    }
    // A failed close can lose the end of the document; running what is
    // left of a script would apply only part of it.
    if (close_errno != 0) {
        kx_log(KX_LOG_ERR, "%s: Unable to read downloaded file: %s", step, g_strerror(close_errno));
        return KX_RES_DOWNLOAD_FAILED;
    }

    gchar *contents = nullptr;
    ErrorSlot error;
    if (!g_file_get_contents(doc->file.path().c_str(), &contents, nullptr, error.out())) {
        kx_log(KX_LOG_ERR, "%s: Unable to read downloaded file: %s", step,
               error.message_or("Unknown error"));
        return KX_RES_DOWNLOAD_FAILED;
    }
    script.reset(contents);
    return KX_RES_OK;
}

} // namespace

int augeas_script(const char *uri, const char *text, GCharPtr &script) {
    if (uri != nullptr)
        return fetch_script(uri, script);
    if (text == nullptr) {
        kx_log(KX_LOG_ERR, "%s: No uri/data provided for augeas", step);
        return KX_RES_BAD_ARGUMENT;
    }
    script.reset(g_strdup(text));
    return KX_RES_OK;
}

extern "C" int run_augeas(const char *uri, const char *text, const char *key,
                          kx_sysconfig_cb callback, void *user_data) {
    GCharPtr script;
    if (const int rc = augeas_script(uri, text, script); rc != KX_RES_OK)
        return rc;

    std::optional<OpenTempFile> output = open_temp_file();
    if (!output)
        return KX_RES_SYSTEM_ERROR;

    int status;
    {
        AugeasPtr aug{aug_init("", "", AUG_SAVE_BACKUP)};
        if (!aug) {
            kx_log(KX_LOG_ERR, "%s: Unable to initialize augeas", step);
            return KX_RES_FAILED;
        }
        status = aug_srun(aug.get(), output->stream.get(), script.get());
        // A script may hold passwords or keys: its text only at trace level.
        kx_log(KX_LOG_INFO,
               "%s: run_augeas for key \"%s\" exited with status %d and data of %zu bytes", step,
               key, status, strlen(script.get()));
        kx_log(KX_LOG_TRACE, "%s: run_augeas for key \"%s\" exited with status %d and data \"%s\"",
               step, key, status, script.get());
    }
    script.reset();

    std::string status_text =
        status < 0 && status != srun_quit ? "FAILED\n" + std::to_string(status) + "\n" : "OK\n";
    // Output that did not all reach the file (a full disk) must not be
    // recorded as the run's whole outcome.
    FILE *stream = output->stream.get();
    int read_errno = stream_write_error(stream);
    errno = 0;
    if (read_errno == 0 &&
        (lseek(fileno(stream), 0, SEEK_SET) != 0 || !append_bounded(status_text, fileno(stream))))
        read_errno = errno != 0 ? errno : EIO;
    errno = 0;
    if (read_errno == 0 && !close_stream(output->stream))
        read_errno = errno != 0 ? errno : EIO;
    if (read_errno != 0) {
        kx_log(KX_LOG_ERR, "%s: Unable to read augeas results: %s", step, g_strerror(read_errno));
        return KX_RES_FAILED;
    }

    // Completing with 0 would make the caller report whatever status the
    // key held before as this run's outcome; the write failure is logged.
    if (const uint32_t stored = kx_sysconfig_set_configured(key, status_text.c_str());
        stored != KX_RES_OK)
        return static_cast<int>(stored);

    if (callback != nullptr)
        callback(user_data, 0);
    return KX_RES_OK;
}
