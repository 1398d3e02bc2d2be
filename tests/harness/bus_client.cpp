#include "bus_client.h"

#include <cerrno>
#include <sstream>
#include <stdexcept>
#include <utility>

#include <dbus/dbus.h>
#include <unistd.h>

namespace korvex::test {

namespace {

struct MessageDeleter {
    void operator()(DBusMessage *m) const { dbus_message_unref(m); }
};
using MessagePtr = std::unique_ptr<DBusMessage, MessageDeleter>;

void append_basic(DBusMessageIter *iter, const Arg &arg) {
    DBusBasicValue v{};
    if (arg.type == 's')
        v.str = const_cast<char *>(arg.text.c_str());
    else if (arg.type == 'u')
        v.u32 = std::stoul(arg.text);
    else if (arg.type == 'i')
        v.i32 = std::stol(arg.text);
    else if (arg.type == 'b')
        v.bool_val = arg.text == "1";
    else if (arg.type == 'x')
        v.i64 = std::stoll(arg.text);
    else
        throw std::invalid_argument(std::string("unsupported argument type ") + arg.type);
    // The type codes of D-Bus are the signature characters themselves.
    dbus_message_iter_append_basic(iter, arg.type, &v);
}

// Strings as they are, numbers in decimal, booleans as "1" / "0".
std::string basic_text(int type, const DBusBasicValue &v) {
    switch (type) {
    case DBUS_TYPE_STRING:
    case DBUS_TYPE_OBJECT_PATH:
    case DBUS_TYPE_SIGNATURE:
        return v.str;
    case DBUS_TYPE_BOOLEAN:
        return v.bool_val ? "1" : "0";
    case DBUS_TYPE_INT32:
        return std::to_string(v.i32);
    case DBUS_TYPE_UINT32:
        return std::to_string(v.u32);
    case DBUS_TYPE_INT64:
        return std::to_string(v.i64);
    case DBUS_TYPE_UINT64:
        return std::to_string(v.u64);
    case DBUS_TYPE_DOUBLE:
        return (std::ostringstream() << v.dbl).str();
    default:
        return {};
    }
}

Value read_value(DBusMessageIter *iter) {
    Value value;
    int type = dbus_message_iter_get_arg_type(iter);
    DBusMessageIter inner;
    if (type == DBUS_TYPE_VARIANT) {
        dbus_message_iter_recurse(iter, &inner);
        value = read_value(&inner);
        value.was_variant = true;
        return value;
    }
    char *sig = dbus_message_iter_get_signature(iter);
    value.signature = sig;
    dbus_free(sig);
    if (type == DBUS_TYPE_ARRAY) {
        // Elements of a basic type are read in place: a list of a thousand names stays cheap.
        for (dbus_message_iter_recurse(iter, &inner);
             dbus_message_iter_get_arg_type(&inner) != DBUS_TYPE_INVALID;
             dbus_message_iter_next(&inner)) {
            const int element = dbus_message_iter_get_arg_type(&inner);
            DBusBasicValue v{};
            if (dbus_type_is_basic(element))
                dbus_message_iter_get_basic(&inner, &v);
            value.strings.push_back(dbus_type_is_basic(element) ? basic_text(element, v)
                                                                 : read_value(&inner).text);
        }
    } else if (dbus_type_is_basic(type)) {
        DBusBasicValue v{};
        dbus_message_iter_get_basic(iter, &v);
        value.text = basic_text(type, v);
    }
    return value;
}

Reply reply_from_message(DBusMessage *message) {
    Reply reply;
    if (dbus_message_get_type(message) == DBUS_MESSAGE_TYPE_ERROR) {
        reply.error_name = dbus_message_get_error_name(message);
        const char *text = nullptr;
        if (dbus_message_get_args(message, nullptr, DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID))
            reply.error_message = text;
        return reply;
    }
    reply.ok = true;
    DBusMessageIter iter;
    for (bool more = dbus_message_iter_init(message, &iter); more;
         more = dbus_message_iter_next(&iter))
        reply.values.push_back(read_value(&iter));
    return reply;
}

MessagePtr build_call(const std::string &dest, const std::string &path, const std::string &iface,
                      const std::string &member, const std::vector<Arg> &args) {
    MessagePtr message(dbus_message_new_method_call(
        dest.c_str(), path.c_str(), iface.empty() ? nullptr : iface.c_str(), member.c_str()));
    if (!message)
        throw std::runtime_error("cannot build call " + member);
    DBusMessageIter iter;
    dbus_message_iter_init_append(message.get(), &iter);
    for (const auto &arg : args) {
        if (arg.variant) {
            const char sig[2] = {arg.type, '\0'};
            DBusMessageIter inner;
            dbus_message_iter_open_container(&iter, DBUS_TYPE_VARIANT, sig, &inner);
            append_basic(&inner, arg);
            dbus_message_iter_close_container(&iter, &inner);
        } else {
            append_basic(&iter, arg);
        }
    }
    return message;
}

ProcessOptions test_call(uid_t uid, std::vector<std::string> argv, const std::vector<Arg> &args) {
    argv.insert(argv.begin(), KX_TEST_CALL_PATH);
    for (const auto &a : args)
        argv.push_back(encode_arg(a));
    return {.argv = std::move(argv), .cwd = "/", .uid = uid};
}

} // namespace

BusClient::BusClient(const std::string &address) {
    DBusError error;
    dbus_error_init(&error);
    connection_ = dbus_connection_open_private(address.c_str(), &error);
    if (connection_ != nullptr) {
        dbus_connection_set_exit_on_disconnect(connection_, FALSE);
        if (dbus_bus_register(connection_, &error))
            return;
        disconnect();
    }
    const std::string why = error.message;
    dbus_error_free(&error);
    throw std::runtime_error("cannot connect to " + address + ": " + why);
}

void BusClient::disconnect() {
    if (connection_ != nullptr) {
        dbus_connection_close(connection_);
        dbus_connection_unref(connection_);
        connection_ = nullptr;
    }
}

BusClient::Pending BusClient::send(const std::string &dest, const std::string &path,
                                   const std::string &iface, const std::string &member,
                                   const std::vector<Arg> &args, int timeout_ms) {
    MessagePtr message = build_call(dest, path, iface, member, args);
    DBusPendingCall *pending = nullptr;
    if (!dbus_connection_send_with_reply(connection_, message.get(), &pending, timeout_ms) ||
        pending == nullptr)
        throw std::runtime_error("cannot send " + member);
    dbus_connection_flush(connection_);
    return Pending(pending);
}

BusClient::Pending::~Pending() {
    if (pending_ != nullptr) {
        dbus_pending_call_cancel(pending_);
        dbus_pending_call_unref(pending_);
    }
}

BusClient::Pending::Pending(Pending &&other) noexcept
    : pending_(std::exchange(other.pending_, nullptr)) {}

void BusClient::pump(int timeout_ms) {
    dbus_connection_read_write_dispatch(connection_, timeout_ms);
}

bool BusClient::Pending::done() { return dbus_pending_call_get_completed(pending_); }

Reply BusClient::Pending::wait() {
    dbus_pending_call_block(pending_);
    MessagePtr answer(dbus_pending_call_steal_reply(pending_));
    dbus_pending_call_unref(std::exchange(pending_, nullptr));
    return reply_from_message(answer.get());
}

// Far above anything the connection's own counter reaches.
constexpr dbus_uint32_t kPatchedSerial = 0x7fff0000;

void BusClient::send_patched(const std::string &dest, const std::string &path,
                             const std::string &iface, const std::string &member,
                             const std::vector<Arg> &args, const std::string &placeholder,
                             const std::string &replacement) {
    if (placeholder.empty() || placeholder.size() != replacement.size())
        throw std::invalid_argument("the replacement must be as long as the placeholder");
    MessagePtr message = build_call(dest, path, iface, member, args);
    dbus_message_set_serial(message.get(), kPatchedSerial);
    char *marshalled = nullptr;
    int length = 0;
    if (!dbus_message_marshal(message.get(), &marshalled, &length))
        throw std::runtime_error("cannot marshal the call");
    std::string wire(marshalled, static_cast<size_t>(length));
    dbus_free(marshalled);
    size_t replaced = 0;
    for (size_t at = wire.find(placeholder); at != std::string::npos;
         at = wire.find(placeholder, at + placeholder.size()), ++replaced)
        wire.replace(at, placeholder.size(), replacement);
    int fd = -1;
    if (replaced == 0 || !dbus_connection_get_socket(connection_, &fd))
        throw std::invalid_argument("the placeholder is not in the call, or no socket");
    for (std::string_view rest = wire; !rest.empty();) {
        const ssize_t n = ::write(fd, rest.data(), rest.size());
        if (n <= 0 && errno != EINTR)
            throw std::runtime_error("cannot write to the bus socket");
        rest.remove_prefix(n > 0 ? static_cast<size_t>(n) : 0);
    }
}

bool BusClient::dropped_within(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (!dbus_connection_read_write(connection_, 100) ||
            !dbus_connection_get_is_connected(connection_))
            return true;
        // Whatever arrives (the bus's greeting signals) is of no interest.
        while (DBusMessage *incoming = dbus_connection_pop_message(connection_))
            dbus_message_unref(incoming);
    }
    return false;
}

