#include "bounded_text.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <utility>

namespace korvex::sysconfig {

namespace {

// Room at the end of a cut text for the line that says what was dropped.
constexpr size_t note_room = 64;

// How much of an addition fits before the note when text holds `used` bytes.
size_t head_room(size_t used, size_t limit) {
    return used + note_room < limit ? limit - used - note_room : 0;
}

void append_dropped_note(std::string &text, uint64_t dropped) {
    text += "\n[" + std::to_string(dropped) + " bytes dropped]\n";
}

// Reads up to size bytes, fewer only at the end of the file; -1 on error.
ssize_t read_fully(int fd, char *buffer, size_t size) {
    size_t got = 0;
    while (got < size) {
        const ssize_t n = read(fd, buffer + got, size - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

} // namespace

void append_bounded(std::string &text, std::string_view more, size_t limit) {
    if (text.size() + more.size() <= limit) {
        text.append(more);
        return;
    }
    const size_t keep = std::min(head_room(text.size(), limit), more.size());
    text.append(more.substr(0, keep));
    append_dropped_note(text, more.size() - keep);
}

bool append_bounded(std::string &text, int fd, size_t limit) {
    struct stat status;
    const off_t offset = lseek(fd, 0, SEEK_CUR);
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || offset < 0)
        return false;
    const uint64_t rest =
        status.st_size > offset ? static_cast<uint64_t>(status.st_size - offset) : 0;

    const size_t start = text.size();
    const bool fits = start + rest <= limit;
    const size_t wanted = fits ? static_cast<size_t>(rest) : head_room(start, limit);
    text.resize(start + wanted);
    const ssize_t got = read_fully(fd, text.data() + start, wanted);
    if (got < 0) {
        text.resize(start);
        return false;
    }
    // A file that shrank meanwhile simply ends earlier.
    text.resize(start + static_cast<size_t>(got));
    if (!fits)
        append_dropped_note(text, rest - static_cast<uint64_t>(got));
    return true;
}

void BoundedText::add(std::string_view more) {
    total_ += more.size();
    if (text_.size() < limit_)
        text_.append(more.substr(0, limit_ - text_.size()));
}

std::string BoundedText::finish() && {
    if (total_ > limit_) {
        text_.resize(head_room(0, limit_));
        append_dropped_note(text_, total_ - text_.size());
    }
    return std::move(text_);
}

char *malloc_copy(std::string_view text) {
    char *copy = static_cast<char *>(malloc(text.size() + 1));
    if (copy != nullptr) {
        memcpy(copy, text.data(), text.size());
        copy[text.size()] = '\0';
    }
    return copy;
}

} // namespace korvex::sysconfig
