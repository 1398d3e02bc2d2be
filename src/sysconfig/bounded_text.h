// Texts the library keeps or hands out (status texts, query values) have a
// ceiling: tool output of any size must neither fill the agent's memory nor
// make a reply that the bus refuses and drops the agent for.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <string_view>

namespace korvex::sysconfig {

inline constexpr size_t status_text_max = size_t{1} << 20;

// Appends more to text so that text stays within limit bytes in all. What
// does not fit is cut off and a last line says how many bytes were
// dropped; a text already within the limit comes out unchanged, so a text
// cut once is not cut again.
void append_bounded(std::string &text, std::string_view more, size_t limit = status_text_max);

// The same for the rest of the regular file behind fd, from its offset on:
// no more than fits is ever read, the rest is only counted. False when
// the file cannot be read.
bool append_bounded(std::string &text, int fd, size_t limit = status_text_max);

// Collects a text of unknown length that arrives in parts (a tool's output
// read as it comes) within the limit: what does not fit is only counted,
// and the text comes out cut as append_bounded cuts it.
class BoundedText {
public:
    explicit BoundedText(size_t limit = status_text_max) : limit_{limit} {}
    void add(std::string_view more);
    std::string finish() &&;

private:
    std::string text_;
    uint64_t total_ = 0;
    size_t limit_;
};

// A copy for callers that release it with free(); nullptr when out of memory.
char *malloc_copy(std::string_view text);

} // namespace korvex::sysconfig
