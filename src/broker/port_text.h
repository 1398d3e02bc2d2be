// Reading port numbers out of environment text.
#ifndef KORVEX_BROKER_PORT_TEXT_H
#define KORVEX_BROKER_PORT_TEXT_H

#include <optional>
#include <string_view>

namespace korvex::broker {

// The decimal number at the start of text, as "%hu" reads it (leading
// white space and a '+' allowed, anything after the digits ignored), but a
// minus sign or a value above 65535 is refused instead of wrapping around
// to some other port.
std::optional<unsigned short> parse_leading_port(std::string_view text);

// True when text is nothing but a port a peer can be reached on: 1 to 5
// digits, 1 to 65535.
bool is_port_number(std::string_view text);

} // namespace korvex::broker

#endif
