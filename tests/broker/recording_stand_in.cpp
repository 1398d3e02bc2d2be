// Stand-in for an outside broker tool (qpidd, qpid-route) that is not
// packaged here. Each call appends its whole argument vector, argv[0]
// included, as one line to the file named by KX_TEST_<ROLE>_RECORD:
// arguments joined by a space, with '\' written "\\", a space "\s" and a
// line feed "\n". KX_TEST_<ROLE>_FAIL lists call numbers, counted from 1
// and separated by commas, that exit with status 1 instead of 0.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sstream>
#include <string>
#include <string_view>
#include <sys/file.h>
#include <unistd.h>

#ifndef STAND_IN_ROLE
#error "STAND_IN_ROLE names the tool, e.g. QPIDD"
#endif

namespace {

std::string escape_argument(std::string_view arg) {
    std::string out;
    for (char c : arg)
        out += c == '\\' ? "\\\\" : c == ' ' ? "\\s" : c == '\n' ? "\\n" : std::string(1, c);
    return out;
}

bool call_should_fail(const char *fail_list, long call) {
    std::istringstream items(fail_list != nullptr ? fail_list : "");
    for (std::string item; std::getline(items, item, ',');)
        if (std::strtol(item.c_str(), nullptr, 10) == call)
            return true;
    return false;
}

// Calls already recorded; the lock keeps concurrent callers from sharing
// a call number.
long count_lines(int fd) {
    long lines = 0;
    char buffer[4096];
    lseek(fd, 0, SEEK_SET);
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
        lines += std::count(buffer, buffer + n, '\n');
    return lines;
}

} // namespace

int main(int argc, char **argv) {
    const char *record_path = std::getenv("KX_TEST_" STAND_IN_ROLE "_RECORD");
    if (record_path == nullptr) {
        std::fprintf(stderr, "stand-in: KX_TEST_" STAND_IN_ROLE "_RECORD is not set\n");
        return 99;
    }
    int fd = open(record_path, O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0 || flock(fd, LOCK_EX) != 0) {
        std::fprintf(stderr, "stand-in: %s: %s\n", record_path, std::strerror(errno));
        return 99;
    }
    long call = count_lines(fd) + 1;

    std::string line = escape_argument(argv[0]);
    for (int i = 1; i < argc; ++i)
        line += " " + escape_argument(argv[i]);
    line.push_back('\n');
    if (write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
        return 99;
    close(fd);

    return call_should_fail(std::getenv("KX_TEST_" STAND_IN_ROLE "_FAIL"), call) ? 1 : 0;
}
