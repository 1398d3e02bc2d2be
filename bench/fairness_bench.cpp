// kx-bench-fairness ROUNDS
//
// Whether one caller's load holds up another: root's Get "uuid" on a
// sysconfig agent that some other work keeps busy, beside the same request
// on an idle sysconfig agent, alternating the two. Each agent has a private
// bus and polkitd of its own (no rules: the agent's own policy decides), so
// nothing of the load reaches the idle side. The loads, one after another:
//   held-challenge    uid 65534 with an authentication agent that never
//                     answers has 16 `is_configured` calls waiting in polkitd
//                     (and a 17th turned away)
//   after-burst       just after uid 65534 put 40,000 no-reply
//                     `is_configured` calls on the bus, which the agent must
//                     refuse or drop
//   puppet-cold       a puppet `run_string` starting while the puppet on the
//                     agent's PATH has just changed (a copy of it, touched)
//   puppet-warm       the next puppet `run_string`, same puppet
//   slow-download     a `run_uri` from a loopback server that sends one
//                     byte every 0.9 s
//   other-user-downloads
//                     uid 65534 (allowed to run documents here) has 16
//                     `run_uri` of keys of their own from a server that
//                     never ends them; root's `query` is timed instead of
//                     Get "uuid", at most 20 pairs (each loads augeas)
// Every load is bounded in count and time; at most ROUNDS pairs are timed
// per load, fewer once the load is over (a puppet run that has answered).
//
// Must run in a private mount namespace whose /etc, /var/lib and puppet
// folders are the benchmark's own (bench/run sees to that). Prints
// FAIRNESS lines (see sample_set.h) and NOTE lines for the table.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "bench_program.h"
#include "bus_client.h"
#include "http_server.h"
#include "process.h"
#include "sample_set.h"
#include "test_bus.h"

using namespace korvex::bench;
using namespace korvex::test;
using namespace std::chrono_literals;

namespace {

constexpr const char *kName = "org.vaduderuvoziz.Sysconfig";
constexpr const char *kPath = "/org/vaduderuvoziz/Sysconfig";
constexpr const char *kKey = "bench-fairness-key";
constexpr long kBurstCalls = 40000;

class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0)
            close(fd_);
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// An HTTP server on 127.0.0.1 that announces a document to its first
// client and then sends it one byte every 0.9 s, until it is stopped or
// two minutes have passed.
class SlowServer {
public:
    SlowServer() : listener_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (listener_.get() < 0 ||
            bind(listener_.get(), reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
            listen(listener_.get(), 1) != 0 ||
            getsockname(listener_.get(), reinterpret_cast<sockaddr *>(&address), &length) != 0)
            throw std::runtime_error("cannot listen on 127.0.0.1");
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~SlowServer() { stop(); }
    SlowServer(const SlowServer &) = delete;
    SlowServer &operator=(const SlowServer &) = delete;

    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/slow"; }
    // True once a client has the headers and is waiting for the body.
    bool sending() const { return sending_; }
    void stop() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable())
            thread_.join();
    }

private:
    bool stopping() {
        std::lock_guard<std::mutex> lock(mutex_);
        return stopping_;
    }

    void serve() {
        const auto give_up = std::chrono::steady_clock::now() + 2min;
        pollfd waiting{listener_.get(), POLLIN, 0};
        while (poll(&waiting, 1, 100) <= 0) {
            if (stopping() || std::chrono::steady_clock::now() > give_up)
                return;
        }
        Descriptor client(accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (client.get() < 0)
            return;
        char request[4096];
        if (recv(client.get(), request, sizeof request, 0) <= 0)
            return;
        const std::string head =
            "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 4096\r\n\r\n";
        if (send(client.get(), head.data(), head.size(), MSG_NOSIGNAL) < 0)
            return;
        sending_ = true;
        std::unique_lock<std::mutex> lock(mutex_);
        while (!wake_.wait_for(lock, 900ms, [this] { return stopping_; }) &&
               std::chrono::steady_clock::now() < give_up) {
            if (send(client.get(), "#", 1, MSG_NOSIGNAL) != 1)
                return;
        }
    }

    Descriptor listener_;
    uint16_t port_ = 0;
    std::atomic<bool> sending_{false};
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;
};