bool BusClient::replied_within(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (!dbus_connection_read_write(connection_, 100))
            return false;
        while (MessagePtr incoming{dbus_connection_pop_message(connection_)})
            if (dbus_message_get_reply_serial(incoming.get()) == kPatchedSerial)
                return true;
    }
    return false;
}

void BusClient::listen(const std::string &iface, const std::string &member) {
    DBusError error;
    dbus_error_init(&error);
    const std::string rule = "type='signal',interface='" + iface + "',member='" + member + "'";
    dbus_bus_add_match(connection_, rule.c_str(), &error);
    if (dbus_error_is_set(&error)) {
        const std::string why = error.message;
        dbus_error_free(&error);
        throw std::runtime_error("cannot listen to " + member + ": " + why);
    }
}

std::optional<Signal> BusClient::next_signal(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        while (MessagePtr incoming{dbus_connection_pop_message(connection_)})
            if (dbus_message_get_type(incoming.get()) == DBUS_MESSAGE_TYPE_SIGNAL &&
                !dbus_message_has_sender(incoming.get(), DBUS_SERVICE_DBUS))
                return Signal{reply_from_message(incoming.get()).values,
                              std::chrono::steady_clock::now()};
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !dbus_connection_read_write(connection_, int(left.count())))
            return std::nullopt;
    }
}

