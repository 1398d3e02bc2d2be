// What the configuration agent announces on the bus.
#pragma once

#include "sysconfig_internal.h"

// key_changed of org.vaduderuvoziz.Sysconfig.Keys for a key whose status
// was just written: its outcome line and time, as the keys list shows them.
void announce_key(const korvex::sysconfig::KeyEntry &entry);
