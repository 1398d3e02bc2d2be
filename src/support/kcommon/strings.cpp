#include "korvex/kcommon.h"
#include "korvex/text.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

extern "C" void kx_string_copy(char *dst, const char *src, size_t size) {
    if (dst == nullptr || size == 0)
        return;
    if (src == nullptr)
        src = "";
    size_t n = strnlen(src, size - 1);
    std::memcpy(dst, src, n);
    dst[n] = '\0';
}

namespace {

// Length of the valid UTF-8 sequence at the start of `s`, or 0.
std::size_t utf8_sequence(std::string_view s) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char lead = byte(0);
    std::size_t length;
    unsigned int code;
    if (lead < 0x80)
        return 1;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
        code = lead & 0x1f;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        code = lead & 0x0f;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        code = lead & 0x07;
    } else {
        return 0;
    }
    if (s.size() < length)
        return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xc0) != 0x80)
            return 0;
        code = (code << 6) | (byte(i) & 0x3f);
    }
    // Overlong forms, surrogates and code points beyond U+10FFFF.
    if ((length == 3 && code < 0x800) || (length == 4 && (code < 0x10000 || code > 0x10ffff)) ||
        (code >= 0xd800 && code <= 0xdfff))
        return 0;
    return length;
}

} // namespace

std::string korvex::printable(std::string_view text, std::size_t max_bytes, Quotes quotes) {
    std::string out;
    out.reserve(std::min(text.size(), max_bytes) + 16);
    std::size_t at = 0;
    while (at < text.size() && out.size() < max_bytes) {
        const auto c = static_cast<unsigned char>(text[at]);
        const std::size_t length = utf8_sequence(text.substr(at));
        if (length == 0 || c < 0x20 || c == 0x7f) {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out.append(escaped);
            ++at;
        } else if (quotes == Quotes::escaped && (c == '"' || c == '\\')) {
            out.push_back('\\');
            out.push_back(static_cast<char>(c));
            ++at;
        } else {
            out.append(text.substr(at, length));
            at += length;
        }
    }
    if (at < text.size())
        out.append("...(").append(std::to_string(text.size() - at)).append(" more bytes)");
    return out;
}
