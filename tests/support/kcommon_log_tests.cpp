#include "korvex/kcommon.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>

struct Captured {
    int level;
    std::string message;
};

struct LogRecorder {
    LogRecorder() {
        kx_log_set_handler(
            [](int level, const char *message, void *self) {
                static_cast<LogRecorder *>(self)->lines.push_back({level, message});
            },
            this);
    }
    ~LogRecorder() { kx_log_set_handler(nullptr, nullptr); }
    LogRecorder(const LogRecorder &) = delete;
    LogRecorder &operator=(const LogRecorder &) = delete;
    std::vector<Captured> lines;
};

template <typename Write>
static std::string stderr_of(Write write) {
    testing::internal::CaptureStderr();
    write();
    std::fflush(stderr);
    return testing::internal::GetCapturedStderr();
}

static int evaluations = 0;
static int counted_argument() {
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

// Each case runs in a process of its own: the environment needs no restoring.
TEST(Log, StderrCopyFollowsFlagAndEnvironment) {
    const auto quiet = [] { kx_log(KX_LOG_INFO, "%s: quiet", "step"); };
    unsetenv("KX_LOG_STDERR");
    kx_log_init("kx-log-test", KX_LOG_INFO, 0);
    EXPECT_EQ(stderr_of(quiet), "");
    setenv("KX_LOG_STDERR", "0", 1);
    EXPECT_EQ(stderr_of(quiet), "");
    setenv("KX_LOG_STDERR", "", 1);
    EXPECT_EQ(stderr_of(quiet), "");
    setenv("KX_LOG_STDERR", "1", 1);
    EXPECT_EQ(stderr_of([] { kx_log(KX_LOG_INFO, "%s: by environment\n", "step"); }),
              "kx-log-test: step: by environment\n");

    unsetenv("KX_LOG_STDERR");
    kx_log_init("kx-log-test", KX_LOG_INFO, KX_LOG_FLAG_STDERR);
    EXPECT_EQ(stderr_of([] {
                  kx_log(KX_LOG_WARNING, "%s: by flag", "step");
                  kx_log(KX_LOG_DEBUG, "%s: below threshold", "step");
              }),
              "kx-log-test: step: by flag\n");
}

TEST(Log, IdentityIsCopied) {
    char ident[] = "kx-first";
    kx_log_init(ident, KX_LOG_INFO, KX_LOG_FLAG_STDERR);
    std::strcpy(ident, "kx-other");
    EXPECT_EQ(stderr_of([] { kx_log(KX_LOG_INFO, "%s: who", "step"); }), "kx-first: step: who\n");
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
