// Reads back what a program run under isolated_host_view.sh wrote outside
// the folders it shared with the test: every entry in the upper folders of
// the layers. Uses nothing but the standard library, so any test program
// can link it.
#ifndef KORVEX_TESTS_SOAK_LAYERED_WRITES_H
#define KORVEX_TESTS_SOAK_LAYERED_WRITES_H

#include <string>
#include <vector>

namespace korvex::test {

// Paths as the program saw them ("/tmp/x", "/etc/y"). The mount point of
// the keys directory is left out, and so is puppet's own state under
// /var/lib/puppet when puppet_ran is set; anything in the keys folder's
// parent but the keys directory itself is included.
std::vector<std::string> layered_writes(const std::string &state, bool puppet_ran = false);

} // namespace korvex::test

#endif
