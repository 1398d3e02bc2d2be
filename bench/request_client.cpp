// kx-bench-request-client ADDRESS ROUNDS KEY STATUS LABEL
//
// Times agent requests against their floor, as whatever user runs it. The
// floor of a request is what no agent can avoid: one round trip through
// the bus (a call to the bus driver) plus one PolicyKit check of the same
// action for the same caller, put to polkitd directly with this
// connection's own unique name as the subject. Each round makes every
// request and its floor once, alternating which of the two goes first, so
// that load on the shared machine hits both alike.
//
// STATUS is the text `is_configured` of KEY must answer; LABEL names the
// caller in the result lines. Prints FIGURE lines (see sample_set.h).
//
// kx-bench-request-client --burst ADDRESS COUNT KEY
//
// Sends COUNT `is_configured` calls of KEY that expect no reply, as fast as
// this one connection can put them on the bus, and exits once the bus has
// taken them all; it gives up sending after a minute. Prints
// "BURST SENT MILLISECONDS".
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include <dbus/dbus.h>
#include <polkit/polkit.h>

#include <korvex/owners.h>

#include "sample_set.h"

using namespace korvex::bench;
using korvex::ErrorSlot;
using korvex::ObjectPtr;

namespace {

struct MessageUnref {
    void operator()(DBusMessage *message) const { dbus_message_unref(message); }
};
using Message = std::unique_ptr<DBusMessage, MessageUnref>;

struct ConnectionClose {
    void operator()(DBusConnection *connection) const {
        dbus_connection_close(connection);
        dbus_connection_unref(connection);
    }
};
using Connection = std::unique_ptr<DBusConnection, ConnectionClose>;

class Error {
public:
    Error() { dbus_error_init(&error_); }
    ~Error() { dbus_error_free(&error_); }
    Error(const Error &) = delete;
    Error &operator=(const Error &) = delete;
    DBusError *get() { return &error_; }
    std::string text() const {
        return std::string(error_.name ? error_.name : "") + ": " +
               (error_.message ? error_.message : "");
    }

private:
    DBusError error_;
};

Connection connect(const char *address) {
    Error error;
    Connection connection(dbus_connection_open_private(address, error.get()));
    if (!connection || !dbus_bus_register(connection.get(), error.get()))
        throw std::runtime_error("cannot join the bus: " + error.text());
    return connection;
}

Message call(DBusConnection *connection, DBusMessage *request) {
    Error error;
    Message reply(
        dbus_connection_send_with_reply_and_block(connection, request, 30000, error.get()));
    if (!reply)
        throw std::runtime_error(std::string(dbus_message_get_member(request)) +
                                 " failed: " + error.text());
    return reply;
}

Message method(const char *destination, const char *path, const char *interface,
               const char *member) {
    Message message(dbus_message_new_method_call(destination, path, interface, member));
    if (!message)
        throw std::bad_alloc();
    return message;
}

void append_strings(DBusMessage *message, std::initializer_list<const char *> texts) {
    DBusMessageIter iter;
    dbus_message_iter_init_append(message, &iter);
    for (const char *text : texts)
        dbus_message_iter_append_basic(&iter, DBUS_TYPE_STRING, &text);
}

// The first string of a reply, looking into a variant.
std::string first_string(DBusMessage *reply) {
    DBusMessageIter iter;
    if (!dbus_message_iter_init(reply, &iter))
        return {};
    DBusMessageIter inner;
    if (dbus_message_iter_get_arg_type(&iter) == DBUS_TYPE_VARIANT) {
        dbus_message_iter_recurse(&iter, &inner);
        iter = inner;
    }
    if (dbus_message_iter_get_arg_type(&iter) != DBUS_TYPE_STRING)
        return {};
    const char *text = nullptr;
    dbus_message_iter_get_basic(&iter, &text);
    return text;
}

// CheckAuthorization for a system-bus-name subject (this connection) with
// user interaction allowed, as the agents ask, put to polkitd directly.
bool direct_check(DBusConnection *connection, const char *action) {
    Message check = method("org.freedesktop.PolicyKit1", "/org/freedesktop/PolicyKit1/Authority",
                           "org.freedesktop.PolicyKit1.Authority", "CheckAuthorization");
    DBusMessageIter args;
    dbus_message_iter_init_append(check.get(), &args);
    DBusMessageIter subject, details, entry, variant, empty;
    const char *kind = "system-bus-name";
    const char *name_key = "name";
    const char *own_name = dbus_bus_get_unique_name(connection);
    dbus_message_iter_open_container(&args, DBUS_TYPE_STRUCT, nullptr, &subject);
    dbus_message_iter_append_basic(&subject, DBUS_TYPE_STRING, &kind);
    dbus_message_iter_open_container(&subject, DBUS_TYPE_ARRAY, "{sv}", &details);
    dbus_message_iter_open_container(&details, DBUS_TYPE_DICT_ENTRY, nullptr, &entry);
    dbus_message_iter_append_basic(&entry, DBUS_TYPE_STRING, &name_key);
    dbus_message_iter_open_container(&entry, DBUS_TYPE_VARIANT, "s", &variant);
    dbus_message_iter_append_basic(&variant, DBUS_TYPE_STRING, &own_name);
    dbus_message_iter_close_container(&entry, &variant);
    dbus_message_iter_close_container(&details, &entry);
    dbus_message_iter_close_container(&subject, &details);
    dbus_message_iter_close_container(&args, &subject);
    dbus_message_iter_append_basic(&args, DBUS_TYPE_STRING, &action);
    dbus_message_iter_open_container(&args, DBUS_TYPE_ARRAY, "{ss}", &empty);
    dbus_message_iter_close_container(&args, &empty);
    const dbus_uint32_t allow_user_interaction = 1;
    dbus_message_iter_append_basic(&args, DBUS_TYPE_UINT32, &allow_user_interaction);
    const char *no_cancellation = "";
    dbus_message_iter_append_basic(&args, DBUS_TYPE_STRING, &no_cancellation);

    Message reply = call(connection, check.get());
    DBusMessageIter result, fields;
    if (!dbus_message_iter_init(reply.get(), &result) ||
        dbus_message_iter_get_arg_type(&result) != DBUS_TYPE_STRUCT)
        return false;
    dbus_message_iter_recurse(&result, &fields);
    dbus_bool_t authorized = FALSE;
    dbus_message_iter_get_basic(&fields, &authorized);
    return authorized;
}

// The floor: the bus driver's GetId, then the direct check.
bool floor_round_trip(DBusConnection *connection, const char *action) {
    Message get_id = method(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS, "GetId");
    call(connection, get_id.get());
    return direct_check(connection, action);
}

// The same check the way the agents must put it: polkit's GObject client,
// synchronously, over its own GDBus connection.
class LibraryCheck {
public:
    LibraryCheck(DBusConnection *connection)
        : authority_(polkit_authority_get_sync(nullptr, nullptr)),
          subject_(polkit_system_bus_name_new(dbus_bus_get_unique_name(connection))) {
        if (!authority_)
            throw std::runtime_error("no PolicyKit authority");
    }

