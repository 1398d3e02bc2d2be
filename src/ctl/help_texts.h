// The --help texts of korvexctl and its commands.
#ifndef KORVEXCTL_HELP_TEXTS_H
#define KORVEXCTL_HELP_TEXTS_H

#include <string>

namespace korvex::ctl {

// `topic` is the command path ("", "sysconfig", "sysconfig run-string",
// "network list", "get", ...). Unknown topics fall back to the nearest
// enclosing one.
std::string help_text(const std::string &topic);

} // namespace korvex::ctl

#endif
