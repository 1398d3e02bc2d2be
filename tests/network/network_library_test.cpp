// Interface list and per-interface queries of libknetwork, and the SIGAR
// records behind them, read inside a network namespace made for each test.
#include "namespace_fixture.h"

#include <cerrno>
#include <map>
#include <string>
#include <vector>

namespace korvex::test {
namespace {

// The probe's 40-byte buffer, as it shows it, after the library wrote text.
std::string buffer_after_writing(const std::string &text) {
    return text + "\\0" + std::string(40 - text.size() - 1, '#');
}

const std::string untouched_buffer(40, '#');

class KnetworkLibrary : public NamespaceTest {
protected:
    std::string buffer(const std::string &kind, const std::string &name,
                       const std::string &size = "40") const {
        CommandResult outcome = probe({kind, name, size});
        EXPECT_EQ(outcome.exit_code(), 0) << outcome.describe();
        const Lines lines = outcome.lines();
        return lines.size() == 2 && lines[0] == "returned-buffer" ? lines[1] : "unexpected output";
    }
    std::string status(const std::string &name) const {
        CommandResult outcome = probe({"status", name});
        EXPECT_EQ(outcome.exit_code(), 0) << outcome.describe();
        return outcome.out;
    }
    Lines config(const std::string &name) const {
        CommandResult outcome = probe({"config", name});
        EXPECT_EQ(outcome.exit_code(), 0) << outcome.describe();
        return outcome.lines();
    }
};

TEST_F(KnetworkLibrary, ListsEveryInterfaceInReverseEnumerationOrder) {
    const std::string latin1 = "b\xe9"; // a name is bytes, not text
    space_.add_veth("eth0");
    space_.add_veth("wan1");
    space_.add_tun("tun0"); // no hardware address at all
    space_.add_veth(latin1);
    space_.ip({"link", "set", "dev", "wan1", "up"});
    space_.ip({"addr", "add", "10.77.3.1/24", "dev", latin1});
    space_.ip({"addr", "add", "10.77.1.5/24", "dev", "eth0"});
    space_.ip({"addr", "add", "10.77.2.1/24", "dev", "eth0", "label", "eth0:1"});
    space_.ip({"addr", "add", "10.77.2.2/24", "dev", "eth0", "label", "eth0:1"});
    space_.ip({"-6", "addr", "add", "2001:db8::1/64", "dev", "wan1", "nodad"});
    ASSERT_EQ(space_.link_names(), (Lines{"lo", "eth0", "wan1", "tun0", latin1}));

    // SIOCGIFCONF gives eth0, eth0:1 twice and the last veth, by device
    // and address; /proc/net/dev then adds the devices without IPv4. The
    // library's list runs the other way round.
    CommandResult listing = probe({"list"});
    ASSERT_EQ(listing.exit_code(), 0) << listing.describe();
    EXPECT_EQ(listing.lines(), (Lines{"tun0", "wan1", "lo", latin1, "eth0:1", "eth0"}));
}

TEST_F(KnetworkLibrary, MacTextIsUpperCaseAndBoundedByTheBuffer) {
    space_.add_veth("eth0", "02:00:00:00:00:0a");
    space_.add_veth("eth1", "02:ab:cd:ef:ff:10");
    space_.add_tun("tun0");

    EXPECT_EQ(buffer("mac", "eth0"), buffer_after_writing("02:00:00:00:00:0A"));
    EXPECT_EQ(buffer("mac", "eth1"), buffer_after_writing("02:AB:CD:EF:FF:10"));
    EXPECT_EQ(buffer("mac", "lo"), buffer_after_writing("00:00:00:00:00:00"));
    EXPECT_EQ(buffer("mac", "tun0"), buffer_after_writing("00:00:00:00:00:00"));

    // Exactly 18 bytes hold the whole text; fewer cut it and terminate.
    EXPECT_EQ(buffer("mac", "eth0", "18"), buffer_after_writing("02:00:00:00:00:0A"));
    EXPECT_EQ(buffer("mac", "eth0", "17"), buffer_after_writing("02:00:00:00:00:0"));
    EXPECT_EQ(buffer("mac", "eth0", "5"), buffer_after_writing("02:0"));
    EXPECT_EQ(buffer("mac", "eth0", "1"), buffer_after_writing(""));
    EXPECT_EQ(buffer("mac", "eth0", "0"), untouched_buffer);

    EXPECT_EQ(buffer("mac", "ETH0"), buffer_after_writing(""));
    EXPECT_EQ(buffer("mac", "eth"), buffer_after_writing(""));
    EXPECT_EQ(buffer("mac", "missing", "0"), untouched_buffer);
}

TEST_F(KnetworkLibrary, IpTextFollowsTheExactNameAndItsIpv4Address) {
    for (const char *name : {"eth0", "eth1", "eth2"})
        space_.add_veth(name);
    space_.ip({"addr", "add", "10.77.1.5/24", "dev", "eth0"});
    // A secondary address is not the one reported.
    space_.ip({"addr", "add", "10.77.1.6/24", "dev", "eth0"});
    space_.ip({"addr", "add", "10.77.2.1/24", "dev", "eth0", "label", "eth0:1"});
    space_.ip({"link", "set", "dev", "eth2", "up"});
    space_.ip({"-6", "addr", "add", "2001:db8::2/64", "dev", "eth2", "nodad"});

    EXPECT_EQ(buffer("ip", "eth0"), buffer_after_writing("10.77.1.5"));
    EXPECT_EQ(buffer("ip", "eth0:1"), buffer_after_writing("10.77.2.1"));
    EXPECT_EQ(buffer("ip", "ETH0"), buffer_after_writing(""));
    EXPECT_EQ(buffer("ip", "eth0:2"), buffer_after_writing(""));
    EXPECT_EQ(buffer("ip", "missing"), buffer_after_writing(""));

    // No IPv4 address, with or without IPv6: the unset address as SIGAR
    // renders it, unlike an absent interface.
    EXPECT_EQ(buffer("ip", "eth1"), buffer_after_writing("0.0.0.0"));
    EXPECT_EQ(buffer("ip", "eth2"), buffer_after_writing("0.0.0.0"));
    EXPECT_EQ(buffer("ip", "lo"), buffer_after_writing("0.0.0.0"));
    space_.ip({"link", "set", "dev", "lo", "up"});
    EXPECT_EQ(buffer("ip", "lo"), buffer_after_writing("127.0.0.1"));

    EXPECT_EQ(buffer("ip", "eth0", "5"), buffer_after_writing("10.7"));
    EXPECT_EQ(buffer("ip", "eth0", "10"), buffer_after_writing("10.77.1.5"));
    EXPECT_EQ(buffer("ip", "eth0", "0"), untouched_buffer);
}

TEST_F(KnetworkLibrary, StatusReportsUpDownAndAbsent) {
    for (const char *name : {"eth0", "eth1"})
        space_.add_veth(name);
    space_.add_tun("tun0");
    space_.ip({"link", "set", "dev", "eth1", "up"});
    space_.ip({"addr", "add", "10.77.3.1/24", "dev", "eth1", "label", "eth1:5"});

    EXPECT_EQ(status("eth1"), "0 1\n");
    EXPECT_EQ(status("eth1:5"), "0 1\n"); // an alias is as up as its device
    EXPECT_EQ(status("eth0"), "0 2\n");
    EXPECT_EQ(status("tun0"), "0 2\n");
    EXPECT_EQ(status("lo"), "0 2\n");

    // Absent: result 1 and the caller's value (77) left alone.
    EXPECT_EQ(status("ETH1"), "1 77\n");
    EXPECT_EQ(status("eth1:6"), "1 77\n");
    EXPECT_EQ(status("eth"), "1 77\n");
    EXPECT_EQ(status(""), "1 77\n");

    space_.ip({"link", "set", "dev", "eth1", "down"});
    EXPECT_EQ(status("eth1"), "0 2\n");
}

TEST_F(KnetworkLibrary, UnreadableInterfacesLookAbsent) {
    space_.add_veth("eth0");
    space_.ip({"link", "set", "dev", "eth0", "up"});
    space_.ip({"addr", "add", "10.77.4.1/24", "dev", "eth0"});
    CommandResult readable = probe({"list"});
    // eth0 has IPv4 and lo not, so SIGAR lists eth0 first.
    ASSERT_EQ(readable.lines(), (Lines{"lo", "eth0"})) << readable.describe();

    // At a descriptor limit of 3 or 4 no descriptor is left for the enumeration's
    // netlink socket: nothing is listed, and every query answers as for an absent name.
    for (const std::string limit : {"3", "4"}) {
        SCOPED_TRACE("descriptor limit " + limit);
        CommandResult listing = probe({"--fd-limit", limit, "list"});
        EXPECT_EQ(listing.exit_code(), 0) << listing.describe();
        EXPECT_EQ(listing.out, "");

        CommandResult state = probe({"--fd-limit", limit, "status", "eth0"});
        EXPECT_EQ(state.out, "1 77\n") << state.describe();
        CommandResult mac = probe({"--fd-limit", limit, "mac", "eth0", "40"});
        EXPECT_EQ(mac.lines(), (Lines{"returned-buffer", buffer_after_writing("")}))
            << mac.describe();
        CommandResult address = probe({"--fd-limit", limit, "ip", "eth0", "40"});
        EXPECT_EQ(address.lines(), (Lines{"returned-buffer", buffer_after_writing("")}))
            << address.describe();
    }
}

TEST_F(KnetworkLibrary, AnswersAboutOneNameAreThoseOfTheWholeList) {
    const std::string latin1 = "b\xe9";
    for (const std::string &name : {std::string("eth0"), std::string("eth1"), latin1})
        space_.add_veth(name);
    space_.add_tun("tun0");
    space_.ip({"link", "set", "dev", "eth0", "up"});
    space_.ip({"addr", "add", "10.77.1.5/24", "dev", "eth0"});
    space_.ip({"addr", "add", "10.77.1.6/24", "dev", "eth0"}); // eth0 twice in SIGAR's order
    space_.ip({"addr", "add", "10.77.2.1/24", "dev", "eth0", "label", "eth0:1"});
    space_.ip({"addr", "add", "10.77.3.1/24", "dev", "eth0", "label", "eth1"}); // eth1 twice too
    space_.ip({"addr", "add", "10.77.4.1/24", "dev", latin1});
    space_.ip({"-6", "addr", "add", "2001:db8::1/64", "dev", "eth1", "nodad"});

    const Lines walked = probe({"records"}).lines();
    std::map<std::string, std::string> by_name;
    for (const auto &line : walked)
        by_name[line.substr(0, line.find('|'))] = line;
    ASSERT_EQ(by_name.size(), 6u) << ::testing::PrintToString(walked); // lo eth0 eth0:1 eth1 b\xe9 tun0
    std::vector<std::string> names = {"ETH0", "eth0:2", "eth", "", "eth1:1", ":1", "x:1",
                                      "a-name-longer-than-fifteen"};
    Lines expected;
    for (const auto &name : names)
        expected.push_back(name + "|absent||");
    for (const auto &[name, line] : by_name) {
        names.push_back(name);
        expected.push_back(line);
    }
    names.insert(names.begin(), "answers");
    EXPECT_EQ(probe(names).lines(), expected);
}

class KnetworkSigar : public KnetworkLibrary {};

// An unset address, rendered as SIGAR renders it.
const std::string no_address = "0 0.0.0.0";

TEST_F(KnetworkSigar, RecordsCarryTheKernelsConfiguration) {
    space_.add_veth("eth0");
    space_.add_tun("tun0");
    space_.ip({"link", "set", "dev", "eth0", "address", "02:00:00:00:00:0a", "mtu", "1400",
               "txqueuelen", "321", "up"});
    space_.ip({"addr", "add", "10.77.1.5/24", "broadcast", "10.77.1.255", "dev", "eth0"});
    space_.ip({"addr", "add", "10.77.2.1/16", "dev", "eth0", "label", "eth0:1"});
    space_.ip({"-6", "addr", "add", "2001:db8::5/64", "dev", "eth0", "nodad"});
    space_.ip({"addr", "add", "10.9.0.1", "peer", "10.9.0.2", "dev", "tun0"});
    space_.ip({"link", "set", "dev", "lo", "up"});

    // The peer end is down, so eth0 has no carrier and is not RUNNING.
    const std::string ethernet_flags = "flags=0x803"; // UP BROADCAST MULTICAST
    EXPECT_EQ(config("eth0"),
              (Lines{"status=0", "name=eth0", "type=Ethernet", "description=eth0",
                     "hwaddr=0 02:00:00:00:00:0A", "address=0 10.77.1.5", "netmask=0 255.255.255.0",
                     "broadcast=0 10.77.1.255", "destination=" + no_address,
                     "address6=0 2001:db8::5", "prefix6_length=64", "scope6=0", ethernet_flags,
                     "mtu=1400", "metric=1", "tx_queue_len=321"}));

    // An alias label has its own address (no broadcast here) and its device's link.
    EXPECT_EQ(config("eth0:1"),
              (Lines{"status=0", "name=eth0:1", "type=Ethernet", "description=eth0:1",
                     "hwaddr=0 02:00:00:00:00:0A", "address=0 10.77.2.1", "netmask=0 255.255.0.0",
                     "broadcast=" + no_address, "destination=" + no_address,
                     "address6=" + no_address, "prefix6_length=0", "scope6=0", ethernet_flags,
                     "mtu=1400", "metric=1", "tx_queue_len=321"}));

    EXPECT_EQ(config("lo"),
              (Lines{"status=0", "name=lo", "type=Local Loopback", "description=lo",
                     "hwaddr=0 00:00:00:00:00:00", "address=0 127.0.0.1", "netmask=0 255.0.0.0",
                     "broadcast=" + no_address, "destination=" + no_address, "address6=0 ::1",
                     "prefix6_length=128", "scope6=16", "flags=0x49", // UP LOOPBACK RUNNING
                     "mtu=65536", "metric=1", "tx_queue_len=1000"}));

    // tun: no hardware address, a point-to-point peer, down.
    EXPECT_EQ(
        config("tun0"),
        (Lines{"status=0", "name=tun0", "type=UNSPEC", "description=tun0",
               "hwaddr=0 00:00:00:00:00:00", "address=0 10.9.0.1", "netmask=0 255.255.255.255",
               "broadcast=" + no_address, "destination=0 10.9.0.2", "address6=" + no_address,
               "prefix6_length=0", "scope6=0", "flags=0x890", // POINTOPOINT NOARP MULTICAST
               "mtu=1500", "metric=1", "tx_queue_len=500"}));
}

TEST_F(KnetworkSigar, NamesMatchOnlyExactly) {
    space_.add_veth("eth0");
    space_.ip({"addr", "add", "10.77.2.1/24", "dev", "eth0", "label", "eth0:1"});
    const Lines unknown{"status=" + std::to_string(ENXIO)};

    EXPECT_EQ(config("ETH0"), unknown);
    EXPECT_EQ(config("eth"), unknown);
    EXPECT_EQ(config("eth0:2"), unknown); // the kernel would answer for eth0
    EXPECT_EQ(config(""), unknown);
    EXPECT_EQ(config("a-name-longer-than-fifteen"), unknown);
    EXPECT_EQ(config("eth0:1").at(0), "status=0");
}

} // namespace
} // namespace korvex::test
