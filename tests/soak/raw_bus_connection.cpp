#include "raw_bus_connection.h"

#include <cerrno>
#include <memory>
#include <stdexcept>

#include <dbus/dbus.h>
#include <unistd.h>

namespace korvex::test {

namespace {

struct MessageUnref {
    void operator()(DBusMessage *m) const { dbus_message_unref(m); }
};
using MessagePtr = std::unique_ptr<DBusMessage, MessageUnref>;

struct ScopedError {
    DBusError e;
    ScopedError() { dbus_error_init(&e); }
    ~ScopedError() { dbus_error_free(&e); }
    std::string text() const { return e.message != nullptr ? e.message : "?"; }
};

void append(DBusMessageIter *iter, const Arg &arg) {
    if (arg.variant)
        throw std::invalid_argument("variants are not needed here");
    if (arg.type == 's') {
        const char *text = arg.text.c_str();
        if (!dbus_message_iter_append_basic(iter, DBUS_TYPE_STRING, &text))
            throw std::runtime_error("cannot append string");
    } else if (arg.type == 'u') {
        const dbus_uint32_t value = std::stoul(arg.text);
        if (!dbus_message_iter_append_basic(iter, DBUS_TYPE_UINT32, &value))
            throw std::runtime_error("cannot append uint32");
    } else {
        throw std::invalid_argument(std::string("unsupported type ") + arg.type);
    }
}

// Far above anything the connection's own counter reaches.
constexpr dbus_uint32_t kPatchedSerial = 0x7fff0000;

} // namespace

RawBusConnection::RawBusConnection(const std::string &address) {
    ScopedError error;
    connection_ = dbus_connection_open_private(address.c_str(), &error.e);
    if (connection_ == nullptr)
        throw std::runtime_error("cannot connect: " + error.text());
    dbus_connection_set_exit_on_disconnect(connection_, FALSE);
    if (!dbus_bus_register(connection_, &error.e)) {
        dbus_connection_close(connection_);
        dbus_connection_unref(connection_);
        throw std::runtime_error("cannot register: " + error.text());
    }
}

RawBusConnection::~RawBusConnection() {
    dbus_connection_close(connection_);
    dbus_connection_unref(connection_);
}

void RawBusConnection::send_patched(const std::string &dest, const std::string &path,
                                    const std::string &iface, const std::string &member,
                                    const std::vector<Arg> &args, const std::string &placeholder,
                                    const std::string &replacement) {
    if (placeholder.empty() || placeholder.size() != replacement.size())
        throw std::invalid_argument("the replacement must be as long as the placeholder");
    MessagePtr message(
        dbus_message_new_method_call(dest.c_str(), path.c_str(), iface.c_str(), member.c_str()));
    if (!message)
        throw std::runtime_error("cannot build the call");
    DBusMessageIter iter;
    dbus_message_iter_init_append(message.get(), &iter);
    for (const Arg &arg : args)
        append(&iter, arg);
    dbus_message_set_serial(message.get(), kPatchedSerial);

    char *marshalled = nullptr;
    int length = 0;
    if (!dbus_message_marshal(message.get(), &marshalled, &length))
        throw std::runtime_error("cannot marshal the call");
    std::string wire(marshalled, static_cast<size_t>(length));
    dbus_free(marshalled);
    size_t replaced = 0;
    for (size_t at = wire.find(placeholder); at != std::string::npos;
         at = wire.find(placeholder, at + placeholder.size())) {
        wire.replace(at, placeholder.size(), replacement);
        ++replaced;
    }
    if (replaced == 0)
        throw std::invalid_argument("the placeholder is not in the call");

    int fd = -1;
    if (!dbus_connection_get_socket(connection_, &fd))
        throw std::runtime_error("no socket");
    std::string_view rest = wire;
    while (!rest.empty()) {
        const ssize_t n = ::write(fd, rest.data(), rest.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw std::runtime_error("cannot write to the bus socket");
        rest.remove_prefix(static_cast<size_t>(n));
    }
}

bool RawBusConnection::dropped_within(std::chrono::milliseconds timeout) {
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

bool RawBusConnection::replied_within(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (!dbus_connection_read_write(connection_, 100))
            return false;
        while (DBusMessage *incoming = dbus_connection_pop_message(connection_)) {
            const bool ours = dbus_message_get_reply_serial(incoming) == kPatchedSerial;
            dbus_message_unref(incoming);
            if (ours)
                return true;
        }
    }
    return false;
}

} // namespace korvex::test
