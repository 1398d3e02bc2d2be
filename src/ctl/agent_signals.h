// The agents' signals korvexctl listens to: the network agent's
// interface_changed and the sysconfig agent's key_changed.
#ifndef KORVEXCTL_AGENT_SIGNALS_H
#define KORVEXCTL_AGENT_SIGNALS_H

#include <functional>
#include <string>

#include <gio/gio.h>

namespace korvex::ctl {

struct InterfaceChange {
    std::string iface;
    bool present = false;
    guint32 state = 0; // 1 up, 0 down (and when gone)
    std::string ip;
    std::string mac;
    bool up() const { return present && state == 1; }
};

struct KeyChange {
    std::string key;
    std::string outcome;
    gint64 when = 0; // seconds since the epoch
};

// One subscription, held for as long as the object lives. The callback
// runs from the thread-default main context, so only while that runs;
// signals of another shape than the agent's are left out.
class SignalWatch {
public:
    SignalWatch(GDBusConnection *connection, std::function<void(const InterfaceChange &)> each);
    SignalWatch(GDBusConnection *connection, std::function<void(const KeyChange &)> each);
    ~SignalWatch();
    SignalWatch(const SignalWatch &) = delete;
    SignalWatch &operator=(const SignalWatch &) = delete;

private:
    SignalWatch(GDBusConnection *connection, const char *sender, const char *path,
                const char *interface, const char *member, const char *shape,
                std::function<void(GVariant *)> each);
    static void arrived(GDBusConnection *, const gchar *, const gchar *, const gchar *,
                        const gchar *, GVariant *parameters, gpointer self);

    GDBusConnection *connection_;
    std::string shape_;
    std::function<void(GVariant *)> each_;
    guint id_ = 0;
};

} // namespace korvex::ctl

#endif
