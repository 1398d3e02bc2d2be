// What the agents must report about their host, worked out by the test on its own.
#ifndef KORVEX_TEST_HOST_IDENTITY_H
#define KORVEX_TEST_HOST_IDENTITY_H

#include <unistd.h>

#include "temp_dir.h"

namespace korvex::test {

// /etc/machine-id in UUID form (8-4-4-4-12).
inline std::string expected_uuid() {
    const std::string id = read_file("/etc/machine-id").substr(0, 32);
    return id.substr(0, 8) + "-" + id.substr(8, 4) + "-" + id.substr(12, 4) + "-" +
           id.substr(16, 4) + "-" + id.substr(20, 12);
}

inline std::string expected_hostname() {
    char buf[256] = {};
    gethostname(buf, sizeof buf - 1);
    return buf;
}

} // namespace korvex::test

#endif