    bool operator()(const char *action) const {
        ErrorSlot error;
        ObjectPtr<PolkitAuthorizationResult> result(polkit_authority_check_authorization_sync(
            authority_.get(), subject_.get(), action, nullptr,
            POLKIT_CHECK_AUTHORIZATION_FLAGS_ALLOW_USER_INTERACTION, nullptr, error.out()));
        if (error.get() != nullptr)
            throw std::runtime_error(std::string("polkit: ") + error.message_or(""));
        return polkit_authorization_result_get_is_authorized(result.get());
    }

private:
    ObjectPtr<PolkitAuthority> authority_;
    ObjectPtr<PolkitSubject> subject_;
};

struct Figure {
    std::string name;
    std::string action;
    std::function<std::string()> request;
    std::string expected; // empty: any non-empty answer
    SampleSet agent;
    SampleSet floor;
};

void check_answer(const Figure &figure, const std::string &answer) {
    const bool right = figure.expected.empty() ? !answer.empty() : answer == figure.expected;
    if (!right)
        throw std::runtime_error(figure.name + " answered \"" + answer + "\"");
}

int burst(const char *address, long count, const char *key) {
    using Clock = std::chrono::steady_clock;
    const auto begin = Clock::now();
    const auto give_up = begin + std::chrono::minutes(1);
    Connection bus = connect(address);
    long sent = 0;
    for (; sent < count; ++sent) {
        if (sent % 256 == 0 && Clock::now() > give_up)
            break;
        Message request = method("org.vaduderuvoziz.Sysconfig", "/org/vaduderuvoziz/Sysconfig",
                                 "org.vaduderuvoziz.Sysconfig", "is_configured");
        append_strings(request.get(), {key});
        dbus_message_set_no_reply(request.get(), TRUE);
        if (!dbus_connection_send(bus.get(), request.get(), nullptr))
            throw std::bad_alloc();
        // libdbus queues without bound; writing as it goes keeps the
        // queue, and so this process, small.
        if (sent % 256 == 255)
            dbus_connection_flush(bus.get());
    }
    dbus_connection_flush(bus.get());
    const auto taken = std::chrono::duration<double, std::milli>(Clock::now() - begin).count();
    std::printf("BURST %ld %.0f\n", sent, taken);
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    if (argc == 5 && std::strcmp(argv[1], "--burst") == 0) {
        try {
            return burst(argv[2], std::atol(argv[3]), argv[4]);
        } catch (const std::exception &e) {
            std::fprintf(stderr, "kx-bench-request-client: %s\n", e.what());
            return 1;
        }
    }
    if (argc != 6) {
        std::fprintf(stderr, "usage: %s ADDRESS ROUNDS KEY STATUS LABEL\n", argv[0]);
        return 2;
    }
    const int rounds = std::max(1, std::atoi(argv[2]));
    const std::string key = argv[3];
    const std::string status = argv[4];
    const std::string label = argv[5];

    try {
        Connection bus = connect(argv[1]);
        DBusConnection *connection = bus.get();

        auto is_configured = [&] {
            Message request = method("org.vaduderuvoziz.Sysconfig", "/org/vaduderuvoziz/Sysconfig",
                                     "org.vaduderuvoziz.Sysconfig", "is_configured");
            append_strings(request.get(), {key.c_str()});
            return first_string(call(connection, request.get()).get());
        };
        auto get_uuid = [connection](const char *agent, const char *path) {
            return [=] {
                Message request = method(agent, path, DBUS_INTERFACE_PROPERTIES, "Get");
                append_strings(request.get(), {agent, "uuid"});
                return first_string(call(connection, request.get()).get());
            };
        };

        Figure figures[] = {
            {"is_configured." + label,
             "org.vaduderuvoziz.Sysconfig.is_configured",
             is_configured,
             status,
             {},
             {}},
            {"sysconfig.Get-uuid." + label,
             "org.vaduderuvoziz.Sysconfig.uuid",
             get_uuid("org.vaduderuvoziz.Sysconfig", "/org/vaduderuvoziz/Sysconfig"),
             "",
             {},
             {}},
            {"network.Get-uuid." + label,
             "org.vaduderuvoziz.Network.uuid",
             get_uuid("org.vaduderuvoziz.Network", "/org/vaduderuvoziz/Network"),
             "",
             {},
             {}},
        };

        // Warm-up: first checks make polkitd compile its rules, first
        // requests page the agents' code in.
        for (int i = 0; i < 20; ++i) {
            for (Figure &figure : figures) {
                check_answer(figure, figure.request());
                if (!floor_round_trip(connection, figure.action.c_str()))
                    throw std::runtime_error(figure.action + " refused to " + label);
            }
        }

        for (int round = 0; round < rounds; ++round) {
            for (Figure &figure : figures) {
                auto agent_side = [&] {
                    check_answer(figure, timed(figure.agent, figure.request));
                };
                auto floor_side = [&] {
                    timed(figure.floor,
                          [&] { return floor_round_trip(connection, figure.action.c_str()); });
                };
                side_by_side(round, agent_side, floor_side);
            }
        }
        for (const Figure &figure : figures)
            print_figure(figure.name, figure.agent, figure.floor);

        // Where the difference lies: one bus round trip into an agent
        // process (Peer.Ping, which libdbus answers inside the agent without
        // any handler or PolicyKit) beside one to the bus driver.
        SampleSet ping, get_id;
        for (int round = 0; round < rounds; ++round) {
            auto agent_side = [&] {
                timed(ping, [&] {
                    Message request = method("org.vaduderuvoziz.Network", "/",
                                             "org.freedesktop.DBus.Peer", "Ping");
                    return call(connection, request.get());
                });
            };
            auto floor_side = [&] {
                timed(get_id, [&] {
                    Message request =
                        method(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS, "GetId");
                    return call(connection, request.get());
                });
            };
            side_by_side(round, agent_side, floor_side);
        }
        print_figure("agent-hop." + label, ping, get_id);

        // The PolicyKit check the agents make, through polkit's client
        // library, beside the same check put directly.
        // polkit's client finds the bus where every system-bus client does.
        g_setenv("DBUS_SYSTEM_BUS_ADDRESS", argv[1], TRUE);
        const LibraryCheck library_check(connection);
        const char *action = figures[0].action.c_str();
        for (int i = 0; i < 20; ++i)
            library_check(action);
        SampleSet through_library, direct;
        for (int round = 0; round < rounds; ++round) {
            auto agent_side = [&] {
                timed(through_library, [&] { return library_check(action); });
            };
            auto floor_side = [&] {
                timed(direct, [&] { return direct_check(connection, action); });
            };
            side_by_side(round, agent_side, floor_side);
        }
        print_figure("polkit-library." + label, through_library, direct);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "kx-bench-request-client: %s\n", e.what());
        return 1;
    }
    return 0;
}
