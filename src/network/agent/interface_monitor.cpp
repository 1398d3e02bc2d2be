#include "interface_monitor.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>

#include <dbus/dbus-glib-lowlevel.h>
#include <dbus/dbus.h>
#include <glib-unix.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include <korvex/kcommon.h>
#include <korvex/kcommon_dbus.h>
#include <korvex/network.h>
#include <korvex/owners.h>
#include <korvex/requests.h>

namespace korvex::network {

namespace {

using Clock = std::chrono::steady_clock;

// A client hears about one interface at most this often; whatever changed
// in between comes with the next signal, as the state of that moment.
constexpr auto kSignalInterval = std::chrono::milliseconds(100);
// Room for the notifications of a thousand links changing at once before
// the kernel drops some (it doubles the figure).
constexpr int kReceiveBuffer = 4 * 1024 * 1024;
// One notification is one datagram of a few kilobytes.
constexpr std::size_t kDatagramSize = 64 * 1024;

std::string attribute_text(const rtattr *first, int length, unsigned short type) {
    for (const rtattr *attribute = first; RTA_OK(attribute, length);
         attribute = RTA_NEXT(attribute, length)) {
        if (attribute->rta_type != type)
            continue;
        const char *data = static_cast<const char *>(RTA_DATA(attribute));
        return std::string(data, strnlen(data, RTA_PAYLOAD(attribute)));
    }
    return {};
}

struct MessageUnref {
    void operator()(DBusMessage *message) const { dbus_message_unref(message); }
};

struct NameIndexFree {
    void operator()(struct if_nameindex *names) const { if_freenameindex(names); }
};

// Watches the kernel's link and IPv4 address notifications on the main
// loop. They only say which names to look at again: each is then asked
// afresh, as a caller's query would be, and a signal goes out when the
// answers differ from what clients were last told. Main loop only.
class InterfaceMonitor {
public:
    InterfaceMonitor(DBusGConnection *bus, std::string path)
        : bus_(bus), path_(std::move(path)), datagram_(kDatagramSize) {}
    ~InterfaceMonitor() {
        if (watch_ != 0)
            g_source_remove(watch_);
        if (timer_ != 0)
            g_source_remove(timer_);
        dbus_g_connection_unref(bus_);
    }
    InterfaceMonitor(const InterfaceMonitor &) = delete;
    InterfaceMonitor &operator=(const InterfaceMonitor &) = delete;

    // Subscribes first and reads the state second, so that no change falls
    // in between. 0, or the errno of what failed.
    int start() {
        socket_ = UniqueFd(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK,
                                    NETLINK_ROUTE));
        if (!socket_)
            return errno;
        // Root may go beyond the host's limit for socket buffers.
        if (::setsockopt(socket_.get(), SOL_SOCKET, SO_RCVBUFFORCE, &kReceiveBuffer,
                         sizeof kReceiveBuffer) != 0)
            ::setsockopt(socket_.get(), SOL_SOCKET, SO_RCVBUF, &kReceiveBuffer,
                         sizeof kReceiveBuffer);
        sockaddr_nl local{};
        local.nl_family = AF_NETLINK;
        local.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR;
        if (::bind(socket_.get(), reinterpret_cast<sockaddr *>(&local), sizeof local) != 0)
            return errno;
        read_everything(true);
        watch_ = g_unix_fd_add(socket_.get(), G_IO_IN, readable, this);
        return 0;
    }

private:
    struct Tracked {
        InterfaceAnswers told; // what clients were last told; absent before that
        Clock::time_point last_signal{};
    };

    static gboolean readable(gint, GIOCondition, gpointer self) {
        static_cast<InterfaceMonitor *>(self)->drain();
        return G_SOURCE_CONTINUE;
    }

    static gboolean due(gpointer self) {
        auto *monitor = static_cast<InterfaceMonitor *>(self);
        monitor->timer_ = 0;
        monitor->settle();
        return G_SOURCE_REMOVE;
    }

