// Stand-in for qpidd or qpid-route (not packaged here). Each call appends its argv,
// argv[0] included, as one line to $KX_TEST_<ROLE>_RECORD: arguments joined by spaces,
// with '\' written "\\", a space "\s" and a line feed "\n". The calls numbered (from 1)
// in the comma-separated KX_TEST_<ROLE>_FAIL exit with status 1 instead of 0.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <sys/file.h>
#include <unistd.h>

int main(int argc, char **argv) {
    const char *record_path = std::getenv("KX_TEST_" STAND_IN_ROLE "_RECORD");
    int fd = open(record_path != nullptr ? record_path : "",
                  O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0 || flock(fd, LOCK_EX) != 0) {
        std::perror("stand-in: cannot record in KX_TEST_" STAND_IN_ROLE "_RECORD");
        return 99;
    }
    // The lock keeps concurrent callers from sharing a call number.
    std::ifstream recorded(record_path);
    const long call = std::count(std::istreambuf_iterator<char>(recorded), {}, '\n') + 1;

    std::string line;
    for (int i = 0; i < argc; ++i) {
        line += i > 0 ? " " : "";
        for (char c : std::string(argv[i]))
            line += c == '\\' ? "\\\\" : c == ' ' ? "\\s" : c == '\n' ? "\\n" : std::string(1, c);
    }
    line.push_back('\n');
    if (write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
        return 99;
    close(fd);

    const char *fail_list = std::getenv("KX_TEST_" STAND_IN_ROLE "_FAIL");
    std::istringstream items(fail_list != nullptr ? fail_list : "");
    for (std::string item; std::getline(items, item, ',');)
        if (std::strtol(item.c_str(), nullptr, 10) == call)
            return 1;
    return 0;
}
