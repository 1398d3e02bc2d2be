#include "korvex/kcommon.h"
#include "korvex/kservice.h"

#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "temp_dir.h"

using namespace korvex::test;

using ActionPtr =
    std::unique_ptr<ServicesAction, decltype([](ServicesAction *a) { services_action_free(a); })>;

// What the completion function saw; lives in the test, reached through cb_data.
struct Completion {
    int calls = 0;
    int exit_status = -1000;
    GThread *thread = nullptr;
    void *cb_data_seen = nullptr;
    std::string id_seen{};
    GMainLoop *loop = nullptr;
};

static void record_completion(ServicesAction *action) {
    auto *c = static_cast<Completion *>(action->cb_data);
    ++c->calls;
    c->exit_status = action->exit_status;
    c->thread = g_thread_self();
    c->cb_data_seen = action->cb_data;
    c->id_seen = action->id != nullptr ? action->id : "";
    g_main_loop_quit(c->loop);
}

// A private, thread-default main context tracked for children: the same start for every test.
class ServicesActionTest : public testing::Test {
protected:
    void SetUp() override {
        g_main_context_push_thread_default(context_);
        mainloop_track_children(0);
    }

    void TearDown() override {
        g_main_loop_unref(loop_);
        g_main_context_pop_thread_default(context_);
        g_main_context_unref(context_);
    }

    Completion run_to_completion(const char *exec, std::vector<const char *> argv) {
        Completion c{.loop = loop_};
        argv.push_back(nullptr);
        ServicesAction *action = kx_services_action_create_generic(exec, argv.data());
        EXPECT_NE(action, nullptr);
        if (action == nullptr)
            return c;
        action->id = g_strdup("test-action");
        action->cb_data = &c;
        if (!services_action_async(action, record_completion)) {
            ADD_FAILURE() << "could not start " << exec;
            services_action_free(action);
            return c;
        }
        g_main_loop_run(loop_);
        return c;
    }

    GMainContext *context_ = g_main_context_new();
    GMainLoop *loop_ = g_main_loop_new(context_, FALSE);
    TempDir dir_{"kx-service-test"};
};

TEST_F(ServicesActionTest, ExitStatusOfNormalExits) {
    Completion ok = run_to_completion("true", {});
    EXPECT_EQ(ok.calls, 1);
    EXPECT_EQ(ok.exit_status, 0);
    EXPECT_EQ(ok.id_seen, "test-action");

    Completion three = run_to_completion("sh", {"-c", "exit 3"});
    EXPECT_EQ(three.calls, 1);
    EXPECT_EQ(three.exit_status, 3);
    EXPECT_EQ(three.id_seen, "test-action");
}

TEST_F(ServicesActionTest, KilledChildNeverReadsAsSuccess) {
    Completion killed = run_to_completion("/bin/sh", {"-c", "kill -KILL $$"});
    EXPECT_EQ(killed.calls, 1);
    EXPECT_EQ(killed.exit_status, 128 + 9);

    Completion terminated = run_to_completion("/bin/sh", {"-c", "kill -TERM $$"});
    EXPECT_EQ(terminated.calls, 1);
    EXPECT_EQ(terminated.exit_status, 128 + 15);
}

TEST_F(ServicesActionTest, DoneRunsOnceAndCallerDataIsUntouched) {
    Completion first = run_to_completion("true", {});
    std::string snapshot_id = first.id_seen;
    // A second action's completion gives a repeated completion of the first every chance to show.
    Completion second = run_to_completion("true", {});
    while (g_main_context_iteration(context_, FALSE)) {
    }
    EXPECT_EQ(first.calls, 1);
    EXPECT_EQ(second.calls, 1);
    EXPECT_EQ(first.cb_data_seen, static_cast<void *>(&first));
    EXPECT_EQ(first.loop, loop_);
    EXPECT_EQ(snapshot_id, "test-action");
}

TEST_F(ServicesActionTest, ArgumentsArriveExactlyAndStdinIsEmpty) {
    const std::string marker = dir_.file("args");
    // $0 is the marker path; every further word is printed on its own line.
    Completion c = run_to_completion(
        "sh", {"-c", "printf '%s\\n' \"$@\" > \"$0\"; cat > \"$0.stdin\"", marker.c_str(),
               "two words", "", "*", "$HOME", "--flag", "quote'd"});
    ASSERT_EQ(c.exit_status, 0);

    EXPECT_EQ(read_file(marker), "two words\n\n*\n$HOME\n--flag\nquote'd\n");
    ASSERT_TRUE(file_exists(marker + ".stdin"));
    EXPECT_EQ(read_file(marker + ".stdin"), "");
}

TEST_F(ServicesActionTest, MissingProgramIsRefusedAndNeverCompletes) {
    std::vector<std::string> errors;
    kx_log_set_handler(
        [](int level, const char *message, void *lines) {
            if (level == KX_LOG_ERR)
                static_cast<std::vector<std::string> *>(lines)->push_back(message);
        },
        &errors);
    Completion missing{.loop = loop_};
    const char *args[] = {"x", nullptr};
    ActionPtr action(kx_services_action_create_generic("kx-no-such-program-here", args));
    ASSERT_NE(action, nullptr);
    action->id = g_strdup("missing");
    action->cb_data = &missing;

    EXPECT_FALSE(services_action_async(action.get(), record_completion));
    kx_log_set_handler(nullptr, nullptr);

    // The caller still owns the action; a later completion must not appear.
    Completion after = run_to_completion("true", {});
    while (g_main_context_iteration(context_, FALSE)) {
    }
    EXPECT_EQ(missing.calls, 0);
    EXPECT_EQ(after.calls, 1);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("kx-no-such-program-here"), std::string::npos) << errors[0];
}

TEST_F(ServicesActionTest, CreationRefusesNoProgramAndFreeAcceptsNull) {
    EXPECT_EQ(kx_services_action_create_generic(nullptr, nullptr), nullptr);
    EXPECT_EQ(kx_services_action_create_generic("", nullptr), nullptr);
    services_action_free(nullptr);

    // NULL args means no arguments: "true" runs as is.
    ActionPtr action(kx_services_action_create_generic("true", nullptr));
    ASSERT_NE(action, nullptr);
    ASSERT_NE(action->argv, nullptr);
    EXPECT_STREQ(action->argv[0], "true");
    EXPECT_EQ(action->argv[1], nullptr);
}

// Completion happens on the thread whose context is tracked, not the one starting the action.
TEST_F(ServicesActionTest, CompletionRunsOnTheTrackedLoopThread) {
    ActionPtr action(kx_services_action_create_generic("true", nullptr));
    ASSERT_NE(action, nullptr);
    GMainContext *context = g_main_context_new();
    GMainLoop *loop = g_main_loop_new(context, FALSE);
    std::promise<GThread *> tracking;
    std::thread loop_thread([&] {
        g_main_context_push_thread_default(context);
        mainloop_track_children(0);
        tracking.set_value(g_thread_self());
        g_main_loop_run(loop);
        g_main_context_pop_thread_default(context);
    });
    GThread *const thread = tracking.get_future().get();

    Completion c{.loop = loop};
    action->cb_data = &c;
    const bool started = services_action_async(action.get(), record_completion);
    if (started)
        action.release(); // the library frees it once done
    else
        g_main_loop_quit(loop);
    loop_thread.join();

    EXPECT_TRUE(started);
    EXPECT_EQ(c.calls, 1);
    EXPECT_EQ(c.thread, thread);
    EXPECT_EQ(c.exit_status, 0);
    g_main_loop_unref(loop);
    g_main_context_unref(context);
}
