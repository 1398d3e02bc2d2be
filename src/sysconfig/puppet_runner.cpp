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

#include "bounded_text.h"
#include "documents.h"
#include "reasons.h"
#include "sysconfig_internal.h"
#include "temp_file.h"

using namespace korvex::sysconfig;

namespace {

constexpr char step[] = "run_puppet";

// puppet apply --detailed-exitcodes: 2 means changes were applied, 4 and
// 6 that resources failed. Without the flag a failed resource still
// exits with 0.
constexpr int exit_changes_applied = 2;

// How much of what puppet printed during a run reaches the log.
constexpr size_t output_logged_max = 64 * 1024;

// One pending puppet run, attached to its process action.
struct PuppetRun {
    std::string key;
    std::string path;
    kx_sysconfig_cb callback;
    void *user_data;
    // puppet was asked for --detailed-exitcodes: 2 means "changes applied".
    bool detailed_exit_codes;
    // Where puppet's standard output and error go while it runs.
    korvex::FilePtr output;
};

// A process action that has not been started yet; once started it belongs
// to libkservice and must be released from this owner.
struct UnstartedActionFree {
    void operator()(ServicesAction *a) const noexcept { services_action_free(a); }
};
using UnstartedActionPtr = std::unique_ptr<ServicesAction, UnstartedActionFree>;

// A new file "puppet_conf_<random>" that holds the inline manifest. The
// name must be one no pending run uses: writing over a pending run's
// manifest would make it apply the wrong document.
int write_manifest(const char *text, std::optional<TempFile> &manifest, std::string *reason) {
    std::optional<TempFile> file;
    for (int attempt = 0; attempt < 64 && !file; ++attempt) {
        file = TempFile::create_exclusive(std::string{puppet_temp_prefix} +
                                          std::to_string(g_random_int()));
        if (!file && errno != EEXIST)
            break;
    }
    // Starting puppet on a missing or partial manifest would only hide
    // this failure behind puppet's exit status.
    const int error = !file ? (errno != 0 ? errno : EIO) : file->write_contents(text);
    if (error != 0)
        return because(reason, static_cast<int>(KX_RES_SYSTEM_ERROR),
                       std::string{"cannot write the manifest to the working directory: "} +
                           g_strerror(error));
    manifest = std::move(file);
    return KX_RES_OK;
}

// The process could not be started: the key says so, the caller gets 4.
int fail_to_start(const char *key, const char *why, std::string *reason) {
    if (kx_sysconfig_set_configured(key, "ERROR") != KX_RES_OK)
        kx_log(KX_LOG_ERR, "%s: Unable to write to file.", step);
    return because(reason, static_cast<int>(KX_RES_FAILED),
                   std::string{why != nullptr ? why : "cannot start puppet"});
}

// What puppet printed, a line of the agent's log for each of its lines.
void log_output(PuppetRun &run) {
    std::string text;
    const int fd = fileno(run.output.get());
    if (lseek(fd, 0, SEEK_SET) != 0 || !append_bounded(text, fd, output_logged_max))
        return;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        if (end > start)
            kx_log(KX_LOG_INFO, "%s: puppet for key \"%s\": %.*s", step, run.key.c_str(),
                   static_cast<int>(end - start), text.data() + start);
        start = end + 1;
    }
}

// Completion of a puppet process action.
void action_cb(ServicesAction *action) {
    if (action == nullptr || action->cb_data == nullptr)
        return;
    std::unique_ptr<PuppetRun> run{static_cast<PuppetRun *>(action->cb_data)};
    action->cb_data = nullptr;

    log_output(*run);
    const int exit_status = action->exit_status;
    const bool succeeded =
        exit_status == 0 || (run->detailed_exit_codes && exit_status == exit_changes_applied);
    const std::string status_text = succeeded ? "OK" : "FAILED\n" + std::to_string(exit_status);

    int result = succeeded ? 0 : exit_status;
    if (kx_sysconfig_set_configured(run->key.c_str(), status_text.c_str()) != KX_RES_OK) {
        kx_log(KX_LOG_ERR, "%s: Unable to write to key file '%s'", "action_cb", run->key.c_str());
        // The caller would otherwise read an older status as this run's.
        if (result == 0)
            result = KX_RES_SYSTEM_ERROR;
    }

    if (run->callback != nullptr)
        run->callback(run->user_data, result);

    unlink(run->path.c_str());
}

} // namespace

int manifest_file(const char *uri, const char *text, std::optional<TempFile> &manifest,
                  std::string *reason) {
    if (uri != nullptr)
        return fetch_document(uri, puppet_temp_prefix, step, manifest, reason);
    if (text == nullptr)
        return because(reason, static_cast<int>(KX_RES_BAD_ARGUMENT),
                       std::string{"neither a URI nor a manifest was given"});
    return write_manifest(text, manifest, reason);
}

int korvex::sysconfig::run_puppet(const char *uri, const char *text, const char *key,
                                  kx_sysconfig_cb callback, void *user_data, std::string *reason) {
    unsigned int major = 0;
    int rc = check_puppet(&major, reason);
    if (rc != KX_RES_OK)
        return rc;

    std::optional<TempFile> manifest;
    rc = manifest_file(uri, text, manifest, reason);
    if (rc != KX_RES_OK)
        return rc;
    std::optional<OpenTempFile> output = open_temp_file(puppet_temp_prefix, step, reason);
    if (!output)
        return KX_RES_SYSTEM_ERROR;
    // Only the open file is needed: nothing is left behind whichever way the
    // run ends, not even when the agent is killed.
    output->file.remove();

    // Colour codes would reach the log as escapes.
    const bool apply = major >= 2;
    const char *path = manifest->path().c_str();
    const char *apply_args[] = {"apply", "--detailed-exitcodes", "--color=false", path, nullptr};
    const char *legacy_args[] = {path, nullptr};

    UnstartedActionPtr action{
        kx_services_action_create_generic("puppet", apply ? apply_args : legacy_args)};
    if (!action)
        return fail_to_start(key, nullptr, reason);
    kx_services_action_set_output(action.get(), fileno(output->stream.get()));

    auto run = std::make_unique<PuppetRun>(
        PuppetRun{key, manifest->path(), callback, user_data, apply, std::move(output->stream)});
    action->cb_data = run.get();
    action->id = strdup("puppet");

    kx_log(KX_LOG_INFO, "%s: Running puppet %s%s", step,
           apply ? "apply --detailed-exitcodes --color=false " : "", path);

    if (!services_action_async(action.get(), action_cb)) {
        const std::string why = kx_services_action_start_error(action.get()) != nullptr
                                    ? kx_services_action_start_error(action.get())
                                    : "cannot start puppet";
        action.reset();
        run.reset();
        return fail_to_start(key, why.c_str(), reason);
    }

    // libkservice owns the action now; action_cb releases the record and
    // removes the manifest.
    action.release();
    run.release();
    manifest->release();
    return KX_RES_OK;
}

extern "C" int run_puppet(const char *uri, const char *text, const char *key,
                          kx_sysconfig_cb callback, void *user_data) {
    return korvex::sysconfig::run_puppet(uri, text, key, callback, user_data, nullptr);
}
