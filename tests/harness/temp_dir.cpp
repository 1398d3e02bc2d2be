#include "temp_dir.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <sys/stat.h>
#include <unistd.h>

namespace korvex::test {

TempDir::TempDir(const std::string &prefix) : path_("/tmp/" + prefix + "-XXXXXX") {
    if (mkdtemp(path_.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed for " + path_);
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::write(const std::string &name, const std::string &content,
                           unsigned mode) const {
    write_file(file(name), content, mode);
    return file(name);
}

std::string read_file(const std::string &path) {
    // Files under /proc vanish with their process mid-read; that reads as what was read so far.
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    if (in)
        out << in.rdbuf();
    return out.str();
}

void write_file(const std::string &path, const std::string &content, unsigned mode) {
    // The stream is closed before the mode changes.
    if (!(std::ofstream(path, std::ios::binary | std::ios::trunc) << content))
        throw std::runtime_error("cannot write " + path);
    chmod(path.c_str(), mode);
}

bool file_exists(const std::string &path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

} // namespace korvex::test
