#include "korvex/kcommon.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

struct Captured {
    int level;
    std::string message;
};

// Installs a log handler for the lifetime of the object.
class LogRecorder {
public:
    LogRecorder() { kx_log_set_handler(&LogRecorder::record, this); }
    ~LogRecorder() { kx_log_set_handler(nullptr, nullptr); }
    LogRecorder(const LogRecorder &) = delete;
    LogRecorder &operator=(const LogRecorder &) = delete;

    std::vector<Captured> lines;

private:
    static void record(int level, const char *message, void *self) {
        static_cast<LogRecorder *>(self)->lines.push_back({level, message});
    }
};

// Points fd 2 at a temporary file while alive; text() reads what arrived.
class StderrCapture {
public:
    StderrCapture() {
        char path[] = "/tmp/kx-log-stderr-XXXXXX";
        file_fd_ = mkstemp(path);
        if (file_fd_ < 0)
            throw std::runtime_error("mkstemp failed");
        unlink(path);
        std::fflush(stderr);
        saved_fd_ = dup(STDERR_FILENO);
        dup2(file_fd_, STDERR_FILENO);
    }
    ~StderrCapture() {
        std::fflush(stderr);
        dup2(saved_fd_, STDERR_FILENO);
        close(saved_fd_);
        close(file_fd_);
    }
    StderrCapture(const StderrCapture &) = delete;
    StderrCapture &operator=(const StderrCapture &) = delete;

    std::string text() const {
        std::string out;
        char buf[4096];
        ssize_t n;
        off_t offset = 0;
        while ((n = pread(file_fd_, buf, sizeof buf, offset)) > 0) {
            out.append(buf, static_cast<size_t>(n));
            offset += n;
        }
        return out;
    }

private:
    int file_fd_ = -1;
    int saved_fd_ = -1;
};

// Sets or removes an environment variable and restores it afterwards.
class ScopedEnv {
public:
    ScopedEnv(const char *name, const char *value) : name_(name) {
        if (const char *old = std::getenv(name))
            old_ = old;
        if (value != nullptr)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv() {
        if (old_)
            setenv(name_.c_str(), old_->c_str(), 1);
        else
            unsetenv(name_.c_str());
    }
    ScopedEnv(const ScopedEnv &) = delete;
    ScopedEnv &operator=(const ScopedEnv &) = delete;

private:
    std::string name_;
    std::optional<std::string> old_;
};

int evaluations = 0;
int counted_argument() {
    ++evaluations;
    return 42;
}

TEST(Log, ThresholdSuppressesFinerLevelsWithoutEvaluatingArguments) {
    kx_log_init("kx-log-test", KX_LOG_DEBUG, 0);
    ASSERT_EQ(kx_log_level, KX_LOG_DEBUG);
    LogRecorder recorder;
    evaluations = 0;

    kx_log(KX_LOG_TRACE, "%s: hidden %d", "step", counted_argument());
    EXPECT_EQ(evaluations, 0);
    EXPECT_TRUE(recorder.lines.empty());

    kx_log(KX_LOG_INFO, "%s: visible %d", "step", counted_argument());
    kx_log(KX_LOG_DEBUG, "%s: debug", "step");
    kx_log(KX_LOG_ERR, "%s: error", "step");
    EXPECT_EQ(evaluations, 1);
    ASSERT_EQ(recorder.lines.size(), 3u);
    EXPECT_EQ(recorder.lines[0].level, KX_LOG_INFO);
    EXPECT_EQ(recorder.lines[0].message, "step: visible 42");
    EXPECT_EQ(recorder.lines[1].level, KX_LOG_DEBUG);
    EXPECT_EQ(recorder.lines[2].level, KX_LOG_ERR);
}

TEST(Log, HandlerGetsWholeMessagesWithoutLineFeedUntilRemoved) {
    kx_log_init("kx-log-test", KX_LOG_TRACE, 0);
    std::string long_text(10000, 'q');
    {
        LogRecorder recorder;
        kx_log(KX_LOG_TRACE, "%s: with feed\n", "step");
        kx_log(KX_LOG_INFO, "%s: %s", "step", long_text.c_str());
        ASSERT_EQ(recorder.lines.size(), 2u);
        EXPECT_EQ(recorder.lines[0].level, KX_LOG_TRACE);
        EXPECT_EQ(recorder.lines[0].message, "step: with feed");
        EXPECT_EQ(recorder.lines[1].message, "step: " + long_text);
    }
    // The recorder is gone: a handler left installed would be called on freed memory.
    kx_log(KX_LOG_INFO, "%s: after removal", "step");
}

TEST(Log, StderrCopyFollowsFlagAndEnvironment) {
    ScopedEnv clear("KX_LOG_STDERR", nullptr);
    kx_log_init("kx-log-test", KX_LOG_INFO, 0);
    {
        StderrCapture err;
        kx_log(KX_LOG_INFO, "%s: quiet", "step");
        EXPECT_EQ(err.text(), "");
    }
    {
        ScopedEnv zero("KX_LOG_STDERR", "0");
        StderrCapture err;
        kx_log(KX_LOG_INFO, "%s: quiet", "step");
        EXPECT_EQ(err.text(), "");
    }
    {
        ScopedEnv empty("KX_LOG_STDERR", "");
        StderrCapture err;
        kx_log(KX_LOG_INFO, "%s: quiet", "step");
        EXPECT_EQ(err.text(), "");
    }
    {
        ScopedEnv on("KX_LOG_STDERR", "1");
        StderrCapture err;
        kx_log(KX_LOG_INFO, "%s: by environment\n", "step");
        EXPECT_EQ(err.text(), "kx-log-test: step: by environment\n");
    }
    kx_log_init("kx-log-test", KX_LOG_INFO, KX_LOG_FLAG_STDERR);
    {
        StderrCapture err;
        kx_log(KX_LOG_WARNING, "%s: by flag", "step");
        kx_log(KX_LOG_DEBUG, "%s: below threshold", "step");
        EXPECT_EQ(err.text(), "kx-log-test: step: by flag\n");
    }
}

TEST(Log, IdentityIsCopied) {
    char ident[] = "kx-first";
    kx_log_init(ident, KX_LOG_INFO, KX_LOG_FLAG_STDERR);
    std::strcpy(ident, "kx-other");
    StderrCapture err;
    kx_log(KX_LOG_INFO, "%s: who", "step");
    EXPECT_EQ(err.text(), "kx-first: step: who\n");
}

TEST(LogDeathTest, WorksBeforeInitWithInfoThresholdAndProgramName) {
    // A fresh process: an earlier test of this run may have called kx_log_init.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            setenv("KX_LOG_STDERR", "1", 1);
            evaluations = 0;
            kx_log(KX_LOG_DEBUG, "%s: hidden %d", "step", counted_argument());
            kx_log(KX_LOG_INFO, "%s: before init", "step");
            std::exit(kx_log_level == KX_LOG_INFO && evaluations == 0 ? 0 : 1);
        },
        testing::ExitedWithCode(0),
        std::string("^") + program_invocation_short_name + ": step: before init\n$");
}

} // namespace
