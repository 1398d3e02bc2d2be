#include "agent_signals.h"

#include "agent_catalog.h"

namespace korvex::ctl {

SignalWatch::SignalWatch(GDBusConnection *connection, const char *sender, const char *path,
                         const char *interface, const char *member, const char *shape,
                         std::function<void(GVariant *)> each)
    : connection_(connection), shape_(shape), each_(std::move(each)) {
    // The match rule reaches the bus before any call made after this one,
    // so a signal an agent sends while answering that call is heard.
    id_ = g_dbus_connection_signal_subscribe(connection, sender, interface, member, path, nullptr,
                                             G_DBUS_SIGNAL_FLAGS_NONE, arrived, this, nullptr);
}

SignalWatch::SignalWatch(GDBusConnection *connection,
                         std::function<void(const InterfaceChange &)> each)
    : SignalWatch(connection, network_agent().bus_name.c_str(),
                  network_agent().object_path.c_str(), "org.vaduderuvoziz.Network.Monitor",
                  "interface_changed", "(sbuss)", [each = std::move(each)](GVariant *values) {
                      const char *iface = nullptr, *ip = nullptr, *mac = nullptr;
                      InterfaceChange change;
                      gboolean present = FALSE;
                      g_variant_get(values, "(&sbu&s&s)", &iface, &present, &change.state, &ip,
                                    &mac);
                      change.iface = iface;
                      change.present = present != FALSE;
                      change.ip = ip;
                      change.mac = mac;
                      each(change);
                  }) {}

SignalWatch::SignalWatch(GDBusConnection *connection, std::function<void(const KeyChange &)> each)
    : SignalWatch(connection, sysconfig_agent().bus_name.c_str(),
                  sysconfig_agent().object_path.c_str(), "org.vaduderuvoziz.Sysconfig.Keys",
                  "key_changed", "(ssx)", [each = std::move(each)](GVariant *values) {
                      const char *key = nullptr, *outcome = nullptr;
                      KeyChange change;
                      g_variant_get(values, "(&s&sx)", &key, &outcome, &change.when);
                      change.key = key;
                      change.outcome = outcome;
                      each(change);
                  }) {}

SignalWatch::~SignalWatch() { g_dbus_connection_signal_unsubscribe(connection_, id_); }

void SignalWatch::arrived(GDBusConnection *, const gchar *, const gchar *, const gchar *,
                          const gchar *, GVariant *parameters, gpointer self) {
    auto *watch = static_cast<SignalWatch *>(self);
    if (g_variant_is_of_type(parameters, G_VARIANT_TYPE(watch->shape_.c_str())))
        watch->each_(parameters);
}

} // namespace korvex::ctl
