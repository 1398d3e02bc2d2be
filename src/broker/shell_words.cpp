#include "shell_words.h"

#include <korvex/text.h>

namespace korvex::broker {

namespace {

bool is_control(char c) {
    auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7f;
}

} // namespace

bool is_quotable_word(std::string_view word) {
    if (word.empty() || word.front() == '-')
        return false;
    for (char c : word) {
        if (is_control(c))
            return false;
    }
    return true;
}

std::string shell_quoted(std::string_view word) {
    std::string out;
    out.reserve(word.size() + 2);
    out.push_back('\'');
    for (char c : word) {
        // A single-quoted string cannot hold a quote: end it, add an
        // escaped one, and start over.
        if (c == '\'')
            out.append("'\\''");
        else
            out.push_back(c);
    }
    out.push_back('\'');
    return out;
}

std::string quoted_command(std::initializer_list<std::string_view> words) {
    std::string command;
    for (std::string_view word : words) {
        if (!command.empty())
            command.push_back(' ');
        command.append(shell_quoted(word));
    }
    return command;
}

std::string printable(std::string_view text) {
    return korvex::printable(text, std::string_view::npos, Quotes::escaped);
}

} // namespace korvex::broker
