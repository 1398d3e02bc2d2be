// Every word of a qpid-route command line reaches the shell in single
// quotes, so the shell reads none of it; these are the few things quoting
// cannot make safe, the quoting itself, and the escaping for log lines.
#ifndef KORVEX_BROKER_SHELL_WORDS_H
#define KORVEX_BROKER_SHELL_WORDS_H

#include <initializer_list>
#include <string>
#include <string_view>

namespace korvex::broker {

// A word that may go on a command line once quoted: not empty, not
// starting with '-' (qpid-route would read that as an option), and free of
// control characters (a line feed or a terminal escape has no place in a
// broker address or exchange, and would forge log and error lines).
bool is_quotable_word(std::string_view word);

// The word in single quotes, each ' inside it written '\''.
std::string shell_quoted(std::string_view word);

// The words, each quoted, joined by single spaces.
std::string quoted_command(std::initializer_list<std::string_view> words);

// The text with control characters, invalid UTF-8, quotes and backslashes
// escaped, whole, so a hostile value cannot forge or break log lines.
std::string printable(std::string_view text);

} // namespace korvex::broker

#endif
