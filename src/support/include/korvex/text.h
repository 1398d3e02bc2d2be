// Text that came from outside (callers, tools, the host) made fit for a
// log line. C++ only: used inside the project, not part of the C seams.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include <korvex/export.h>

namespace korvex {

// Whether printable() also escapes '"' and '\\' with a backslash: for
// values a log line puts in double quotes, which a hostile value must not
// be able to close.
enum class Quotes { kept, escaped };

// The text with control characters and bytes that are not part of valid
// UTF-8 written as \xHH, so that nothing a caller sends can start a line
// or forge another program's output; at most about `max_bytes` bytes of
// it, the rest counted in a closing "...(N more bytes)".
KX_EXPORT std::string printable(std::string_view text, std::size_t max_bytes = 256,
                                Quotes quotes = Quotes::kept);

} // namespace korvex
