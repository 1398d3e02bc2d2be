// What a program run under isolated_host_view.sh wrote outside the folders
// it shared with the test: every entry in the upper folders of the layers.
// Standard library only, so any test program can link it.
#ifndef KORVEX_TESTS_SOAK_LAYERED_WRITES_H
#define KORVEX_TESTS_SOAK_LAYERED_WRITES_H

#include <string>
#include <vector>

namespace korvex::test {

// Paths as the program saw them ("/tmp/x", "/etc/y"), but for the keys
// directory's mount point, and puppet's own state under /var/lib/puppet
// when puppet_ran is set.
std::vector<std::string> layered_writes(const std::string &state, bool puppet_ran = false);

// Names of the entries in a folder, sorted; none if there is no folder.
std::vector<std::string> sorted_entries(const std::string &dir);

} // namespace korvex::test

#endif
