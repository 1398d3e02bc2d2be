// A bus connection that can put bytes on the wire which libdbus itself
// would never send (a string that is not UTF-8, say): the message is
// built and marshalled by libdbus with a placeholder, the placeholder is
// overwritten in the marshalled bytes, and the bytes go straight to the
// socket.
#ifndef KORVEX_TESTS_SOAK_RAW_BUS_CONNECTION_H
#define KORVEX_TESTS_SOAK_RAW_BUS_CONNECTION_H

#include <chrono>
#include <string>
#include <vector>

#include "bus_client.h"

struct DBusConnection;

namespace korvex::test {

class RawBusConnection {
public:
    explicit RawBusConnection(const std::string &address);
    ~RawBusConnection();
    RawBusConnection(const RawBusConnection &) = delete;
    RawBusConnection &operator=(const RawBusConnection &) = delete;

    // Sends a method call whose string arguments hold `placeholder`, with
    // every occurrence of it replaced by `replacement` (same length).
    void send_patched(const std::string &dest, const std::string &path, const std::string &iface,
                      const std::string &member, const std::vector<Arg> &args,
                      const std::string &placeholder, const std::string &replacement);

    // Waits (bounded) for the bus to drop the connection.
    bool dropped_within(std::chrono::milliseconds timeout);
    // Waits (bounded) for the reply to the call sent, whatever it says.
    bool replied_within(std::chrono::milliseconds timeout);

private:
    DBusConnection *connection_ = nullptr;
};

} // namespace korvex::test

#endif
