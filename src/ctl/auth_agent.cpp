#include "auth_agent.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <csignal>
#include <string>

namespace korvex::ctl {

namespace {

// The descriptor the agent reports its registration on, in the child.
constexpr int kNotifyFd = 3;
// An agent that neither registers nor exits in this time is not waited for.
constexpr int kRegistrationWaitMs = 10000;

} // namespace

TextAuthAgent::TextAuthAgent() {
    if (!isatty(STDIN_FILENO))
        return;
    GCharPtr program{g_find_program_in_path("pkttyagent")};
    if (!program)
        return;
    int notify[2];
    if (pipe2(notify, O_CLOEXEC) != 0)
        return;

    ObjectPtr<GSubprocessLauncher> launcher{g_subprocess_launcher_new(G_SUBPROCESS_FLAGS_NONE)};
    // The launcher owns the write end from here on and closes it on our
    // side once the child has it.
    g_subprocess_launcher_take_fd(launcher.get(), notify[1], kNotifyFd);
    const std::string fd_text = std::to_string(kNotifyFd);
    GError *raw = nullptr;
    agent_.reset(g_subprocess_launcher_spawn(launcher.get(), &raw, program.get(), "--notify-fd",
                                             fd_text.c_str(), "--fallback", nullptr));
    ErrorPtr error{raw};
    launcher.reset();
    if (agent_) {
        // The agent closes its end once it has registered; an agent that
        // fails ends and closes it too.
        pollfd wait{notify[0], POLLIN, 0};
        poll(&wait, 1, kRegistrationWaitMs);
    }
    close(notify[0]);
}

TextAuthAgent::~TextAuthAgent() {
    if (!agent_)
        return;
    g_subprocess_send_signal(agent_.get(), SIGTERM);
    g_subprocess_wait(agent_.get(), nullptr, nullptr);
}

} // namespace korvex::ctl
