#include "reasons.h"

#include <korvex/text.h>

namespace korvex::sysconfig {

std::string quoted(std::string_view text, size_t budget) {
    // printable() may pass its bound by one escape or one character.
    constexpr size_t overshoot = 4;
    return "\"" + printable(text, budget > overshoot ? budget - overshoot : 1, Quotes::escaped) +
           "\"";
}

std::string shown_uri(std::string_view uri) {
    std::string_view rest = uri;
    std::string head;
    if (const size_t scheme_end = uri.find("://"); scheme_end != std::string_view::npos) {
        const size_t authority = scheme_end + 3;
        const size_t authority_end = uri.find_first_of("/?#", authority);
        const std::string_view host_part = uri.substr(authority, authority_end - authority);
        if (const size_t at = host_part.rfind('@'); at != std::string_view::npos) {
            head = std::string{uri.substr(0, authority)};
            rest = uri.substr(authority + at + 1);
        }
    }
    const std::string whole = head + std::string{rest};
    return printable(whole, reason_quote_max - 4);
}

} // namespace korvex::sysconfig
