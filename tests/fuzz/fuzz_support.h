// Shared by the fuzz programs: the libFuzzer entry points, a check that
// stops the run with a readable reason, and a scratch folder that goes
// away with the process.
#ifndef KORVEX_FUZZ_SUPPORT_H
#define KORVEX_FUZZ_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv);

namespace korvex::fuzz {

// A broken invariant is a finding: abort so that libFuzzer keeps the input
// and the replay test fails.
[[noreturn]] inline void invariant_broken(const char *what, std::string_view detail) {
    std::fprintf(stderr, "invariant broken: %s [%.*s]\n", what, static_cast<int>(detail.size()),
                 detail.data());
    std::abort();
}

inline void require(bool holds, const char *what, std::string_view detail = {}) {
    if (!holds)
        invariant_broken(what, detail);
}

// The input cut into the pieces separated by NUL bytes; missing pieces
// are empty. Environment values and C strings cannot hold a NUL anyway.
inline std::vector<std::string> split_at_nul(const uint8_t *data, size_t size, size_t pieces) {
    std::vector<std::string> out(pieces);
    size_t piece = 0;
    for (size_t i = 0; i < size && piece < pieces; ++i) {
        if (data[i] == 0)
            ++piece;
        else
            out[piece].push_back(static_cast<char>(data[i]));
    }
    return out;
}

// A private folder under /tmp, removed with everything in it at exit.
class ScratchDir {
public:
    explicit ScratchDir(const char *prefix) {
        std::string tmpl = std::string("/tmp/") + prefix + "-XXXXXX";
        if (mkdtemp(tmpl.data()) == nullptr) {
            std::perror("mkdtemp");
            std::abort();
        }
        path_ = tmpl;
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;

    const std::filesystem::path &path() const { return path_; }

private:
    std::filesystem::path path_;
};

} // namespace korvex::fuzz

#endif
