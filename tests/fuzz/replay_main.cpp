// Runs the seed corpus and past findings (folders given as arguments) through
// a fuzz target without libFuzzer, in the ordinary build.
#include "fuzz_support.h"
#include "temp_dir.h"

#include <algorithm>
#include <filesystem>

int main(int argc, char **argv) {
    if (LLVMFuzzerInitialize != nullptr)
        LLVMFuzzerInitialize(&argc, &argv);
    std::vector<std::filesystem::path> files;
    for (int i = 1; i < argc; ++i)
        if (std::filesystem::is_directory(argv[i]))
            for (const auto &entry : std::filesystem::directory_iterator(argv[i]))
                files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    for (const auto &file : files) {
        const std::string bytes = korvex::test::read_file(file);
        // libFuzzer never hands over a null pointer, not even for no bytes.
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.c_str()), bytes.size());
    }
    // An empty replay would pass without checking anything.
    std::printf("%zu inputs replayed\n", files.size());
    return files.empty() ? 1 : 0;
}
