// Runs fuzz inputs through a fuzz target without libFuzzer, so that the
// seed corpus and every input that once broke something are checked by
// the ordinary build. Arguments are files or folders of files.
#include "fuzz_support.h"

#include <algorithm>
#include <fstream>
#include <iterator>

namespace {

int replay_file(const std::filesystem::path &file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", file.c_str());
        return 1;
    }
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // libFuzzer never hands over a null pointer, not even for no bytes.
    static const uint8_t no_bytes = 0;
    const uint8_t *data =
        bytes.empty() ? &no_bytes : reinterpret_cast<const uint8_t *>(bytes.data());
    LLVMFuzzerTestOneInput(data, bytes.size());
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    LLVMFuzzerInitialize(&argc, &argv);
    int failures = 0;
    size_t replayed = 0;
    for (int i = 1; i < argc; ++i) {
        std::filesystem::path arg = argv[i];
        if (std::filesystem::is_directory(arg)) {
            std::vector<std::filesystem::path> files;
            for (const auto &entry : std::filesystem::directory_iterator(arg))
                if (entry.is_regular_file())
                    files.push_back(entry.path());
            std::sort(files.begin(), files.end());
            for (const auto &f : files) {
                failures += replay_file(f);
                ++replayed;
            }
        } else if (std::filesystem::exists(arg)) {
            failures += replay_file(arg);
            ++replayed;
        }
    }
    // An empty replay would pass without checking anything.
    if (replayed == 0) {
        std::fprintf(stderr, "no inputs found\n");
        return 1;
    }
    std::printf("%zu inputs replayed\n", replayed);
    return failures == 0 ? 0 : 1;
}
