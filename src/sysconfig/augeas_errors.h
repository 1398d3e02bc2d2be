// What augeas says about a failure, written as augtool writes it: for the
// status text of a failed run and the report of a failed preview, which
// must give the same reason for the same script.
#pragma once

#include <augeas.h>

#include <string>

namespace korvex::sysconfig {

// The failed command's error as augtool prints it: "error: " and the
// message, then the minor message and the details on lines of their own.
// Empty when augeas reports no error.
std::string augeas_error_lines(augeas *aug);

// The error entries of the tree that match `expression` (".../error"
// nodes), each as augtool's "errors" command prints it: the file with the
// position or the tree node and the kind of error, the message, the lens.
// Errors of loading files are left out: some files fail to parse on every
// host, which says nothing about the script at hand.
std::string augeas_error_entries(augeas *aug, const char *expression);

// Why a script failed: its command's error and what augeas recorded
// (a failed save records the file, the lens and the reason there).
std::string augeas_failure(augeas *aug);

} // namespace korvex::sysconfig
