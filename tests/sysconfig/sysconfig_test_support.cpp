#include "sysconfig_test_support.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <system_error>

namespace korvex::sysconfig::test {

bool private_tmpfs(std::initializer_list<const char *> dirs, const char *options) {
    return unshare(CLONE_NEWNS) == 0 &&
           mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           std::ranges::all_of(dirs, [options](const char *dir) {
               return mount("tmpfs", dir, "tmpfs", 0, options) == 0;
           });
}

FullFolder::FullFolder(const fs::path &dir) : path{dir} {
    fs::create_directory(path);
    if (!private_tmpfs({path.c_str()}, "size=64k,mode=0755"))
        throw std::system_error(errno, std::generic_category(),
                                "no private tmpfs on " + path.string());
    const int fd = open((path / "filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    const std::string block(4096, 'f');
    while (write(fd, block.data(), block.size()) > 0) {
    }
    const bool full = errno == ENOSPC;
    close(fd);
    if (!full)
        throw std::runtime_error("cannot fill " + path.string());
}

FullFolder::~FullFolder() { umount2(path.c_str(), MNT_DETACH); }

std::string mode_of(const fs::path &path) {
    struct stat status;
    char text[8] = "missing";
    if (stat(path.c_str(), &status) == 0)
        snprintf(text, sizeof text, "%o", status.st_mode & 07777);
    return text;
}

LogCapture::LogCapture() : previous_level_{kx_log_level} {
    kx_log_level = KX_LOG_TRACE;
    kx_log_set_handler(
        [](int level, const char *message, void *self) {
            static_cast<LogCapture *>(self)->lines_.push_back({level, message ? message : ""});
        },
        this);
}

LogCapture::~LogCapture() {
    kx_log_set_handler(nullptr, nullptr);
    kx_log_level = previous_level_;
}

bool LogCapture::has(int level, std::string_view text) const {
    return std::ranges::any_of(
        lines_, [&](const LogLine &line) { return line.level == level && line.text == text; });
}

std::vector<LogLine> LogCapture::starting_with(std::string_view prefix) const {
    std::vector<LogLine> found;
    std::ranges::copy_if(lines_, std::back_inserter(found),
                         [&](const LogLine &line) { return line.text.starts_with(prefix); });
    return found;
}

std::string LogCapture::dump() const {
    std::string all;
    for (const LogLine &line : lines_)
        all += "[" + std::to_string(line.level) + "] " + line.text + "\n";
    return all;
}

std::optional<std::string> take_text(char *text) {
    const std::unique_ptr<char, decltype(&free)> owner{text, free};
    return text ? std::optional<std::string>{text} : std::nullopt;
}

std::optional<std::string> stored_status(const char *key) {
    return take_text(kx_sysconfig_is_configured(key));
}

std::optional<std::string> read_file(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    return std::string{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::string> entries_with_prefix(const fs::path &dir, std::string_view prefix) {
    std::vector<std::string> names;
    for (const auto &entry : fs::directory_iterator(dir))
        if (entry.path().filename().string().starts_with(prefix))
            names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

CompletionLog::Slot &CompletionLog::slot(std::string name) {
    slots_.push_back(std::make_unique<Slot>(Slot{this, std::move(name), {}}));
    return *slots_.back();
}

void CompletionLog::record(void *data, int32_t result) {
    auto *slot = static_cast<Slot *>(data);
    CompletionLog *log = slot->log;
    slot->results.push_back(result);
    log->order_.push_back(slot->name);
    if (log->on_completion)
        log->on_completion(slot->name);
    if (log->order_.size() >= log->expected_)
        g_main_loop_quit(log->loop_.get());
}

void CompletionLog::run_until(size_t completions) {
    expected_ = completions;
    if (order_.size() < expected_)
        g_main_loop_run(loop_.get());
}

} // namespace korvex::sysconfig::test
