// Applies an augeas command script and records its outcome and output as
// the key's status text. Completes before it returns.
#include <augeas.h>
#include <errno.h>
#include <string.h>

#include <optional>
#include <string>

#include <korvex/kcommon.h>

#include "handles.h"
#include "sysconfig_internal.h"
#include "temp_file.h"

using korvex::sysconfig::AugeasPtr;
using korvex::sysconfig::close_stream;
using korvex::sysconfig::ErrorSlot;
using korvex::sysconfig::FilePtr;
using korvex::sysconfig::GCharPtr;
using korvex::sysconfig::TempFile;

namespace {

constexpr char step[] = "run_augeas";
constexpr char temp_prefix[] = "augeas_conf_";

// A temporary file opened as a stream, or nothing after logging why.
struct OpenTempFile {
    TempFile file;
    FilePtr stream;
};

std::optional<OpenTempFile> open_temp_file()
{
    std::optional<TempFile> file = TempFile::create(temp_prefix);
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
int fetch_script(const char *uri, GCharPtr &script)
{
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

extern "C" int run_augeas(const char *uri, const char *text, const char *key,
                          kx_sysconfig_cb callback, void *user_data)
{
    GCharPtr script;
    if (uri != nullptr) {
        const int rc = fetch_script(uri, script);
        if (rc != KX_RES_OK)
            return rc;
    } else if (text == nullptr) {
        kx_log(KX_LOG_ERR, "%s: No uri/data provided for augeas", step);
        return KX_RES_BAD_ARGUMENT;
    } else {
        script.reset(g_strdup(text));
    }

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
        kx_log(KX_LOG_INFO, "%s: run_augeas for key \"%s\" exited with status %d and data \"%s\"",
               step, key, status, script.get());
    }
    script.reset();

    const int close_errno = close_stream(output->stream) ? 0 : errno;
    gchar *result_text = nullptr;
    ErrorSlot error;
    if (close_errno != 0 ||
        !g_file_get_contents(output->file.path().c_str(), &result_text, nullptr, error.out())) {
        kx_log(KX_LOG_ERR, "%s: Unable to read augeas results: %s", step,
               close_errno != 0 ? g_strerror(close_errno) : error.message_or("Unknown error"));
        return KX_RES_FAILED;
    }
    GCharPtr result_owner{result_text};

    GCharPtr status_text{status < 0 ? g_strdup_printf("FAILED\n%d\n%s", status, result_text)
                                    : g_strdup_printf("OK\n%s", result_text)};

    // Completing with 0 would make the caller report whatever status the
    // key held before as this run's outcome; the write failure is logged.
    if (const uint32_t stored = kx_sysconfig_set_configured(key, status_text.get());
        stored != KX_RES_OK)
        return static_cast<int>(stored);

    if (callback != nullptr)
        callback(user_data, 0);
    return KX_RES_OK;
}
