// Reads one value from the augeas tree.
#include <augeas.h>
#include <string.h>

#include <glib.h>

#include "handles.h"
#include "sysconfig_internal.h"

using korvex::sysconfig::AugeasPtr;

extern "C" char *sysconfig_os_query(const char *text, uint32_t /*flags*/, const char *scheme)
{
    if (text == nullptr || scheme == nullptr || g_ascii_strcasecmp(scheme, "augeas") != 0)
        return nullptr;

    AugeasPtr aug{aug_init("", "", AUG_NONE)};
    if (!aug)
        return nullptr;

    // augeas sets the value only for a path that matches exactly one node.
    const char *value = nullptr;
    aug_get(aug.get(), text, &value);
    return value != nullptr ? strdup(value) : nullptr;
}
