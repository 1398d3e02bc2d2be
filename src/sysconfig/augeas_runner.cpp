// Applies an augeas command script and records its outcome and output as
// the key's status text. Completes before it returns.
#include <augeas.h>
#include <errno.h>
#include <string.h>
#include <unistd.h>

#include <mutex>
#include <optional>
#include <string>

#include <korvex/kcommon.h>

#include "augeas_errors.h"
#include "augeas_handle.h"
#include "bounded_text.h"
#include "documents.h"
#include "reasons.h"
#include "sysconfig_internal.h"
#include "temp_file.h"

using namespace korvex;
using namespace korvex::sysconfig;

namespace {

constexpr char step[] = "run_augeas";

// aug_srun's value for a script that stopped at a "quit" command: the
// script ended there as planned, which is no failure.
constexpr int srun_quit = -2;

// The one augeas writer: every run may save, and a save writes whole files
// from the tree it loaded at its start, so two runs that overlap lose each
// other's edits. Held from the load to the end of the script.
std::mutex augeas_writer;

// Room the status text keeps for augeas's reason after a failed script's
// output, however much output there was.
constexpr size_t failure_reason_max = 64 * 1024;

// The script behind uri: 0 and script set, or the failure's result code.
int fetch_script(const char *uri, GCharPtr &script, std::string *reason) {
    std::optional<TempFile> document;
    if (const int rc = fetch_document(uri, augeas_temp_prefix, step, document, reason);
        rc != KX_RES_OK)
        return rc;

    gchar *contents = nullptr;
    ErrorSlot error;
    if (!g_file_get_contents(document->path().c_str(), &contents, nullptr, error.out())) {
        kx_log(KX_LOG_ERR, "%s: Unable to read downloaded file: %s", step,
               error.message_or("Unknown error"));
        return because(reason, static_cast<int>(KX_RES_DOWNLOAD_FAILED),
                       std::string{"cannot read the downloaded script: "} +
                           error.message_or("Unknown error"));
    }
    script.reset(contents);
    return KX_RES_OK;
}

} // namespace

int augeas_script(const char *uri, const char *text, GCharPtr &script, std::string *reason) {
    if (uri != nullptr)
        return fetch_script(uri, script, reason);
    if (text == nullptr) {
        kx_log(KX_LOG_ERR, "%s: No uri/data provided for augeas", step);
        return because(reason, static_cast<int>(KX_RES_BAD_ARGUMENT),
                       std::string{"neither a URI nor a script was given"});
    }
    script.reset(g_strdup(text));
    return KX_RES_OK;
}

int korvex::sysconfig::run_augeas(const char *uri, const char *text, const char *key,
                                  kx_sysconfig_cb callback, void *user_data, std::string *reason) {
    GCharPtr script;
    if (const int rc = augeas_script(uri, text, script, reason); rc != KX_RES_OK)
        return rc;

    std::optional<OpenTempFile> output = open_temp_file(augeas_temp_prefix, step, reason);
    if (!output)
        return KX_RES_SYSTEM_ERROR;
    FilePtr &stream = output->stream;

    int status;
    // Why the commands failed, as augeas tells it, after their output.
    std::string failure;
    {
        std::lock_guard writing(augeas_writer);
        AugeasPtr aug{aug_init("", "", AUG_SAVE_BACKUP)};
        if (!aug) {
            kx_log(KX_LOG_ERR, "%s: Unable to initialize augeas", step);
            return because(reason, static_cast<int>(KX_RES_FAILED),
                           std::string{"augeas could not be initialised"});
        }
        status = aug_srun(aug.get(), stream.get(), script.get());
        if (status < 0 && status != srun_quit)
            append_bounded(failure, augeas_failure(aug.get()), failure_reason_max);
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
    const int fd = fileno(stream.get());
    int read_errno = stream_write_error(stream.get());
    errno = 0;
    if (read_errno == 0 && (lseek(fd, 0, SEEK_SET) != 0 ||
                            !append_bounded(status_text, fd, status_text_max - failure.size())))
        read_errno = errno != 0 ? errno : EIO;
    errno = 0;
    if (read_errno == 0 && !close_stream(stream))
        read_errno = errno != 0 ? errno : EIO;
    if (read_errno != 0) {
        kx_log(KX_LOG_ERR, "%s: Unable to read augeas results: %s", step, g_strerror(read_errno));
        return because(reason, static_cast<int>(KX_RES_FAILED),
                       std::string{"cannot read augeas's output: "} + g_strerror(read_errno));
    }
    if (!failure.empty() && !status_text.ends_with('\n'))
        status_text += '\n';
    status_text += failure;

    // Completing with 0 would make the caller report whatever status the
    // key held before as this run's outcome; the write failure is logged.
    if (const uint32_t stored = set_key(key, status_text.c_str(), reason); stored != KX_RES_OK)
        return static_cast<int>(stored);

    if (callback != nullptr)
        callback(user_data, 0);
    return KX_RES_OK;
}

extern "C" int run_augeas(const char *uri, const char *text, const char *key,
                          kx_sysconfig_cb callback, void *user_data) {
    return korvex::sysconfig::run_augeas(uri, text, key, callback, user_data, nullptr);
}