    void drain() {
        bool overrun = false;
        for (;;) {
            sockaddr_nl sender{};
            socklen_t sender_size = sizeof sender;
            // MSG_TRUNC: the datagram's whole length, also when it did not fit.
            const ssize_t received =
                ::recvfrom(socket_.get(), datagram_.data(), datagram_.size(), MSG_TRUNC,
                           reinterpret_cast<sockaddr *>(&sender), &sender_size);
            if (received < 0) {
                if (errno == EINTR)
                    continue;
                // The kernel dropped notifications; the socket goes on.
                if (errno == ENOBUFS) {
                    overrun = true;
                    continue;
                }
                break; // EAGAIN: all read
            }
            if (static_cast<std::size_t>(received) > datagram_.size()) {
                overrun = true;
                continue;
            }
            if (sender.nl_pid != 0)
                continue; // only the kernel speaks for the interfaces
            int remaining = static_cast<int>(received);
            for (auto *header = reinterpret_cast<const nlmsghdr *>(datagram_.data());
                 NLMSG_OK(header, remaining); header = NLMSG_NEXT(header, remaining))
                note(*header);
        }
        if (overrun) {
            kx_log(KX_LOG_WARNING, "%s: interface notifications were lost; reading every "
                                   "interface again", "interface_monitor");
            read_everything(false);
        }
        settle();
    }

    // Which names a notification concerns. An alias label ("eth0:1") goes
    // up and down with its device.
    void note(const nlmsghdr &header) {
        switch (header.nlmsg_type) {
        case RTM_NEWLINK:
        case RTM_DELLINK: {
            if (header.nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg)))
                return;
            const auto &link = *static_cast<const ifinfomsg *>(NLMSG_DATA(&header));
            const std::string name = attribute_text(IFLA_RTA(&link),
                                                    static_cast<int>(IFLA_PAYLOAD(&header)),
                                                    IFLA_IFNAME);
            // A renamed device is gone under its old name.
            if (auto known = devices_.find(link.ifi_index);
                known != devices_.end() && known->second != name)
                look_again_at_device(known->second);
            if (header.nlmsg_type == RTM_DELLINK)
                devices_.erase(link.ifi_index);
            else
                devices_[link.ifi_index] = name;
            look_again_at_device(name);
            return;
        }
        case RTM_NEWADDR:
        case RTM_DELADDR: {
            if (header.nlmsg_len < NLMSG_LENGTH(sizeof(ifaddrmsg)))
                return;
            const auto &address = *static_cast<const ifaddrmsg *>(NLMSG_DATA(&header));
            if (address.ifa_family != AF_INET)
                return;
            look_again_at(attribute_text(IFA_RTA(&address),
                                         static_cast<int>(IFA_PAYLOAD(&header)), IFA_LABEL));
            if (auto device = devices_.find(static_cast<int>(address.ifa_index));
                device != devices_.end())
                look_again_at_device(device->second);
            return;
        }
        default:
            return;
        }
    }

    void look_again_at(const std::string &name) {
        if (!name.empty())
            waiting_.insert(name);
    }

    void look_again_at_device(const std::string &device) {
        look_again_at(device);
        const std::string labels = device + ":";
        for (auto label = tracked_.lower_bound(labels);
             label != tracked_.end() && label->first.compare(0, labels.size(), labels) == 0;
             ++label)
            look_again_at(label->first);
    }

    // Every waiting name whose interval has passed is asked now; the timer
    // comes back for the others.
    void settle() {
        const auto now = Clock::now();
        auto next = Clock::time_point::max();
        for (auto name = waiting_.begin(); name != waiting_.end();) {
            Tracked &tracked = tracked_[*name];
            const auto allowed = tracked.last_signal + kSignalInterval;
            if (allowed > now) {
                next = std::min(next, allowed);
                ++name;
                continue;
            }
            tell_if_changed(*name, tracked, now);
            name = waiting_.erase(name);
        }
        forget_departed(now);
        if (timer_ != 0) {
            g_source_remove(timer_);
            timer_ = 0;
        }
        if (next != Clock::time_point::max()) {
            const auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - now);
            timer_ = g_timeout_add(static_cast<guint>(wait.count()), due, this);
        }
    }

    void tell_if_changed(const std::string &name, Tracked &tracked, Clock::time_point now) {
        InterfaceAnswers current = interface_answers(name.c_str());
        if (current == tracked.told)
            return;
        send(name, current);
        tracked.told = std::move(current);
        tracked.last_signal = now;
    }

    void send(const std::string &name, const InterfaceAnswers &told) {
        std::unique_ptr<DBusMessage, MessageUnref> signal(
            dbus_message_new_signal(path_.c_str(), kMonitorInterface, kInterfaceChanged));
        if (!signal)
            return;
        const std::string iface = bus_text(name.c_str());
        const char *iface_text = iface.c_str();
        const char *ip = told.ip.c_str();
        const char *mac = told.mac.c_str();
        const dbus_bool_t present = told.present ? TRUE : FALSE;
        const auto up = static_cast<dbus_uint32_t>(told.state & KX_NETWORK_IF_UP);
        if (dbus_message_append_args(signal.get(), DBUS_TYPE_STRING, &iface_text,
                                     DBUS_TYPE_BOOLEAN, &present, DBUS_TYPE_UINT32, &up,
                                     DBUS_TYPE_STRING, &ip, DBUS_TYPE_STRING, &mac,
                                     DBUS_TYPE_INVALID))
            dbus_connection_send(dbus_g_connection_get_connection(bus_), signal.get(), nullptr);
    }

    // At start: what is there now, told to nobody. After lost
    // notifications: every name whose answers differ from what clients
    // were told, the departed included, is looked at again.
    void read_everything(bool at_start) {
        devices_.clear();
        if (std::unique_ptr<struct if_nameindex, NameIndexFree> names{if_nameindex()}) {
            for (const struct if_nameindex *entry = names.get(); entry->if_index != 0; ++entry)
                devices_[static_cast<int>(entry->if_index)] = entry->if_name;
        }
        std::set<std::string> listed;
        InterfaceList list(kx_network_get_interfaces());
        for (const GList *item = list.get(); item != nullptr; item = item->next) {
            const auto &record = *static_cast<const sigar_net_interface_config_t *>(item->data);
            const std::string name = kx_network_interface_get_name(&record);
            listed.insert(name);
            Tracked &tracked = tracked_[name];
            InterfaceAnswers current = record_answers(record);
            if (at_start)
                tracked.told = std::move(current);
            else if (current != tracked.told)
                look_again_at(name);
        }
        for (const auto &[name, tracked] : tracked_) {
            if (tracked.told.present && listed.count(name) == 0)
                look_again_at(name);
        }
    }

    // Names that are gone matter only until their interval has passed; a
    // host that makes and removes links all day would otherwise fill the
    // map. The sweep runs when the map has doubled since the last one.
    void forget_departed(Clock::time_point now) {
        if (tracked_.size() < sweep_at_)
            return;
        std::erase_if(tracked_, [&](const auto &entry) {
            return !entry.second.told.present && waiting_.count(entry.first) == 0 &&
                   now - entry.second.last_signal >= kSignalInterval;
        });
        sweep_at_ = std::max<std::size_t>(256, 2 * tracked_.size());
    }

    DBusGConnection *bus_;
    const std::string path_;
    UniqueFd socket_;
    std::vector<char> datagram_;
    guint watch_ = 0;
    guint timer_ = 0;
    std::map<std::string, Tracked> tracked_; // ordered: a device's labels follow it
    std::set<std::string> waiting_;
    std::unordered_map<int, std::string> devices_; // by interface index
    std::size_t sweep_at_ = 256;
};

