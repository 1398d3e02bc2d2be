// Broker addresses and route words are pasted unquoted into command lines
// that the shell runs; these checks keep anything the shell would act on
// out of them.
#ifndef KORVEX_BROKER_SHELL_WORDS_H
#define KORVEX_BROKER_SHELL_WORDS_H

#include <string>
#include <string_view>

namespace korvex::broker {

// A broker address: letters, digits and ._:@/[]- only, not empty, and not
// starting with '-' (qpid-route would read that as an option).
bool is_safe_broker_address(std::string_view address);

// Any word of a qpid-route command line: what a broker address may hold,
// plus '#' after the first character (routing-key wildcards).
bool is_inert_shell_word(std::string_view word);

// The text with control characters, quotes and backslashes escaped, so a
// hostile value cannot forge or break log lines.
std::string printable(std::string_view text);

} // namespace korvex::broker

#endif
