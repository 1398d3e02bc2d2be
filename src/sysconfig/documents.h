// The document of a run or a preview, as each tool takes it: an augeas
// script in memory, a puppet manifest in a temporary file.
#pragma once

#include <optional>
#include <string>

#include <korvex/owners.h>

#include "temp_file.h"

// Fetched from uri, or a copy of text: 0 and script set, or the failure's
// result code (and *reason, when given, saying why).
int augeas_script(const char *uri, const char *text, korvex::GCharPtr &script,
                  std::string *reason = nullptr);

// In a new temporary file, fetched from uri or holding text: 0 and manifest
// set, or the failure's result code (and *reason, when given, saying why).
int manifest_file(const char *uri, const char *text,
                  std::optional<korvex::sysconfig::TempFile> &manifest,
                  std::string *reason = nullptr);
