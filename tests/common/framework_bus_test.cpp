// The framework end to end: the test agent on a private bus with polkitd; root and nobody call it.
#include <gmock/gmock.h>

#include <korvex/kcommon.h>

#include "bus_client.h"
#include "host_identity.h"
#include "test_bus.h"

using namespace korvex::test;
using testing::HasSubstr, testing::Not, testing::StartsWith;

constexpr const char *kName = "org.vaduderuvoziz.TestAgent";
constexpr const char *kPath = "/org/vaduderuvoziz/TestAgent";
constexpr const char *kIface = "org.vaduderuvoziz.TestAgent";
constexpr const char *kProps = "org.freedesktop.DBus.Properties";

class FrameworkOnBus : public ::testing::Test {
protected:
    void SetUp() override {
        // Refuse echo to nobody only and make it prove it is an administrator to read "ratio".
        bus_ = std::make_unique<TestSystemBus>(TestBusOptions{
            .polkit_rules = R"(polkit.addRule(function(action, subject) {
        if (subject.user != "nobody") return;
        if (action.id == "org.vaduderuvoziz.TestAgent.echo") return polkit.Result.NO;
        if (action.id == "org.vaduderuvoziz.TestAgent.ratio") return polkit.Result.AUTH_ADMIN;
    });)",
            .extra_policies = {TEST_AGENT_POLICY},
            .extra_bus_policy =
                R"(<policy user="root"><allow own="org.vaduderuvoziz.TestAgent"/></policy>
           <policy context="default"><allow send_destination="org.vaduderuvoziz.TestAgent"/></policy>)"});
        start_agent({"KORVEX_AUTHORIZATION_TIMEOUT=3"});
        client_ = std::make_unique<BusClient>(bus_->address());
    }

    void start_agent(std::vector<std::string> env) {
        agent_.reset();
        agent_ = std::make_unique<Agent>(
            *bus_, AgentOptions{{TEST_AGENT_PATH}, {}, std::move(env), "/", kName});
        ASSERT_TRUE(agent_->wait_for_name()) << agent_->stderr_text();
    }

    static std::vector<std::string> lines_of(const std::string &path, const std::string &prefix) {
        std::vector<std::string> found;
        for (const auto &line : split_lines(read_file(path)))
            if (line.starts_with(prefix))
                found.push_back(line);
        return found;
    }

    bool holder_wrote(const std::string &prefix, size_t count, int seconds = 20) {
        return wait_until([&] { return lines_of(holder_, prefix).size() >= count; },
                          std::chrono::seconds(seconds));
    }

    bool logged(const std::string &text) const {
        return agent_->stderr_text().find(text) != std::string::npos;
    }

    Reply call(const char *iface, const char *member, const std::vector<Arg> &args) {
        return client_->call(kName, kPath, iface, member, args);
    }

    Reply get(const std::string &iface, const std::string &property) {
        return call(kProps, "Get", {Arg::s(iface), Arg::s(property)});
    }

    Reply nobody_get(const std::string &property) {
        return call_as(kNobody, bus_->address(), kName, kPath, kProps, "Get",
                       {Arg::s(kIface), Arg::s(property)});
    }

    // Nobody's auth agent never answers, so polkitd holds these checks; holder_ logs their fate.
    Process hold(int count, const char *iface, const char *member, std::vector<Arg> args) {
        return hold_challenge(kNobody, bus_->address(), holder_, count, kName, kPath, iface, member,
                              args);
    }

    std::unique_ptr<TestSystemBus> bus_;
    std::unique_ptr<Agent> agent_;
    std::unique_ptr<BusClient> client_;
    TempDir dir_;
    const std::string holder_ = dir_.file("holder");
};

TEST_F(FrameworkOnBus, BuildsTheClassFromThePropertyTable) {
    // The unknown letter is reported and skipped; the rows after it are installed.
    EXPECT_TRUE(logged("Unknown type: z\n")) << agent_->stderr_text();
    EXPECT_TRUE(logged("Type of property table is map of unknown types\n"));

    Reply missing = get(kIface, "mystery");
    EXPECT_FALSE(missing.ok);
    EXPECT_EQ(missing.error_name, code_error(2));

    Reply after = get(kIface, "after-mystery");
    ASSERT_TRUE(after.ok) << after.error_name << ": " << after.error_message;
    EXPECT_EQ(after.values.at(0).signature, "s");
    EXPECT_EQ(after.str(), "");
}

TEST_F(FrameworkOnBus, GetServesHostIdentityAsVariants) {
    Reply uuid = get(kIface, "uuid");
    ASSERT_TRUE(uuid.ok) << uuid.error_message;
    ASSERT_EQ(uuid.values.size(), 1u);
    EXPECT_TRUE(uuid.values[0].was_variant);
    EXPECT_EQ(uuid.values[0].signature, "s");
    EXPECT_EQ(uuid.str(), expected_uuid());

    Reply host = get(kIface, "hostname");
    ASSERT_TRUE(host.ok) << host.error_message;
    EXPECT_EQ(host.str(), expected_hostname());

    // The interface argument only forms the action id.
    Reply other = get("org.vaduderuvoziz.OtherInterface", "uuid");
    ASSERT_TRUE(other.ok) << other.error_message;
    EXPECT_EQ(other.str(), expected_uuid());
}

