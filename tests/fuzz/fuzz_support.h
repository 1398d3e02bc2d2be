// Shared by the fuzz programs: the libFuzzer entry points, a check that stops
// the run with a readable reason, and the C locale's character classes.
#ifndef KORVEX_FUZZ_SUPPORT_H
#define KORVEX_FUZZ_SUPPORT_H

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int *argc, char ***argv);

// A broken invariant is a finding: abort so that libFuzzer keeps the input
// and the replay test fails.
inline void require(bool holds, const char *what, std::string_view detail = "") {
    if (holds)
        return;
    std::fprintf(stderr, "invariant broken: %s [%.*s]\n", what, static_cast<int>(detail.size()),
                 detail.data());
    std::abort();
}

// The programs never set a locale.
inline bool is_c_digit(char c) { return c >= '0' && c <= '9'; }
inline constexpr const char *kCSpaces = " \t\n\v\f\r";

// The input cut into the pieces separated by NUL bytes; missing pieces
// are empty. Environment values and C strings cannot hold a NUL anyway.
inline std::vector<std::string> split_at_nul(const uint8_t *data, size_t size, size_t pieces) {
    std::vector<std::string> out(pieces);
    for (size_t i = 0, piece = 0; i < size && piece < pieces; ++i) {
        if (data[i] == 0)
            ++piece;
        else
            out[piece].push_back(static_cast<char>(data[i]));
    }
    return out;
}

#endif
