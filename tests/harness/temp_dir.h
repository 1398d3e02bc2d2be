// A private temporary folder that is removed with everything in it.
#ifndef KORVEX_TEST_TEMP_DIR_H
#define KORVEX_TEST_TEMP_DIR_H

#include <string>

namespace korvex::test {

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &content, unsigned mode = 0644);
bool file_exists(const std::string &path);

class TempDir {
public:
    explicit TempDir(const std::string &prefix = "korvex-test");
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }
    // write_file and read_file on file(name); write returns the path.
    std::string write(const std::string &name, const std::string &content,
                      unsigned mode = 0644) const;
    std::string read(const std::string &name) const { return read_file(file(name)); }

private:
    std::string path_;
};

} // namespace korvex::test

#endif
