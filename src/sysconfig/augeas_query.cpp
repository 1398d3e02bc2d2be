// Reads one value from the augeas tree.
#include <augeas.h>
#include <string.h>

#include <glib.h>

#include <string>

#include "augeas_handle.h"
#include "bounded_text.h"
#include "sysconfig_internal.h"

using korvex::sysconfig::append_bounded;
using korvex::sysconfig::AugeasPtr;
using korvex::sysconfig::malloc_copy;

extern "C" char *sysconfig_os_query(const char *text, uint32_t /*flags*/, const char *scheme) {
    if (text == nullptr || scheme == nullptr || g_ascii_strcasecmp(scheme, "augeas") != 0)
        return nullptr;

    AugeasPtr aug{aug_init("", "", AUG_NONE)};
    if (!aug)
        return nullptr;

    // augeas sets the value only for a path that matches exactly one node.
    const char *value = nullptr;
    aug_get(aug.get(), text, &value);
    if (value == nullptr)
        return nullptr;
    // Bounded like a status text: a value is read from any file on the host.
    std::string bounded;
    append_bounded(bounded, value);
    return malloc_copy(bounded);
}
