// SRV lookups against a real dnsmasq in a per-test network namespace, run there by the probe.
#include <gtest/gtest.h>

#include "process.h"
#include "temp_dir.h"

using namespace korvex::test;

// dnsmasq stays in its script's process group, which the harness clears as the script ends: setsid.
static CommandResult dns_srv_netns(std::vector<std::string> args) {
    args.insert(args.begin(), {"setsid", "--wait", DNS_SRV_NETNS});
    return run_command(command(std::move(args)));
}

// One dnsmasq holds every case's records (each asks for names of its own); stopped pass or fail.
class DnsSrv : public testing::Test {
protected:
    void SetUp() override {
        std::vector<std::string> args{"start", dir_.path()};
        for (const char *record : kRecords)
            args.insert(args.end(), {"--srv", record});
        const CommandResult started = dns_srv_netns(args);
        ASSERT_EQ(started.exit_code(), 0) << "dns-srv-netns start: " << started.err;
    }

    void TearDown() override {
        const CommandResult stopped = dns_srv_netns({"stop", dir_.path()});
        EXPECT_EQ(stopped.exit_code(), 0) << "dns-srv-netns stop: " << stopped.err;
    }

    // The probe's answer, e.g. "found host 5672".
    std::string lookup(const std::string &name, size_t host_size = 1024) const {
        CommandResult r = dns_srv_netns(
            {"exec", dir_.path(), "--", SRV_LOOKUP_PROBE, name, std::to_string(host_size)});
        EXPECT_EQ(r.exit_code(), 0) << r.err;
        return r.out;
    }

    static constexpr const char *kRecords[] = {
        "_svc._tcp.example.test,host1.example.test,5672,0,0",
        "_prio._tcp.example.test,heavy.example.test,1001,20,100",
        "_prio._tcp.example.test,light.example.test,1002,10,1",
        "_prio._tcp.example.test,late.example.test,1003,30,0",
        "_weight._tcp.example.test,w10.example.test,2010,5,10",
        "_weight._tcp.example.test,w90.example.test,2090,5,90",
        "_weight._tcp.example.test,w50.example.test,2050,5,50",
        "_weight._tcp.example.test,worse.example.test,2000,6,1000",
        // "." announces that the service is not offered at all.
        "_off._tcp.example.test,.,0,0,0",
        "_mix._tcp.example.test,.,0,0,0",
        "_mix._tcp.example.test,real.example.test,4000,10,0",
        "_long._tcp.example.test,a-rather-long-host.example.test,5672,0,0",
        "_two._tcp.example.test,a-rather-long-host.example.test,5672,0,0",
        "_two._tcp.example.test,short.example.test,5673,9,0",
    };
    TempDir dir_{"kx-srv-test"};
};

TEST_F(DnsSrv, SingleRecordGivesItsHostAndPort) {
    EXPECT_EQ(lookup("_svc._tcp.example.test"), "found host1.example.test 5672");
}

TEST_F(DnsSrv, LowestPriorityWinsThenHighestWeight) {
    EXPECT_EQ(lookup("_prio._tcp.example.test"), "found light.example.test 1002");
    EXPECT_EQ(lookup("_weight._tcp.example.test"), "found w90.example.test 2090");
}

TEST_F(DnsSrv, NothingFoundLeavesOutputsUntouched) {
    EXPECT_EQ(lookup("_other._tcp.example.test"), "none untouched 7");
    EXPECT_EQ(lookup("_off._tcp.example.test"), "none untouched 7");
    EXPECT_EQ(lookup(""), "none untouched 7");
}

TEST_F(DnsSrv, UnavailableMarkerIsSkippedInFavourOfARealTarget) {
    EXPECT_EQ(lookup("_mix._tcp.example.test"), "found real.example.test 4000");
}

TEST_F(DnsSrv, TargetThatDoesNotFitTheBufferIsNotCut) {
    // 31 characters need 32 bytes.
    EXPECT_EQ(lookup("_long._tcp.example.test", 31), "none untouched 7");
    EXPECT_EQ(lookup("_long._tcp.example.test", 32), "found a-rather-long-host.example.test 5672");
    EXPECT_EQ(lookup("_two._tcp.example.test", 31), "found short.example.test 5673");
}