TEST_F(FrameworkOnBus, GetOfUnknownNameIsBadArgument) {
    Reply reply = get(kIface, "missing");
    EXPECT_FALSE(reply.ok);
    // dbus-glib names errors of an unregistered domain after the domain and code.
    EXPECT_EQ(reply.error_name, "org.freedesktop.DBus.GLib.UnmappedError.KorvexErrorQuark.Code2");
    EXPECT_EQ(reply.error_message, kx_result_to_str(2));
    EXPECT_TRUE(get(kIface, "uuid").ok);
}

TEST_F(FrameworkOnBus, UnservedPropertiesReadAsZeroOfTheirType) {
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"flag", "b"},  {"ratio", "d"}, {"small", "i"}, {"signed", "i"}, {"word", "u"},
        {"count", "u"}, {"octet", "u"}, {"big", "t"},   {"wide", "x"}};
    for (const auto &[name, signature] : expected) {
        Reply reply = get(kIface, name);
        ASSERT_TRUE(reply.ok) << name << ": " << reply.error_message;
        EXPECT_EQ(reply.values.at(0).signature, signature) << name;
        EXPECT_EQ(reply.str(), "0") << name;
    }
    EXPECT_TRUE(logged("invalid property id 3 for \"flag\" of type 'GParamBoolean' in 'Korvex'"))
        << agent_->stderr_text();
}

TEST_F(FrameworkOnBus, SetRepliesEmptyAndStoresNothing) {
    Reply set = call(kProps, "Set", {Arg::s(kIface), Arg::s("count"), Arg::vu(42)});
    ASSERT_TRUE(set.ok) << set.error_message;
    EXPECT_TRUE(set.values.empty());
    EXPECT_EQ(get(kIface, "count").str(), "0");

    // A read-only or unknown name still gets the empty reply; GObject complains.
    Reply readonly = call(kProps, "Set", {Arg::s(kIface), Arg::s("uuid"), Arg::vs("x")});
    EXPECT_TRUE(readonly.ok);
    EXPECT_EQ(get(kIface, "uuid").str(), expected_uuid());
}

TEST_F(FrameworkOnBus, RefusedCallerGetsCodeFive) {
    Reply refused =
        call_as(kNobody, bus_->address(), kName, kPath, kIface, "echo", {Arg::s("hello")});
    EXPECT_FALSE(refused.ok);
    EXPECT_EQ(refused.error_name, code_error(5));
    EXPECT_EQ(refused.error_message, kx_result_to_str(5));
    EXPECT_TRUE(logged("Caller is not authorized for action org.vaduderuvoziz.TestAgent.echo "
                       "(uid 65534, pid "));

    // The same user is granted an action its rules do not refuse...
    Reply granted = nobody_get("hostname");
    ASSERT_TRUE(granted.ok) << granted.error_name << ": " << granted.error_message;
    EXPECT_EQ(granted.str(), expected_hostname());
    // ...and refused one whose default is "no".
    EXPECT_EQ(nobody_get("secret").error_name, code_error(5));

    // Root passes the same check.
    Reply echo = call(kIface, "echo", {Arg::s("hello")});
    ASSERT_TRUE(echo.ok) << echo.error_message;
    EXPECT_EQ(echo.str(), "hello");
}

TEST_F(FrameworkOnBus, PolkitFailureCarriesPolkitsMessage) {
    Reply unregistered = get("org.vaduderuvoziz.Unregistered", "uuid");
    EXPECT_FALSE(unregistered.ok);
    EXPECT_EQ(unregistered.error_name, code_error(5));
    EXPECT_EQ(unregistered.error_message,
              "GDBus.Error:org.freedesktop.PolicyKit1.Error.Failed: Action "
              "org.vaduderuvoziz.Unregistered.uuid is not registered");
    EXPECT_TRUE(logged("Error in checking authorization: GDBus.Error:"));

    bus_->stop_polkit();
    Reply no_polkit = call(kIface, "echo", {Arg::s("x")});
    EXPECT_FALSE(no_polkit.ok);
    EXPECT_EQ(no_polkit.error_name, code_error(5));
    EXPECT_THAT(no_polkit.error_message, StartsWith("GDBus.Error:org.freedesktop.DBus.Error."));
    EXPECT_NE(no_polkit.error_message, kx_result_to_str(5));

    // Once PolicyKit is back, requests are authorized again.
    bus_->start_polkit();
    Reply back = call(kIface, "echo", {Arg::s("again")});
    ASSERT_TRUE(back.ok) << back.error_message;
    EXPECT_EQ(back.str(), "again");
}

TEST_F(FrameworkOnBus, CheckWithoutContextIsRefusedWithAnError) {
    Reply reply = call(kIface, "unchecked", {Arg::s("x")});
    EXPECT_FALSE(reply.ok);
    EXPECT_EQ(reply.error_name, code_error(5));
    EXPECT_THAT(reply.error_message, HasSubstr("authorization could not be checked"));
    EXPECT_TRUE(logged("Context is not set!\n"));
}

