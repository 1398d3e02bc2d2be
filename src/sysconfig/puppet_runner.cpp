// Applies a puppet manifest through an asynchronous puppet process and
// records the outcome when the process ends.
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <memory>
#include <optional>
#include <string>

#include <glib.h>

#include <korvex/kcommon.h>
#include <korvex/kservice.h>

#include "documents.h"
#include "handles.h"
#include "sysconfig_internal.h"
#include "temp_file.h"

using korvex::sysconfig::close_stream;
using korvex::sysconfig::FilePtr;
using korvex::sysconfig::puppet_temp_prefix;
using korvex::sysconfig::TempFile;
using korvex::sysconfig::UnstartedActionPtr;

namespace {

// puppet apply --detailed-exitcodes: 2 means changes were applied, 4 and
// 6 that resources failed. Without the flag a failed resource still
// exits with 0.
constexpr int exit_changes_applied = 2;

struct PuppetRunFree {
    void operator()(PuppetRun *run) const noexcept {
        free(run->key);
        free(run->path);
        g_free(run);
    }
};
using PuppetRunPtr = std::unique_ptr<PuppetRun, PuppetRunFree>;

PuppetRunPtr new_puppet_run(const char *key, const std::string &path, kx_sysconfig_cb callback,
                            void *user_data, bool detailed_exit_codes) {
    PuppetRunPtr run{g_try_new0(PuppetRun, 1)};
    if (!run)
        return run;
    run->key = strdup(key);
    run->path = strdup(path.c_str());
    if (run->key == nullptr || run->path == nullptr)
        return PuppetRunPtr{};
    run->callback = callback;
    run->user_data = user_data;
    run->detailed_exit_codes = detailed_exit_codes ? TRUE : FALSE;
    return run;
}

// The manifest behind uri in a new file: 0 and manifest set, or the
// failure's result code.
int fetch_manifest(const char *uri, std::optional<TempFile> &manifest) {
    std::optional<TempFile> file = TempFile::create(puppet_temp_prefix);
    if (!file)
        return KX_RES_SYSTEM_ERROR;
    FilePtr stream = file->open_stream();
    if (!stream)
        return KX_RES_SYSTEM_ERROR;
    const int rc = sysconfig_os_download(uri, stream.get());
    const bool closed = close_stream(stream);
    if (rc != KX_RES_OK)
        return rc;
    // The end of the manifest may not have reached the file.
    if (!closed)
        return KX_RES_SYSTEM_ERROR;
    manifest = std::move(file);
    return KX_RES_OK;
}

// A new file "puppet_conf_<random>" that holds the inline manifest. The
// name must be one no pending run uses: writing over a pending run's
// manifest would make it apply the wrong document.
int write_manifest(const char *text, std::optional<TempFile> &manifest) {
    std::optional<TempFile> file;
    for (int attempt = 0; attempt < 64 && !file; ++attempt) {
        file = TempFile::create_exclusive(std::string{puppet_temp_prefix} +
                                          std::to_string(g_random_int()));
        if (!file && errno != EEXIST)
            break;
    }
    // Starting puppet on a missing or partial manifest would only hide
    // this failure behind puppet's exit status.
    if (!file || file->write_contents(text) != 0)
        return KX_RES_SYSTEM_ERROR;
    manifest = std::move(file);
    return KX_RES_OK;
}

// The process could not be started: the key says so, the caller gets 4.
int fail_to_start(const char *key) {
    if (kx_sysconfig_set_configured(key, "ERROR") != KX_RES_OK)
        kx_log(KX_LOG_ERR, "%s: Unable to write to file.", "run_puppet");
    return KX_RES_FAILED;
}

} // namespace

int manifest_file(const char *uri, const char *text, std::optional<TempFile> &manifest) {
    if (uri != nullptr)
        return fetch_manifest(uri, manifest);
    if (text == nullptr)
        return KX_RES_BAD_ARGUMENT;
    return write_manifest(text, manifest);
}

extern "C" int run_puppet(const char *uri, const char *text, const char *key,
                          kx_sysconfig_cb callback, void *user_data) {
    unsigned int major = 0;
    int rc = check_puppet(&major);
    if (rc != KX_RES_OK)
        return rc;

    std::optional<TempFile> manifest;
    rc = manifest_file(uri, text, manifest);
    if (rc != KX_RES_OK)
        return rc;

    const bool apply = major >= 2;
    const char *path = manifest->path().c_str();
    const char *apply_args[] = {"apply", "--detailed-exitcodes", path, nullptr};
    const char *legacy_args[] = {path, nullptr};

    UnstartedActionPtr action{
        kx_services_action_create_generic("puppet", apply ? apply_args : legacy_args)};
    if (!action)
        return fail_to_start(key);

    PuppetRunPtr run = new_puppet_run(key, manifest->path(), callback, user_data, apply);
    if (!run)
        return fail_to_start(key);
    action->cb_data = run.get();
    action->id = strdup("puppet");

    kx_log(KX_LOG_INFO, "%s: Running puppet %s%s", "run_puppet",
           apply ? "apply --detailed-exitcodes " : "", path);

    if (!services_action_async(action.get(), action_cb)) {
        action.reset();
        run.reset();
        return fail_to_start(key);
    }

    // libkservice owns the action now; action_cb releases the record and
    // removes the manifest.
    action.release();
    run.release();
    manifest->release();
    return KX_RES_OK;
}

extern "C" void action_cb(ServicesAction *action) {
    if (action == nullptr || action->cb_data == nullptr)
        return;
    PuppetRunPtr run{static_cast<PuppetRun *>(action->cb_data)};
    action->cb_data = nullptr;

    const int exit_status = action->exit_status;
    const bool succeeded =
        exit_status == 0 || (run->detailed_exit_codes && exit_status == exit_changes_applied);

    char status_text[32];
    if (succeeded)
        g_strlcpy(status_text, "OK", sizeof status_text);
    else
        g_snprintf(status_text, sizeof status_text, "FAILED\n%d", exit_status);

    int result = succeeded ? 0 : exit_status;
    if (kx_sysconfig_set_configured(run->key, status_text) != KX_RES_OK) {
        kx_log(KX_LOG_ERR, "%s: Unable to write to key file '%s'", "action_cb", run->key);
        // The caller would otherwise read an older status as this run's.
        if (result == 0)
            result = KX_RES_SYSTEM_ERROR;
    }

    if (run->callback != nullptr)
        run->callback(run->user_data, result);

    unlink(run->path);
}
