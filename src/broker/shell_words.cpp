#include "shell_words.h"

#include <cstdio>

namespace korvex::broker {

namespace {

bool is_address_char(char c)
{
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))
        return true;
    switch (c) {
    case '.': case '_': case ':': case '@': case '/': case '[': case ']': case '-':
        return true;
    default:
        return false;
    }
}

bool is_word_char(char c)
{
    return is_address_char(c) || c == '#';
}

} // namespace

bool is_safe_broker_address(std::string_view address)
{
    if (address.empty() || address.front() == '-')
        return false;
    for (char c : address) {
        if (!is_address_char(c))
            return false;
    }
    return true;
}

bool is_inert_shell_word(std::string_view word)
{
    if (word.empty() || word.front() == '-' || word.front() == '#')
        return false;
    for (char c : word) {
        if (!is_word_char(c))
            return false;
    }
    return true;
}

std::string printable(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(c);
        } else if (byte < 0x20 || byte == 0x7f) {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            out.append(escaped);
        } else {
            out.push_back(c);
        }
    }
    return out;
}

} // namespace korvex::broker
