// What the agents must report about the host they run on, worked out by
// the test on its own.
#ifndef KORVEX_TEST_HOST_IDENTITY_H
#define KORVEX_TEST_HOST_IDENTITY_H

#include <string>

namespace korvex::test {

// /etc/machine-id in UUID form (8-4-4-4-12).
std::string expected_uuid();
// The kernel's host name.
std::string expected_hostname();

} // namespace korvex::test

#endif
