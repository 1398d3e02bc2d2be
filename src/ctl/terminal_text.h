// Text from the agents (reports, statuses, query values, interface names)
// may hold control characters that a terminal would obey: a new window
// title, a cleared screen, a rewritten line. On a terminal korvexctl shows
// them escaped instead, as journalctl does.
#ifndef KORVEXCTL_TERMINAL_TEXT_H
#define KORVEXCTL_TERMINAL_TEXT_H

#include <memory>
#include <ostream>
#include <streambuf>

namespace korvex::ctl {

// Passes text on to another buffer with every control character but
// newline and tab (C0, DEL and the UTF-8 encoded C1 range) written as \xHH.
class EscapingBuffer : public std::streambuf {
public:
    explicit EscapingBuffer(std::streambuf *target) : target_(target) {}
    ~EscapingBuffer() override { sync(); }

protected:
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char *text, std::streamsize count) override;
    int sync() override;

private:
    bool put(unsigned char c);
    bool put_escaped(unsigned char c);

    std::streambuf *target_;
    // A UTF-8 lead byte held back until the next byte tells whether the
    // two encode a C1 control.
    bool held_lead_ = false;
};

// For as long as it lives, the stream shows control characters escaped,
// when fd (the stream's descriptor) is a terminal.
class TerminalEscapes {
public:
    TerminalEscapes(std::ostream &stream, int fd);
    ~TerminalEscapes();
    TerminalEscapes(const TerminalEscapes &) = delete;
    TerminalEscapes &operator=(const TerminalEscapes &) = delete;

private:
    std::ostream &stream_;
    std::streambuf *original_ = nullptr;
    std::unique_ptr<EscapingBuffer> escaping_;
};

} // namespace korvex::ctl

#endif