std::string find_on_path(const std::string &program) {
    std::istringstream path(std::getenv("PATH") != nullptr ? std::getenv("PATH") : "");
    for (std::string dir; std::getline(path, dir, ':');) {
        const std::string candidate = dir + "/" + program;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    throw std::runtime_error(program + " is not on PATH");
}

class FairnessRun {
public:
    FairnessRun(int rounds, const TempDir &scratch)
        : rounds_(rounds), scratch_(scratch), tools_("korvex-bench-tools"),
          loaded_work_("korvex-bench-work"), idle_work_("korvex-bench-work"),
          puppet_(tools_.file("puppet")) {
        // The loaded agent finds a copy of puppet first, so that touching
        // the copy makes its next puppet request check the version anew.
        std::filesystem::copy_file(find_on_path("puppet"), puppet_);
        chmod(puppet_.c_str(), 0755);
        const char *inherited = std::getenv("PATH");
        const std::string path =
            tools_.path() + ":" + (inherited != nullptr ? inherited : "/usr/bin:/bin");
        loaded_agent_ = started_agent(
            loaded_bus_, {{KX_SYSCONFIG_AGENT}, {}, {"PATH=" + path}, loaded_work_.path(), kName});
        idle_agent_ =
            started_agent(idle_bus_, {{KX_SYSCONFIG_AGENT}, {}, {}, idle_work_.path(), kName});
        loaded_ = std::make_unique<BusClient>(loaded_bus_.address());
        idle_ = std::make_unique<BusClient>(idle_bus_.address());
        runner_ = std::make_unique<BusClient>(loaded_bus_.address());
        // First requests page the agents' code in and make polkitd read
        // its configuration.
        for (int i = 0; i < 20; ++i) {
            get_uuid(*loaded_);
            get_uuid(*idle_);
        }
    }

    void held_challenge() {
        // One call more than a user may have in progress: the agent turns
        // that one away, and the other 16 are held once polkitd has opened
        // an authentication for each with the silent agent. Timing starts
        // there: until then polkitd is still taking in the 16 checks, which
        // holds up its answer to root's check as any other burst would
        // (the first figure is about 40 to 130 ms then).
        const std::string out = scratch_.file("holder");
        Process holder = hold_challenge(kNobody, loaded_bus_.address(), out, 17, kName, kPath,
                                        kName, "is_configured", {Arg::s(kKey)});
        const auto count = [&](const std::string &line) {
            const std::string text = read_file(out);
            size_t found = 0;
            for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1))
                ++found;
            return found;
        };
        const bool held =
            wait_until([&] { return count("challenged\n") == 16 && count("\nreply ") == 1; }, 30s);
        const std::string replies = read_file(out);
        if (!held || replies.find("\nreply org.freedesktop.DBus.Error.LimitsExceeded: Too many "
                                  "requests of uid 65534 in progress; try again later\n") ==
                         std::string::npos)
            throw std::runtime_error("uid 65534's calls were not held: " + replies);
        measure("held-challenge", 0ms, [&] { return holder.running(); });
        if (read_file(out) != replies)
            throw std::runtime_error("uid 65534's calls were answered meanwhile: " +
                                     read_file(out));
        holder.stop();
    }

    void burst() {
        ProcessOptions sender;
        sender.argv = {KX_BENCH_REQUEST_CLIENT, "--burst", loaded_bus_.address(),
                       std::to_string(kBurstCalls), kKey};
        sender.uid = kNobody;
        sender.cwd = "/";
        CommandResult sent = run_command(sender, 2min);
        if (sent.exit_code() != 0)
            throw std::runtime_error("burst sender failed: " + sent.err);
        measure("after-burst", 0ms, [] { return true; });
        long count = 0;
        double millis = 0;
        std::sscanf(sent.out.c_str(), "BURST %ld %lf", &count, &millis);
        std::printf(
            "NOTE burst: %ld no-reply is_configured calls of uid 65534 on the bus in %.0f ms\n",
            count, millis);
        // What is left of the burst must not spill into the next load.
        wait_until([&] { return get_uuid(*loaded_) < 50ms; }, 60s, 0ms);
    }

    void puppet_request(const std::string &name, bool changed_puppet) {
        if (changed_puppet && utimensat(AT_FDCWD, puppet_.c_str(), nullptr, 0) != 0)
            throw std::runtime_error("cannot touch " + puppet_);
        const std::string manifest = "file { '" + scratch_.file("puppet-target") +
                                     "':\n  content => \"" + name + "\\n\",\n}\n";
        BusClient::Pending run = runner_->send(
            kName, kPath, kName, "run_string",
            {Arg::s(manifest), Arg::u(1), Arg::s("puppet"), Arg::s("bench-fairness-puppet")});
        if (!name.empty())
            measure(name, 5ms, [&] { return in_progress(run); });
        Reply reply = run.wait();
        if (!reply.ok || reply.str().rfind("OK", 0) != 0)
            throw std::runtime_error("puppet run through the agent: " + reply.error_message +
                                     (reply.ok ? reply.str() : ""));
    }

    void other_user_downloads() {
        HttpServer server; // its /trickle never ends
        const auto started = [&] {
            const std::vector<std::string> asked = server.requests();
            return std::count(asked.begin(), asked.end(), "/trickle");
        };
        Process downloads =
            hold_challenge(kNobody, loaded_bus_.address(), scratch_.file("downloader"), 16, kName,
                           kPath, kName, "run_uri",
                           {Arg::s(server.url("/trickle")), Arg::u(1), Arg::s("augeas"),
                            Arg::s("bench-trickle-%i")});
        if (!wait_until([&] { return started() == 4; }, 30s))
            throw std::runtime_error("uid 65534's downloads did not start");
        measure("other-user-downloads", 20ms, [&] { return downloads.running(); }, query, 20);
        downloads.stop();
    }

    void slow_download() {
        SlowServer server;
        BusClient::Pending download = runner_->send(
            kName, kPath, kName, "run_uri",
            {Arg::s(server.url()), Arg::u(1), Arg::s("augeas"), Arg::s("bench-fairness-download")});
        if (!wait_until([&] { return server.sending(); }, 30s))
            throw std::runtime_error("the agent did not start the download");
        measure("slow-download", 20ms, [&] { return in_progress(download); });
        // The document ends early now, and the agent gives the run up.
        server.stop();
        download.wait();
    }

