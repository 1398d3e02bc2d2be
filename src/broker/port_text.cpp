#include "port_text.h"

#include <charconv>

namespace korvex::broker {

namespace {

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

} // namespace

std::optional<unsigned short> parse_leading_port(std::string_view text) {
    while (!text.empty() && is_space(text.front()))
        text.remove_prefix(1);
    if (!text.empty() && text.front() == '+')
        text.remove_prefix(1);
    unsigned short value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{})
        return std::nullopt;
    (void)end;
    return value;
}

bool is_port_number(std::string_view text) {
    if (text.empty() || text.size() > 5)
        return false;
    unsigned short value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc{} && end == text.data() + text.size() && value != 0;
}

} // namespace korvex::broker