bool BusClient::name_has_owner(const std::string &name) {
    return dbus_bus_name_has_owner(connection_, name.c_str(), nullptr);
}

uint32_t BusClient::name_owner_pid(const std::string &name) {
    Reply reply = call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                       "GetConnectionUnixProcessID", {Arg::s(name)}, 5000);
    return reply.ok ? std::stoul(reply.str()) : 0;
}

std::string encode_text(const std::string &s) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : s)
        out += {digits[c >> 4], digits[c & 15]};
    return out.empty() ? "-" : out;
}

std::string decode_text(const std::string &s) {
    if (s == "-")
        return {};
    std::string out;
    for (size_t i = 0; i + 1 < s.size(); i += 2)
        out += static_cast<char>(std::stoi(s.substr(i, 2), nullptr, 16));
    return out;
}

std::string encode_arg(const Arg &arg) {
    return std::string(arg.variant ? "v" : "") + arg.type + ":" + encode_text(arg.text);
}

Arg decode_arg(const std::string &encoded) {
    const size_t colon = encoded.find(':');
    return {encoded[colon - 1], colon == 2, decode_text(encoded.substr(colon + 1))};
}

std::string encode_reply(const Reply &reply) {
    if (!reply.ok)
        return "E " + encode_text(reply.error_name) + ' ' + encode_text(reply.error_message) + '\n';
    std::string out = "OK\n";
    for (const auto &v : reply.values) {
        out +=
            "V " + encode_text(v.signature) + (v.was_variant ? " 1 " : " 0 ") + encode_text(v.text);
        for (const auto &s : v.strings)
            out += ' ' + encode_text(s);
        out += '\n';
    }
    return out;
}

Reply decode_reply(const std::string &text) {
    Reply reply;
    for (const std::string &line : split_lines(text)) {
        std::istringstream fields(line);
        std::string tag, first, second;
        int variant = 0;
        fields >> tag >> first;
        if (tag == "E" && fields >> second) {
            reply.error_name = decode_text(first);
            reply.error_message = decode_text(second);
        } else if (tag == "OK") {
            reply.ok = true;
        } else if (tag == "V" && fields >> variant >> second) {
            Value &v = reply.values.emplace_back(
                Value{decode_text(first), decode_text(second), {}, variant != 0});
            while (fields >> second)
                v.strings.push_back(decode_text(second));
        }
    }
    return reply;
}

Reply call_as(uid_t uid, const std::string &address, const std::string &dest,
              const std::string &path, const std::string &iface, const std::string &member,
              const std::vector<Arg> &args) {
    const CommandResult result = run_command(
        test_call(uid, {address, dest, path, iface, member}, args), std::chrono::seconds(200));
    if (result.exit_code() != 0)
        return {false, "korvex.test.CallerFailed", result.err, {}};
    return decode_reply(result.out);
}

Process hold_challenge(uid_t uid, const std::string &address, const std::string &out_path,
                       int count, const std::string &dest, const std::string &path,
                       const std::string &iface, const std::string &member,
                       const std::vector<Arg> &args) {
    ProcessOptions options =
        test_call(uid, {"--hold", std::to_string(count), address, dest, path, iface, member}, args);
    options.stdout_path = out_path;
    return Process(options);
}

} // namespace korvex::test