private:
    // Root's Get "uuid", timed; a request that fails is timed all the same.
    static std::chrono::steady_clock::duration get_uuid(BusClient &client,
                                                        SampleSet *samples = nullptr) {
        const auto begin = std::chrono::steady_clock::now();
        Reply reply = client.call(kName, kPath, kPropertiesIface, "Get",
                                  {Arg::s(kName), Arg::s("uuid")}, 60000);
        const auto taken = std::chrono::steady_clock::now() - begin;
        if (samples != nullptr)
            samples->add(taken);
        if (!reply.ok)
            std::fprintf(stderr, "Get uuid: %s: %s\n", reply.error_name.c_str(),
                         reply.error_message.c_str());
        return taken;
    }

    // Root's query of one augeas value, timed likewise.
    static std::chrono::steady_clock::duration query(BusClient &client, SampleSet *samples) {
        const auto begin = std::chrono::steady_clock::now();
        Reply reply = client.call(kName, kPath, kName, "query",
                                  {Arg::s("/augeas/version"), Arg::u(0), Arg::s("augeas")}, 60000);
        const auto taken = std::chrono::steady_clock::now() - begin;
        samples->add(taken);
        if (!reply.ok)
            std::fprintf(stderr, "query: %s: %s\n", reply.error_name.c_str(),
                         reply.error_message.c_str());
        return taken;
    }

    bool in_progress(BusClient::Pending &call) {
        runner_->pump(0);
        return !call.done();
    }

    // Up to `rounds_` pairs while `going_on` holds, the loaded agent first
    // in the first pair so that "right after" means right after.
    using Request = std::chrono::steady_clock::duration (*)(BusClient &, SampleSet *);
    void measure(const std::string &name, std::chrono::milliseconds pause,
                 const std::function<bool()> &going_on, Request request = get_uuid,
                 int most = 0) {
        SampleSet loaded, idle;
        const int rounds = most > 0 ? std::min(rounds_, most) : rounds_;
        for (int round = 0; round < rounds && going_on(); ++round) {
            side_by_side(
                round + 1, [&] { request(*loaded_, &loaded); }, [&] { request(*idle_, &idle); });
            std::this_thread::sleep_for(pause);
        }
        print_fairness(name, loaded, idle);
    }

    int rounds_;
    const TempDir &scratch_;
    TempDir tools_;
    TempDir loaded_work_;
    TempDir idle_work_;
    std::string puppet_;
    // uid 65534 may fetch documents on the loaded side; everything else is
    // the agent's own policy.
    TestSystemBus loaded_bus_{TestBusOptions{.polkit_rules = R"(polkit.addRule(function(action, subject) {
    if (action.id == "org.vaduderuvoziz.Sysconfig.run_uri" && subject.user == "nobody")
        return polkit.Result.YES;
});
)"}};
    TestSystemBus idle_bus_;
    std::unique_ptr<Agent> loaded_agent_;
    std::unique_ptr<Agent> idle_agent_;
    std::unique_ptr<BusClient> loaded_;
    std::unique_ptr<BusClient> idle_;
    std::unique_ptr<BusClient> runner_;
};

} // namespace

int main(int argc, char **argv) {
    return bench_main(argc, argv, 1, "ROUNDS", [](char **operands) {
        store_key_status(kKey, "OK\nbenchmark status\n");
        TempDir scratch("korvex-bench-fairness");
        FairnessRun run(rounds_operand(operands[1]), scratch);
        run.held_challenge();
        run.burst();
        // One run first: the cold row is then about the version check, not
        // about reading puppet's code from disk.
        run.puppet_request("", false);
        run.puppet_request("puppet-cold", true);
        run.puppet_request("puppet-warm", false);
        run.slow_download();
        run.other_user_downloads();
        return 0;
    });
}
