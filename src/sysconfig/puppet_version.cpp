// Finds the major version of the installed puppet, which decides how it
// is invoked.
#include <stdio.h>
#include <string.h>

#include <glib.h>

#include <korvex/kcommon.h>

#include "handles.h"
#include "sysconfig_internal.h"

using korvex::sysconfig::ErrorSlot;
using korvex::sysconfig::GCharPtr;

extern "C" int check_puppet(unsigned int *major)
{
    static constexpr char step[] = "check_puppet";

    const gchar *argv[] = {"puppet", "--version", nullptr};
    gchar *out = nullptr;
    ErrorSlot error;
    if (!g_spawn_sync(nullptr, const_cast<gchar **>(argv), nullptr, G_SPAWN_SEARCH_PATH, nullptr,
                      nullptr, &out, nullptr, nullptr, error.out())) {
        kx_log(KX_LOG_ERR, "%s: Failed to check puppet version: (%d) %s", step,
               error.get() != nullptr ? error.get()->code : -1, error.message_or("Unknown error"));
        return KX_RES_FAILED;
    }
    GCharPtr output{out != nullptr ? out : g_strdup("")};

    GCharPtr copy{g_strdup(output.get())};
    char *dot = strchr(copy.get(), '.');
    if (dot == nullptr) {
        kx_log(KX_LOG_ERR, "%s: Unexpected output from 'puppet --version': '%s'", step,
               output.get());
        return KX_RES_FAILED;
    }
    *dot = '\0';

    // "%u" alone would also take a sign and turn "-1" into a huge version.
    const char *number = copy.get();
    // "%u" skips the vertical tab as well, which g_ascii_isspace does not.
    while (g_ascii_isspace(*number) || *number == '\v')
        ++number;
    unsigned int version = 0;
    if (!g_ascii_isdigit(*number) || sscanf(number, "%u", &version) != 1) {
        kx_log(KX_LOG_ERR, "%s: Failed to parse outpuet from 'puppet --version': '%s'", step,
               output.get());
        return KX_RES_FAILED;
    }
    if (major != nullptr)
        *major = version;
    return KX_RES_OK;
}