TEST_F(FrameworkOnBus, SecondInstanceExitsWithOne) {
    Agent second(*bus_, AgentOptions{{TEST_AGENT_PATH}, {}, {}, "/", kName});
    auto status = second.process().wait(std::chrono::seconds(20));
    ASSERT_TRUE(status.has_value());
    ASSERT_TRUE(WIFEXITED(*status));
    EXPECT_EQ(WEXITSTATUS(*status), 1);
    EXPECT_THAT(second.stderr_text(),
                testing::ContainsRegex("Looks like another server of this type is already "
                                       "running: Reply (in queue|exists)\n"));
    // The first instance keeps its name and keeps serving.
    EXPECT_TRUE(get(kIface, "uuid").ok);
}

TEST(FrameworkWithoutBus, ExitsWithOneWhenNoBusIsReachable) {
    ProcessOptions options = command({TEST_AGENT_PATH});
    options.env = {"DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent/no-such-socket"};
    CommandResult result = run_command(options, std::chrono::seconds(30));
    EXPECT_EQ(result.exit_code(), 1);
    EXPECT_THAT(result.err, StartsWith("Failed to open connection to bus: "));
}

TEST_F(FrameworkOnBus, AChallengeNobodyAnswersHoldsUpOnlyItsOwnCaller) {
    // One call more than a user may have in progress is turned away at once.
    Process holder = hold(17, kProps, "Get", {Arg::s(kIface), Arg::s("ratio")});
    ASSERT_TRUE(holder_wrote("reply", 1));
    EXPECT_EQ(lines_of(holder_, "reply"),
              std::vector<std::string>{"reply org.freedesktop.DBus.Error.LimitsExceeded: Too "
                                       "many requests of uid 65534 in progress; try again later"});

    // Meanwhile everybody else is served.
    Reply uuid = get(kIface, "uuid");
    ASSERT_TRUE(uuid.ok) << uuid.error_message;
    EXPECT_EQ(uuid.str(), expected_uuid());
    EXPECT_TRUE(nobody_get("hostname").error_name.find("LimitsExceeded") != std::string::npos);
    EXPECT_EQ(lines_of(holder_, "reply").size(), 1u);

    // A check nobody answers in time is a refusal.
    ASSERT_TRUE(holder_wrote("reply", 17, 30));
    const std::vector<std::string> replies = lines_of(holder_, "reply");
    for (size_t i = 1; i < replies.size(); ++i)
        EXPECT_EQ(replies[i], "reply " + code_error(5) + ": " + kx_result_to_str(5) +
                                  ": the authorization check timed out");
    EXPECT_TRUE(logged("Authorization check timed out for action "
                       "org.vaduderuvoziz.TestAgent.ratio (uid 65534, pid "));
}

TEST_F(FrameworkOnBus, ACallerThatLeavesTakesItsChecksAlong) {
    start_agent({});
    Process holder = hold(16, kProps, "Get", {Arg::s(kIface), Arg::s("ratio")});
    ASSERT_TRUE(holder_wrote("sent", 1));
    Reply last;
    ASSERT_TRUE(wait_until(
        [&] {
            last = nobody_get("hostname");
            return last.error_name.find("LimitsExceeded") != std::string::npos;
        },
        std::chrono::seconds(20)))
        << last.error_name << ": " << last.error_message << "\n"
        << agent_->stderr_text() << "\nholder: " << ::testing::PrintToString(lines_of(holder_, ""))
        << " running " << holder.running();
    // Its 16 checks would wait two minutes; leaving with the caller, they free its share at once.
    holder.stop();
    ASSERT_TRUE(wait_until([&] { return nobody_get("hostname").ok; }, std::chrono::seconds(20)));
    EXPECT_FALSE(logged("Error cancelling authorization check")) << agent_->stderr_text();
}

TEST_F(FrameworkOnBus, RefusalsAreLoggedWithinBoundsAndEscaped) {
    // Sixteen refusals at once: ten lines, then a count of the rest.
    Process holder = hold(16, kIface, "echo", {Arg::s("x")});
    ASSERT_TRUE(holder_wrote("reply", 16));
    ASSERT_TRUE(wait_until([&] { return logged("6 more refused requests were not logged\n"); },
                           std::chrono::seconds(20)))
        << agent_->stderr_text();
    EXPECT_EQ(count_occurrences(agent_->stderr_text(), "Caller is not authorized for action "),
              10u);

    // A caller's text cannot start a line of its own.
    Reply forged = get("x\nCaller is not authorized for action forged", "uuid");
    EXPECT_EQ(forged.error_name, code_error(5));
    const std::string log = agent_->stderr_text();
    EXPECT_THAT(log, HasSubstr("x\\x0aCaller is not authorized for action forged.uuid"));
    EXPECT_THAT(log, Not(HasSubstr("\nCaller is not authorized for action forged")));
}
