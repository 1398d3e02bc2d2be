// SRV lookups against a real dnsmasq in a network namespace made for
// each test; the lookup itself runs in that namespace through the probe.
#include <glib.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sys/wait.h>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

struct GFreeDeleter {
    void operator()(void *p) const noexcept { g_free(p); }
};
using GCharPtr = std::unique_ptr<char, GFreeDeleter>;

struct RunResult {
    int exit_status = -1;
    std::string out;
    std::string err;
};

RunResult run(const std::vector<std::string> &args) {
    std::vector<char *> argv;
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);

    char *out = nullptr;
    char *err = nullptr;
    int wait_status = 0;
    GError *error = nullptr;
    bool spawned = g_spawn_sync(nullptr, argv.data(), nullptr, G_SPAWN_SEARCH_PATH, nullptr,
                                nullptr, &out, &err, &wait_status, &error);
    GCharPtr out_owner(out), err_owner(err);
    if (!spawned) {
        std::string message = error->message;
        g_error_free(error);
        throw std::runtime_error("cannot run " + args[0] + ": " + message);
    }
    RunResult result;
    result.exit_status =
        WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
    result.out = out != nullptr ? out : "";
    result.err = err != nullptr ? err : "";
    return result;
}

// A dnsmasq serving the given SRV records in its own namespace; stopped
// and its state directory removed when the object goes, pass or fail.
class SrvServer {
public:
    explicit SrvServer(const std::vector<std::string> &records) {
        char tmpl[] = "/tmp/kx-srv-test-XXXXXX";
        if (mkdtemp(tmpl) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        state_dir_ = tmpl;
        std::vector<std::string> args{DNS_SRV_NETNS, "start", state_dir_};
        for (const std::string &r : records) {
            args.push_back("--srv");
            args.push_back(r);
        }
        RunResult started = run(args);
        if (started.exit_status != 0) {
            cleanup();
            throw std::runtime_error("dns-srv-netns start failed: " + started.err);
        }
    }
    ~SrvServer() { cleanup(); }
    SrvServer(const SrvServer &) = delete;
    SrvServer &operator=(const SrvServer &) = delete;

    // The probe's line without its line feed, e.g. "found host 5672".
    std::string lookup(const std::string &name, size_t host_size = 1024) const {
        RunResult r = run({DNS_SRV_NETNS, "exec", state_dir_, "--", SRV_LOOKUP_PROBE, name,
                           std::to_string(host_size)});
        EXPECT_EQ(r.exit_status, 0) << r.err;
        while (!r.out.empty() && r.out.back() == '\n')
            r.out.pop_back();
        return r.out;
    }

private:
    void cleanup() noexcept {
        if (state_dir_.empty())
            return;
        try {
            RunResult stopped = run({DNS_SRV_NETNS, "stop", state_dir_});
            if (stopped.exit_status != 0)
                ADD_FAILURE() << "dns-srv-netns stop failed: " << stopped.err;
        } catch (const std::exception &e) {
            ADD_FAILURE() << e.what();
        }
        std::error_code ignored;
        std::filesystem::remove_all(state_dir_, ignored);
        state_dir_.clear();
    }

    std::string state_dir_;
};

TEST(DnsSrv, SingleRecordGivesItsHostAndPort) {
    SrvServer server({"_svc._tcp.example.test,host1.example.test,5672,0,0"});
    EXPECT_EQ(server.lookup("_svc._tcp.example.test"), "found host1.example.test 5672");
}

TEST(DnsSrv, LowestPriorityWinsThenHighestWeight) {
    SrvServer server({
        "_prio._tcp.example.test,heavy.example.test,1001,20,100",
        "_prio._tcp.example.test,light.example.test,1002,10,1",
        "_prio._tcp.example.test,late.example.test,1003,30,0",
        "_weight._tcp.example.test,w10.example.test,2010,5,10",
        "_weight._tcp.example.test,w90.example.test,2090,5,90",
        "_weight._tcp.example.test,w50.example.test,2050,5,50",
        "_weight._tcp.example.test,worse.example.test,2000,6,1000",
    });
    EXPECT_EQ(server.lookup("_prio._tcp.example.test"), "found light.example.test 1002");
    EXPECT_EQ(server.lookup("_weight._tcp.example.test"), "found w90.example.test 2090");
}

TEST(DnsSrv, NothingFoundLeavesOutputsUntouched) {
    SrvServer server(
        {"_svc._tcp.example.test,host1.example.test,5672,0,0", "_off._tcp.example.test,.,0,0,0"});
    EXPECT_EQ(server.lookup("_other._tcp.example.test"), "none untouched 7");
    // "." announces that the service is not offered at all.
    EXPECT_EQ(server.lookup("_off._tcp.example.test"), "none untouched 7");
    EXPECT_EQ(server.lookup(""), "none untouched 7");
}

TEST(DnsSrv, UnavailableMarkerIsSkippedInFavourOfARealTarget) {
    SrvServer server(
        {"_mix._tcp.example.test,.,0,0,0", "_mix._tcp.example.test,real.example.test,4000,10,0"});
    EXPECT_EQ(server.lookup("_mix._tcp.example.test"), "found real.example.test 4000");
}

TEST(DnsSrv, TargetThatDoesNotFitTheBufferIsNotCut) {
    SrvServer server({"_svc._tcp.example.test,a-rather-long-host.example.test,5672,0,0",
                      "_two._tcp.example.test,a-rather-long-host.example.test,5672,0,0",
                      "_two._tcp.example.test,short.example.test,5673,9,0"});
    // 31 characters need 32 bytes.
    EXPECT_EQ(server.lookup("_svc._tcp.example.test", 31), "none untouched 7");
    EXPECT_EQ(server.lookup("_svc._tcp.example.test", 32),
              "found a-rather-long-host.example.test 5672");
    EXPECT_EQ(server.lookup("_two._tcp.example.test", 31), "found short.example.test 5673");
}

} // namespace
