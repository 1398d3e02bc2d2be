// KORVEX_PORT and TPX_G_SERVICE_PORT are free text from the environment.
// Whatever they hold, a port is either refused or exactly the number the
// text starts with; a value that does not fit never wraps to another port.
#include "fuzz_support.h"

#include <port_text.h>

namespace {

// The leading decimal number after white space and an optional '+', or
// nothing when there are no digits or the number exceeds 65535.
std::optional<unsigned short> leading_number(std::string_view text) {
    size_t i = text.find_first_not_of(kCSpaces);
    if (i < text.size() && text[i] == '+')
        ++i;
    if (i >= text.size() || !is_c_digit(text[i]))
        return std::nullopt;
    unsigned long value = 0;
    for (; i < text.size() && is_c_digit(text[i]); ++i) {
        value = value * 10 + static_cast<unsigned long>(text[i] - '0');
        if (value > 65535)
            return std::nullopt;
    }
    return static_cast<unsigned short>(value);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string_view text(reinterpret_cast<const char *>(data), size);

    std::optional<unsigned short> parsed = korvex::broker::parse_leading_port(text);
    std::optional<unsigned short> expected = leading_number(text);
    require(parsed == expected, "leading port differs from the number the text starts with", text);
    // The environment hands over C text; "%hu" must agree where it does not wrap.
    if (parsed && text.find('\0') == std::string_view::npos) {
        unsigned short scanned = 0;
        require(std::sscanf(std::string(text).c_str(), "%hu", &scanned) == 1 && scanned == *parsed,
                "leading port differs from what %hu reads", text);
    }

    const bool whole_port = korvex::broker::is_port_number(text);
    const bool digits_only = !text.empty() && text.size() <= 5 &&
                             text.find_first_not_of("0123456789") == std::string_view::npos;
    const bool expected_whole = digits_only && leading_number(text).value_or(0) != 0;
    require(whole_port == expected_whole, "port check disagrees with 1 to 65535 in 1 to 5 digits",
            text);
    return 0;
}
