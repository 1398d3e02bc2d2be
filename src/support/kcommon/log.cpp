// Log lines go to syslog (facility daemon) and, when someone is watching,
// to stderr as "<ident>: <message>".
#include "korvex/kcommon.h"
#include "korvex/text.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <syslog.h>
#include <unistd.h>

// C linkage comes from the declaration in kcommon.h.
int kx_log_level = KX_LOG_INFO;

namespace {
constexpr std::size_t max_line_bytes = 16384;
}

namespace {

struct LogState {
    std::mutex lock;
    std::string ident; // empty: the program name
    bool syslog_opened = false;
    int flags = 0;
    kx_log_handler_fn handler = nullptr;
    void *handler_data = nullptr;
};

LogState &state() {
    // Never destroyed: messages may still be written from atexit handlers.
    static LogState *s = new LogState;
    return *s;
}

int syslog_priority(int level) {
    if (level < LOG_EMERG)
        return LOG_EMERG;
    if (level > LOG_DEBUG)
        return LOG_DEBUG;
    return level;
}

bool env_requests_stderr() {
    const char *v = std::getenv("KX_LOG_STDERR");
    return v != nullptr && v[0] != '\0' && std::strcmp(v, "0") != 0;
}

std::string format_message(const char *format, va_list args) {
    if (format == nullptr)
        return {};
    va_list measure;
    va_copy(measure, args);
    int needed = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (needed <= 0)
        return {};
    std::string text(static_cast<size_t>(needed) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, args);
    text.resize(static_cast<size_t>(needed));
    return text;
}

// One write() per line, so lines of concurrent processes do not interleave.
void write_stderr_line(std::string_view ident, std::string_view message) {
    std::string line;
    line.reserve(ident.size() + message.size() + 3);
    line.append(ident).append(": ").append(message).push_back('\n');
    std::string_view rest = line;
    while (!rest.empty()) {
        ssize_t n = ::write(STDERR_FILENO, rest.data(), rest.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        rest.remove_prefix(static_cast<size_t>(n));
    }
}

} // namespace

extern "C" void kx_log_init(const char *ident, int level, int flag) {
    LogState &s = state();
    std::lock_guard guard(s.lock);
    // openlog keeps the pointer, so close before the text it points at changes.
    if (s.syslog_opened)
        closelog();
    s.ident = ident != nullptr ? ident : "";
    openlog(s.ident.empty() ? nullptr : s.ident.c_str(), LOG_PID, LOG_DAEMON);
    s.syslog_opened = true;
    s.flags = flag;
    kx_log_level = level;
}

extern "C" void kx_log_set_handler(kx_log_handler_fn handler, void *user_data) {
    LogState &s = state();
    std::lock_guard guard(s.lock);
    s.handler = handler;
    s.handler_data = user_data;
}

extern "C" void kx_log_fn(int level, const char *format, ...) {
    va_list args;
    va_start(args, format);
    std::string message = format_message(format, args);
    va_end(args);
    while (!message.empty() && message.back() == '\n')
        message.pop_back();
    // Lines carry keys, URIs, interface names and tool output that callers
    // chose: one line each, in UTF-8, and never without end.
    message = korvex::printable(message, max_line_bytes);

    LogState &s = state();
    std::string ident;
    int flags;
    kx_log_handler_fn handler;
    void *handler_data;
    {
        std::lock_guard guard(s.lock);
        ident = s.ident.empty() ? program_invocation_short_name : s.ident;
        flags = s.flags;
        handler = s.handler;
        handler_data = s.handler_data;
    }

    syslog(LOG_DAEMON | syslog_priority(level), "%s", message.c_str());
    if ((flags & KX_LOG_FLAG_STDERR) != 0 || isatty(STDERR_FILENO) || env_requests_stderr())
        write_stderr_line(ident, message);
    // Called outside the lock so a handler may log itself.
    if (handler != nullptr)
        handler(level, message.c_str(), handler_data);
}
