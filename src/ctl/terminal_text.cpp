#include "terminal_text.h"

#include <unistd.h>

#include <cstdio>

namespace korvex::ctl {

namespace {

// The lead byte of U+0080 to U+00BF, of which U+0080 to U+009F are C1
// controls (CSI, OSC, ... on some terminals).
constexpr unsigned char kC1Lead = 0xc2;

bool is_control(unsigned char c) { return (c < 0x20 && c != '\n' && c != '\t') || c == 0x7f; }

bool is_c1_tail(unsigned char c) { return c >= 0x80 && c <= 0x9f; }

} // namespace

bool EscapingBuffer::put_escaped(unsigned char c) {
    char escaped[5];
    std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
    return target_->sputn(escaped, 4) == 4;
}

bool EscapingBuffer::put(unsigned char c) {
    if (held_lead_) {
        held_lead_ = false;
        if (is_c1_tail(c))
            return put_escaped(kC1Lead) && put_escaped(c);
        if (target_->sputc(static_cast<char>(kC1Lead)) == traits_type::eof())
            return false;
    }
    if (c == kC1Lead) {
        held_lead_ = true;
        return true;
    }
    if (is_control(c))
        return put_escaped(c);
    return target_->sputc(static_cast<char>(c)) != traits_type::eof();
}

EscapingBuffer::int_type EscapingBuffer::overflow(int_type c) {
    if (traits_type::eq_int_type(c, traits_type::eof()))
        return traits_type::not_eof(c);
    return put(static_cast<unsigned char>(traits_type::to_char_type(c))) ? c : traits_type::eof();
}

std::streamsize EscapingBuffer::xsputn(const char *text, std::streamsize count) {
    for (std::streamsize i = 0; i < count; ++i)
        if (!put(static_cast<unsigned char>(text[i])))
            return i;
    return count;
}

int EscapingBuffer::sync() {
    if (held_lead_) {
        held_lead_ = false;
        if (target_->sputc(static_cast<char>(kC1Lead)) == traits_type::eof())
            return -1;
    }
    return target_->pubsync();
}

TerminalEscapes::TerminalEscapes(std::ostream &stream, int fd) : stream_(stream) {
    if (!isatty(fd))
        return;
    original_ = stream.rdbuf();
    escaping_ = std::make_unique<EscapingBuffer>(original_);
    stream.rdbuf(escaping_.get());
}

TerminalEscapes::~TerminalEscapes() {
    if (!escaping_)
        return;
    stream_.flush();
    stream_.rdbuf(original_);
}

} // namespace korvex::ctl
