#include "sysconfig_test_support.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <system_error>

#include <korvex/kcommon.h>
#include <korvex/sysconfig.h>

namespace korvex::sysconfig::test {

namespace {

[[noreturn]] void fail_errno(const std::string &what) {
    throw std::system_error(errno, std::generic_category(), what);
}

} // namespace

WorkingDirectory::WorkingDirectory(const std::filesystem::path &dir)
    : previous_{std::filesystem::current_path()} {
    std::filesystem::current_path(dir);
}

WorkingDirectory::~WorkingDirectory() {
    std::error_code ignored;
    std::filesystem::current_path(previous_, ignored);
}

KeysDirectory::KeysDirectory(const std::string &dir) { kx_sysconfig_keys_dir_set(dir.c_str()); }

KeysDirectory::~KeysDirectory() { kx_sysconfig_keys_dir_set(""); }

UmaskOverride::UmaskOverride(unsigned mask) : previous_{umask(static_cast<mode_t>(mask))} {}

UmaskOverride::~UmaskOverride() { umask(static_cast<mode_t>(previous_)); }

bool private_tmpfs(std::initializer_list<const char *> dirs, const char *options) {
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return false;
    for (const char *dir : dirs)
        if (mount("tmpfs", dir, "tmpfs", 0, options) != 0)
            return false;
    return true;
}

FullFolder::FullFolder(const std::filesystem::path &dir) : path_{dir} {
    std::filesystem::create_directory(path_);
    if (!private_tmpfs({path_.c_str()}, "size=64k,mode=0755"))
        fail_errno("private tmpfs on " + path_.string());
    const std::string filler = (path_ / "filler").string();
    const int fd = open(filler.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        fail_errno("open " + filler);
    const std::string block(4096, 'f');
    while (write(fd, block.data(), block.size()) > 0) {
    }
    const int saved = errno;
    close(fd);
    if (saved != ENOSPC) {
        errno = saved;
        fail_errno("filling " + filler);
    }
}

FullFolder::~FullFolder() { umount2(path_.c_str(), MNT_DETACH); }

std::string mode_of(const std::filesystem::path &path) {
    struct stat status;
    if (stat(path.c_str(), &status) != 0)
        return "missing";
    char text[8];
    snprintf(text, sizeof text, "%o", status.st_mode & 07777);
    return text;
}

LogCapture::LogCapture() : previous_level_{kx_log_level} {
    kx_log_level = KX_LOG_TRACE;
    kx_log_set_handler(&LogCapture::handle, this);
}

LogCapture::~LogCapture() {
    kx_log_set_handler(nullptr, nullptr);
    kx_log_level = previous_level_;
}

void LogCapture::handle(int level, const char *message, void *self) {
    static_cast<LogCapture *>(self)->lines_.push_back({level, message != nullptr ? message : ""});
}

bool LogCapture::has(int level, std::string_view text) const {
    for (const LogLine &line : lines_)
        if (line.level == level && line.text == text)
            return true;
    return false;
}

std::vector<LogLine> LogCapture::starting_with(std::string_view prefix) const {
    std::vector<LogLine> found;
    for (const LogLine &line : lines_)
        if (std::string_view{line.text}.starts_with(prefix))
            found.push_back(line);
    return found;
}

std::string LogCapture::dump() const {
    std::string all;
    for (const LogLine &line : lines_)
        all += "[" + std::to_string(line.level) + "] " + line.text + "\n";
    return all;
}

void Completions::record(void *self, int32_t result) {
    static_cast<Completions *>(self)->results.push_back(result);
}

std::optional<std::string> take_text(char *text) {
    if (text == nullptr)
        return std::nullopt;
    std::string copy{text};
    free(text);
    return copy;
}

std::optional<std::string> stored_status(const char *key) {
    return take_text(kx_sysconfig_is_configured(key));
}

std::optional<std::string> read_file(const std::filesystem::path &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    return std::string{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::string> entries_with_prefix(const std::filesystem::path &dir,
                                             std::string_view prefix) {
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(dir)) {
        std::string name = entry.path().filename().string();
        if (name.starts_with(prefix))
            names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace korvex::sysconfig::test
