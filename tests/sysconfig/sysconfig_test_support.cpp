#include "sysconfig_test_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
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

TempDir::TempDir(std::string_view tag) {
    std::string pattern =
        "/tmp/kx-" + std::string{tag} + "-" + std::to_string(getpid()) + "-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) == nullptr)
        fail_errno("mkdtemp " + pattern);
    path_ = name.data();
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

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

FullFolder::FullFolder(const std::filesystem::path &dir) : path_{dir} {
    if (unshare(CLONE_NEWNS) != 0)
        fail_errno("unshare(CLONE_NEWNS)");
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        fail_errno("mount --make-rprivate /");
    std::filesystem::create_directory(path_);
    if (mount("tmpfs", path_.c_str(), "tmpfs", 0, "size=64k,mode=0755") != 0)
        fail_errno("mount tmpfs " + path_.string());
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

EnvOverride::EnvOverride(std::string name, const std::string &value) : name_{std::move(name)} {
    if (const char *old = getenv(name_.c_str()); old != nullptr)
        previous_ = old;
    setenv(name_.c_str(), value.c_str(), 1);
}

EnvOverride::~EnvOverride() {
    if (previous_)
        setenv(name_.c_str(), previous_->c_str(), 1);
    else
        unsetenv(name_.c_str());
}

HttpServer::HttpServer(const std::filesystem::path &files_dir) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        fail_errno("pipe2");
    pid_ = fork();
    if (pid_ < 0)
        fail_errno("fork");
    if (pid_ == 0) {
        dup2(fds[1], STDOUT_FILENO);
        execl(KX_TEST_PYTHON, KX_TEST_PYTHON, KX_TEST_HTTP_SERVER, files_dir.c_str(),
              static_cast<char *>(nullptr));
        _exit(127);
    }
    close(fds[1]);

    // The server prints its port once it listens.
    std::string line;
    char c;
    while (read(fds[0], &c, 1) == 1 && c != '\n')
        line.push_back(c);
    close(fds[0]);
    const int port = line.empty() ? 0 : std::atoi(line.c_str());
    if (port <= 0 || port > 65535) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        throw std::runtime_error("HTTP fixture server did not report a port: '" + line + "'");
    }
    port_ = static_cast<uint16_t>(port);
}

HttpServer::~HttpServer() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

std::string HttpServer::url(std::string_view path) const { return url_with_scheme("http", path); }

std::string HttpServer::url_with_scheme(std::string_view scheme, std::string_view path) const {
    return std::string{scheme} + "://127.0.0.1:" + std::to_string(port_) + std::string{path};
}

RefusingPort::RefusingPort() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0)
        fail_errno("socket");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        const int saved = errno;
        close(fd_);
        errno = saved;
        fail_errno("bind");
    }
    port_ = ntohs(addr.sin_port);
}

RefusingPort::~RefusingPort() {
    if (fd_ >= 0)
        close(fd_);
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

void write_file(const std::filesystem::path &path, std::string_view contents) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path.string());
}

void write_executable(const std::filesystem::path &path, std::string_view contents) {
    write_file(path, contents);
    if (chmod(path.c_str(), 0755) != 0)
        fail_errno("chmod " + path.string());
}

std::vector<std::string> entries_with_prefix(const std::filesystem::path &dir,
                                             std::string_view prefix) {
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(dir)) {
        std::string name = entry.path().filename().string();
        if (name.starts_with(prefix))
            names.push_back(name);
    }
    return names;
}

} // namespace korvex::sysconfig::test