// The one monitor, made when the main loop first runs and kept for the
// life of the process.
std::unique_ptr<InterfaceMonitor> the_monitor;
std::string monitor_path;

gboolean start_monitor(gpointer) {
    GError *raw = nullptr;
    DBusGConnection *bus = dbus_g_bus_get(DBUS_BUS_SYSTEM, &raw);
    ErrorPtr error(raw);
    if (bus == nullptr) {
        kx_log(KX_LOG_ERR, "%s: no bus connection, interface changes are not signalled: %s",
               "interface_monitor", error ? error->message : "unknown error");
        return G_SOURCE_REMOVE;
    }
    auto monitor = std::make_unique<InterfaceMonitor>(bus, monitor_path);
    if (int failure = monitor->start(); failure != 0) {
        kx_log(KX_LOG_ERR, "%s: cannot watch the interfaces, changes are not signalled: %s",
               "interface_monitor", g_strerror(failure));
        return G_SOURCE_REMOVE;
    }
    the_monitor = std::move(monitor);
    return G_SOURCE_REMOVE;
}

} // namespace

void monitor_interfaces(const char *object_path) {
    // dbus-glib ties every signal of the object info to a GObject signal
    // of the same name when it registers the object, and complains about
    // one it cannot find. The signal goes out through libdbus (names need
    // their bytes made valid text first), so the GObject one only has to
    // exist.
    g_signal_new("interface-changed", korvex_get_type(), G_SIGNAL_RUN_LAST, 0, nullptr, nullptr,
                 nullptr, G_TYPE_NONE, 5, G_TYPE_STRING, G_TYPE_BOOLEAN, G_TYPE_UINT, G_TYPE_STRING,
                 G_TYPE_STRING);
    monitor_path = object_path;
    // run_dbus_server runs the loop only once the agent owns its name.
    g_idle_add(start_monitor, nullptr);
}

} // namespace korvex::network
