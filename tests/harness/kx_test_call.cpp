// kx-test-call ADDRESS DEST PATH IFACE MEMBER [ARG...]: one call; prints the reply in the wire
// format (exit 2: no bus). --hold N ...: see hold_challenge() in bus_client.h.
// --soak ADDRESS PLAN COUNT WINDOW SECONDS: COUNT calls of the PLAN file, round and round, up
// to WINDOW awaiting replies, none sent after SECONDS; prints the tally.
#include <algorithm>
#include <chrono>
#include <deque>
#include <iostream>
#include <list>

#include <unistd.h>

#include <dbus/dbus.h>

#include "bus_client.h"
#include "request_plan.h"

using namespace korvex::test;

namespace {

constexpr size_t kSamples = 5;

bool came_from_the_callee(const Reply &reply) {
    // Errors that libdbus makes up itself when no reply arrives.
    return reply.ok ||
           (!reply.error_name.empty() && reply.error_name != "org.freedesktop.DBus.Error.NoReply" &&
            reply.error_name != "org.freedesktop.DBus.Error.Disconnected");
}

void register_silent_agent(DBusConnection *connection) {
    DBusMessage *call = dbus_message_new_method_call(
        "org.freedesktop.PolicyKit1", "/org/freedesktop/PolicyKit1/Authority",
        "org.freedesktop.PolicyKit1.Authority", "RegisterAuthenticationAgent");
    DBusMessageIter args, subject, details, entry, variant;
    dbus_message_iter_init_append(call, &args);
    dbus_message_iter_open_container(&args, DBUS_TYPE_STRUCT, nullptr, &subject);
    const char *kind = "unix-process";
    dbus_message_iter_append_basic(&subject, DBUS_TYPE_STRING, &kind);
    dbus_message_iter_open_container(&subject, DBUS_TYPE_ARRAY, "{sv}", &details);
    auto add_entry = [&](const char *key, int type, const char *signature, const void *value) {
        dbus_message_iter_open_container(&details, DBUS_TYPE_DICT_ENTRY, nullptr, &entry);
        dbus_message_iter_append_basic(&entry, DBUS_TYPE_STRING, &key);
        dbus_message_iter_open_container(&entry, DBUS_TYPE_VARIANT, signature, &variant);
        dbus_message_iter_append_basic(&variant, type, value);
        dbus_message_iter_close_container(&entry, &variant);
        dbus_message_iter_close_container(&details, &entry);
    };
    // polkitd knows a process by its pid and start time, which it reads itself when given 0.
    const dbus_uint32_t pid = getpid();
    const dbus_uint64_t start_time = 0;
    add_entry("pid", DBUS_TYPE_UINT32, "u", &pid);
    add_entry("start-time", DBUS_TYPE_UINT64, "t", &start_time);
    dbus_message_iter_close_container(&subject, &details);
    dbus_message_iter_close_container(&args, &subject);
    for (const char *text : {"C", "/org/korvex/SilentAgent"}) // the locale, the agent's path
        dbus_message_iter_append_basic(&args, DBUS_TYPE_STRING, &text);

    DBusError error = DBUS_ERROR_INIT;
    DBusMessage *reply = dbus_connection_send_with_reply_and_block(connection, call, 10000, &error);
    dbus_message_unref(call);
    if (reply == nullptr) {
        const std::string why = error.message;
        dbus_error_free(&error);
        throw std::runtime_error("RegisterAuthenticationAgent failed: " + why);
    }
    dbus_message_unref(reply);
}

DBusHandlerResult swallow_challenges(DBusConnection *, DBusMessage *message, void *) {
    if (dbus_message_get_type(message) != DBUS_MESSAGE_TYPE_METHOD_CALL)
        return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
    if (dbus_message_is_method_call(message, "org.freedesktop.PolicyKit1.AuthenticationAgent",
                                    "BeginAuthentication"))
        std::cout << "challenged" << std::endl;
    return DBUS_HANDLER_RESULT_HANDLED;
}

std::vector<Arg> decode_args(char **first, char **last) {
    std::vector<Arg> args;
    std::transform(first, last, std::back_inserter(args), decode_arg);
    return args;
}

int hold(int count, char **argv, int argc) {
    const std::vector<Arg> args = decode_args(argv + 5, argv + argc);
    // polkitd's BeginAuthentication calls are taken in and never answered (left to libdbus,
    // they would be answered with an error).
    BusClient agent(argv[0]);
    dbus_connection_add_filter(agent.connection(), swallow_challenges, nullptr, nullptr);
    register_silent_agent(agent.connection());
    BusClient client(argv[0]);
    std::list<BusClient::Pending> calls;
    for (int i = 0; i < count; ++i) {
        std::vector<Arg> numbered = args;
        for (Arg &arg : numbered)
            if (size_t at = arg.text.find("%i"); at != std::string::npos)
                arg.text.replace(at, 2, std::to_string(i));
        calls.push_back(
            client.send(argv[1], argv[2], argv[3], argv[4], numbered, DBUS_TIMEOUT_INFINITE));
    }
    std::cout << "sent" << std::endl;
    while (true) {
        client.pump(50);
        agent.pump(0);
        calls.remove_if([](BusClient::Pending &call) {
            if (!call.done())
                return false;
            const Reply reply = call.wait();
            std::cout << "reply "
                      << (reply.ok ? "ok" : reply.error_name + ": " + reply.error_message)
                      << std::endl;
            return true;
        });
    }
}

int soak(char **argv) {
    const std::vector<PlannedCall> plan = read_plan(argv[2]);
    const uint64_t count = std::strtoull(argv[3], nullptr, 10);
    const size_t window = std::max<size_t>(1, std::strtoul(argv[4], nullptr, 10));
    const int call_timeout_ms = std::stoi(argv[5]) * 1000;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(call_timeout_ms);
    if (plan.empty())
        return 2;

    SoakTally tally;
    int status = 0;
    try {
        BusClient client(argv[1]);
        std::deque<std::pair<size_t, BusClient::Pending>> in_flight;
        auto collect_oldest = [&] {
            auto [index, pending] = std::move(in_flight.front());
            in_flight.pop_front();
            const Reply reply = pending.wait();
            const PlannedCall &call = plan[index];
            if (came_from_the_callee(reply))
                ++tally.answered;
            if (same_reply(reply, call.expected))
                ++tally.as_expected;
            else if (tally.samples.size() < kSamples)
                tally.samples.push_back(call.member + ": expected " + describe(call.expected) +
                                        ", got " + describe(reply));
        };
        while (tally.sent < count && std::chrono::steady_clock::now() < deadline) {
            if (in_flight.size() >= window)
                collect_oldest();
            const size_t index = tally.sent % plan.size();
            const PlannedCall &call = plan[index];
            in_flight.emplace_back(index, client.send(call.dest, call.path, call.iface, call.member,
                                                      call.args, call_timeout_ms));
            ++tally.sent;
        }
        while (!in_flight.empty())
            collect_oldest();
    } catch (const std::exception &e) {
        std::cerr << "kx-test-call --soak: " << e.what() << '\n';
        status = 2;
    }
    std::cout << encode_tally(tally);
    return status;
}

} // namespace

int main(int argc, char **argv) {
    try {
        if (argc >= 8 && std::string(argv[1]) == "--hold")
            return hold(std::stoi(argv[2]), argv + 3, argc - 3);
        if (argc == 7 && std::string(argv[1]) == "--soak")
            return soak(argv + 1);
        if (argc < 6)
            throw std::invalid_argument("usage: kx-test-call [--hold N | --soak] ADDRESS DEST "
                                        "PATH IFACE MEMBER [ARG...]");
        BusClient client(argv[1]);
        std::cout << encode_reply(
            client.call(argv[2], argv[3], argv[4], argv[5], decode_args(argv + 6, argv + argc)));
    } catch (const std::exception &e) {
        std::cerr << e.what() << '\n';
        return 2;
    }
    return 0;
}
