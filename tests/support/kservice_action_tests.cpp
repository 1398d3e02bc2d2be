#include "korvex/kcommon.h"
#include "korvex/kservice.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct GFreeDeleter {
    void operator()(void *p) const noexcept { g_free(p); }
};
using GCharPtr = std::unique_ptr<char, GFreeDeleter>;

struct ActionFree {
    void operator()(ServicesAction *a) const noexcept { services_action_free(a); }
};
using ActionPtr = std::unique_ptr<ServicesAction, ActionFree>;

// What the completion function saw; lives in the test, reached through cb_data.
struct Completion {
    int calls = 0;
    int exit_status = -1000;
    GThread *thread = nullptr;
    void *cb_data_seen = nullptr;
    std::string id_seen;
    GMainLoop *loop = nullptr;
};

void record_completion(ServicesAction *action) {
    auto *c = static_cast<Completion *>(action->cb_data);
    ++c->calls;
    c->exit_status = action->exit_status;
    c->thread = g_thread_self();
    c->cb_data_seen = action->cb_data;
    c->id_seen = action->id != nullptr ? action->id : "";
    g_main_loop_quit(c->loop);
}

// A private main context made thread-default and tracked for children, so
// every test starts from the same state whatever ran before it.
class ServicesActionTest : public testing::Test {
protected:
    void SetUp() override {
        context_ = g_main_context_new();
        g_main_context_push_thread_default(context_);
        loop_ = g_main_loop_new(context_, FALSE);
        mainloop_track_children(0);
        char tmpl[] = "/tmp/kx-service-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }

    void TearDown() override {
        g_main_loop_unref(loop_);
        g_main_context_pop_thread_default(context_);
        g_main_context_unref(context_);
        if (!dir_.empty()) {
            GCharPtr quoted(g_shell_quote(dir_.c_str()));
            std::string cmd = std::string("rm -rf -- ") + quoted.get();
            ASSERT_EQ(system(cmd.c_str()), 0);
        }
    }

    // Starts `exec args...` and runs the loop until the action completes.
    Completion run_to_completion(const char *exec, const std::vector<const char *> &args) {
        Completion c;
        c.loop = loop_;
        std::vector<const char *> argv(args);
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

    GMainContext *context_ = nullptr;
    GMainLoop *loop_ = nullptr;
    std::string dir_;
};

TEST_F(ServicesActionTest, ExitStatusOfNormalExits) {
    Completion ok = run_to_completion("true", {});
    EXPECT_EQ(ok.calls, 1);
    EXPECT_EQ(ok.exit_status, 0);
    EXPECT_EQ(ok.id_seen, "test-action");

    Completion three = run_to_completion("sh", {"-c", "exit 3"});
    EXPECT_EQ(three.calls, 1);
    EXPECT_EQ(three.exit_status, 3);
}

TEST_F(ServicesActionTest, KilledChildNeverReadsAsSuccess) {
    Completion killed = run_to_completion("/bin/sh", {"-c", "kill -KILL $$"});
    EXPECT_EQ(killed.calls, 1);
    EXPECT_EQ(killed.exit_status, 128 + 9);

    Completion terminated = run_to_completion("/bin/sh", {"-c", "kill -TERM $$"});
    EXPECT_EQ(terminated.exit_status, 128 + 15);
}

TEST_F(ServicesActionTest, DoneRunsOnceAndCallerDataIsUntouched) {
    Completion first = run_to_completion("true", {});
    std::string snapshot_id = first.id_seen;
    // A second action completing gives a repeated completion of the first
    // every chance to show up.
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
    std::string marker = dir_ + "/args";
    std::string input = dir_ + "/stdin";
    // $0 is the marker path; every further word is printed on its own line.
    Completion c = run_to_completion(
        "sh", {"-c", "printf '%s\\n' \"$@\" > \"$0\"; cat > \"$0.stdin\"", marker.c_str(),
               "two words", "", "*", "$HOME", "--flag", "quote'd"});
    ASSERT_EQ(c.exit_status, 0);

    std::ifstream in(marker);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), "two words\n\n*\n$HOME\n--flag\nquote'd\n");

    std::ifstream stdin_copy(marker + ".stdin");
    ASSERT_TRUE(stdin_copy.good());
    std::stringstream stdin_text;
    stdin_text << stdin_copy.rdbuf();
    EXPECT_EQ(stdin_text.str(), "");
}

struct ErrorLog {
    std::vector<std::string> lines;
    static void record(int level, const char *message, void *self) {
        if (level == KX_LOG_ERR)
            static_cast<ErrorLog *>(self)->lines.push_back(message);
    }
};

TEST_F(ServicesActionTest, MissingProgramIsRefusedAndNeverCompletes) {
    ErrorLog errors;
    kx_log_set_handler(&ErrorLog::record, &errors);
    Completion missing;
    missing.loop = loop_;
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
    ASSERT_EQ(errors.lines.size(), 1u);
    EXPECT_NE(errors.lines[0].find("kx-no-such-program-here"), std::string::npos)
        << errors.lines[0];
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

// The tracked context belongs to another thread than the one starting the
// action: completion must happen there, as in an agent whose requests and
// main loop share one thread but whose starter might not.
TEST_F(ServicesActionTest, CompletionRunsOnTheTrackedLoopThread) {
    struct LoopThread {
        GMainContext *context = g_main_context_new();
        GMainLoop *loop = g_main_loop_new(context, FALSE);
        GMutex lock;
        GCond ready_cond;
        bool ready = false;
    } t;
    g_mutex_init(&t.lock);
    g_cond_init(&t.ready_cond);

    GThread *thread = g_thread_new(
        "kx-loop",
        [](gpointer data) -> gpointer {
            auto *lt = static_cast<LoopThread *>(data);
            g_main_context_push_thread_default(lt->context);
            mainloop_track_children(0);
            g_mutex_lock(&lt->lock);
            lt->ready = true;
            g_cond_signal(&lt->ready_cond);
            g_mutex_unlock(&lt->lock);
            g_main_loop_run(lt->loop);
            g_main_context_pop_thread_default(lt->context);
            return nullptr;
        },
        &t);
    g_mutex_lock(&t.lock);
    while (!t.ready)
        g_cond_wait(&t.ready_cond, &t.lock);
    g_mutex_unlock(&t.lock);

    Completion c;
    c.loop = t.loop;
    ServicesAction *action = kx_services_action_create_generic("true", nullptr);
    ASSERT_NE(action, nullptr);
    action->cb_data = &c;
    bool started = services_action_async(action, record_completion);
    if (!started) {
        services_action_free(action);
        g_main_loop_quit(t.loop);
    }
    g_thread_join(thread);

    EXPECT_TRUE(started);
    EXPECT_EQ(c.calls, 1);
    EXPECT_EQ(c.thread, thread);
    EXPECT_EQ(c.exit_status, 0);

    g_main_loop_unref(t.loop);
    g_main_context_unref(t.context);
    g_mutex_clear(&t.lock);
    g_cond_clear(&t.ready_cond);
}

} // namespace
