// A plain libdbus client for tests, replies as data. Calls as another user go through the
// kx-test-call program run under that uid.
#ifndef KORVEX_TEST_BUS_CLIENT_H
#define KORVEX_TEST_BUS_CLIENT_H

#include <cstdint>
#include <memory>
#include <optional>

#include "process.h" // also <chrono>, <string>, <vector> and uid_t

struct DBusConnection;
struct DBusPendingCall;

namespace korvex::test {

// One argument of a call. Types: s, u, i, b, x; `variant` wraps it in v.
struct Arg {
    char type = 's';
    bool variant = false;
    std::string text; // the string, or the number / boolean ("1"/"0") as text

    static Arg s(std::string v) { return {'s', false, std::move(v)}; }
    static Arg u(uint32_t v) { return {'u', false, std::to_string(v)}; }
    static Arg i(int32_t v) { return {'i', false, std::to_string(v)}; }
    static Arg b(bool v) { return {'b', false, v ? "1" : "0"}; }
    static Arg vs(std::string v) { return {'s', true, std::move(v)}; }
    static Arg vu(uint32_t v) { return {'u', true, std::to_string(v)}; }
};

// One reply value; a variant is unwrapped into its content.
struct Value {
    std::string signature;            // of the (unwrapped) value
    std::string text;                 // strings as they are, numbers in decimal
    std::vector<std::string> strings; // for "as"
    bool was_variant = false;
};

struct Reply {
    bool ok = false;
    std::string error_name;
    std::string error_message;
    std::vector<Value> values;

    const std::string &str(size_t i = 0) const { return values.at(i).text; }
};

// A signal as it was read off the connection.
struct Signal {
    std::vector<Value> values;
    std::chrono::steady_clock::time_point at;
};

class BusClient {
public:
    explicit BusClient(const std::string &address);
    ~BusClient() { disconnect(); }
    BusClient(const BusClient &) = delete;
    BusClient &operator=(const BusClient &) = delete;

    Reply call(const std::string &dest, const std::string &path, const std::string &iface,
               const std::string &member, const std::vector<Arg> &args = {},
               int timeout_ms = 180000) {
        return send(dest, path, iface, member, args, timeout_ms).wait();
    }

    // A call sent without waiting; the reply is collected with wait().
    class Pending {
    public:
        ~Pending();
        Pending(Pending &&other) noexcept;
        Reply wait();
        bool done();

    private:
        friend class BusClient;
        explicit Pending(DBusPendingCall *p) : pending_(p) {}
        DBusPendingCall *pending_;
    };
    Pending send(const std::string &dest, const std::string &path, const std::string &iface,
                 const std::string &member, const std::vector<Arg> &args = {},
                 int timeout_ms = 180000);

    void pump(int timeout_ms); // reads and dispatches, waiting up to timeout_ms
    // Receives the signals `member` of `iface` from now on (the match rule is in place on return);
    // next_signal gives the next one within `timeout`, or nothing. Other signals are dropped.
    void listen(const std::string &iface, const std::string &member);
    std::optional<Signal> next_signal(std::chrono::milliseconds timeout);
    DBusConnection *connection() const { return connection_; }

    // Sends a call with each `placeholder` in its bytes replaced by `replacement` (as long):
    // bytes libdbus would never send, such as a string that is not UTF-8.
    void send_patched(const std::string &dest, const std::string &path, const std::string &iface,
                      const std::string &member, const std::vector<Arg> &args,
                      const std::string &placeholder, const std::string &replacement);
    bool dropped_within(std::chrono::milliseconds timeout);
    bool replied_within(std::chrono::milliseconds timeout);

    bool name_has_owner(const std::string &name);
    uint32_t name_owner_pid(const std::string &name);
    void disconnect();

private:
    DBusConnection *connection_ = nullptr;
};

// The same call made by a separate process running as `uid`.
Reply call_as(uid_t uid, const std::string &address, const std::string &dest,
              const std::string &path, const std::string &iface, const std::string &member,
              const std::vector<Arg> &args = {});

// A process as `uid` with a PolicyKit agent that never answers, which sends the call `count`
// times (an argument's "%i" replaced by the call's number), so polkitd holds its checks open. It writes to `out_path` "sent", "challenged" per
// authentication and "reply ok" or "reply NAME: MESSAGE" per answer.
Process hold_challenge(uid_t uid, const std::string &address, const std::string &out_path,
                       int count, const std::string &dest, const std::string &path,
                       const std::string &iface, const std::string &member,
                       const std::vector<Arg> &args = {});

// Wire format shared with kx-test-call: any text as one hex word ("-" when empty).
std::string encode_text(const std::string &text);
std::string decode_text(const std::string &word);
std::string encode_arg(const Arg &arg);
Arg decode_arg(const std::string &encoded);
std::string encode_reply(const Reply &reply);
Reply decode_reply(const std::string &text);

inline constexpr uid_t kNobody = 65534;
inline constexpr const char *kPropertiesIface = "org.freedesktop.DBus.Properties";

// The D-Bus error name under which a korvex result code reaches a client.
inline std::string code_error(int code) {
    return "org.freedesktop.DBus.GLib.UnmappedError.KorvexErrorQuark.Code" + std::to_string(code);
}

} // namespace korvex::test

#endif
