/* libknetwork: the host's network interfaces (list, MAC and IP address,
 * up/down state) and bringing an interface up or down with the host's
 * interface scripts. Stateless: every query reads the interfaces afresh;
 * the per-name queries read only what that name needs, and answer exactly
 * as a search of the whole list would. */
#ifndef KORVEX_NETWORK_H
#define KORVEX_NETWORK_H

#include <glib.h>
#include <sigar.h>
#include <stddef.h>
#include <stdint.h>

#include <korvex/export.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Interface state: readers test bit 0 for "up". */
#define KX_NETWORK_IF_UP 1
#define KX_NETWORK_IF_DOWN 2

/* A new list of interface records (sigar_net_interface_config_t *), in the
 * reverse of SIGAR's enumeration order; NULL when there are none or the
 * interfaces cannot be read. Free with
 * g_list_free_full(list, kx_network_interface_destroy). */
KX_EXPORT GList *kx_network_get_interfaces(void);

/* The record's name, valid as long as the record. */
KX_EXPORT const char *kx_network_interface_get_name(const sigar_net_interface_config_t *iface);

/* KX_NETWORK_IF_UP or KX_NETWORK_IF_DOWN. */
KX_EXPORT uint64_t kx_network_interface_get_flags(const sigar_net_interface_config_t *iface);

/* Frees one record; fits g_list_free_full. */
KX_EXPORT void kx_network_interface_destroy(gpointer iface);

/* Writes the interface's MAC as "XX:XX:XX:XX:XX:XX" (upper case) into buf,
 * cut to size-1 characters and terminated. The empty text when no
 * interface has that name; with size 0 buf is not touched. Returns buf. */
KX_EXPORT char *kx_network_get_mac_address(const char *iface, char *buf, size_t size);

/* Writes the interface's IPv4 address into buf, bounded like the MAC.
 * The empty text when no interface has that name or it has no IPv4
 * address. Returns buf. */
KX_EXPORT char *kx_network_get_ip_address(const char *iface, char *buf, size_t size);

/* 0 and *state set to KX_NETWORK_IF_UP or KX_NETWORK_IF_DOWN; 1 when no
 * interface has that name (*state untouched). */
KX_EXPORT int kx_network_status(const char *iface, uint64_t *state);

/* Start "/sbin/ifup NAME" / "/sbin/ifdown NAME" and return without waiting
 * for it; failures to start the tool are silent. Restart runs the stop
 * tool first. */
KX_EXPORT void kx_network_start(const char *iface);
KX_EXPORT void kx_network_stop(const char *iface);
KX_EXPORT void kx_network_restart(const char *iface);

/* The operating-system half the three calls above forward to. */
KX_EXPORT void network_os_start(const char *iface);
KX_EXPORT void network_os_stop(const char *iface);

#ifdef __cplusplus
}

#include <memory>
#include <string>

namespace korvex::network {

// Owner of a list of kx_network_get_interfaces.
struct InterfaceListDeleter {
    void operator()(GList *list) const { g_list_free_full(list, kx_network_interface_destroy); }
};
using InterfaceList = std::unique_ptr<GList, InterfaceListDeleter>;

// What kx_network_status, kx_network_get_ip_address and
// kx_network_get_mac_address answer about one name, read at one moment;
// the texts whole, before a caller's buffer cuts them.
struct InterfaceAnswers {
    bool present = false; // status 1 and both texts empty when false
    uint64_t state = 0;   // KX_NETWORK_IF_UP or KX_NETWORK_IF_DOWN when present
    std::string ip;
    std::string mac;

    bool operator==(const InterfaceAnswers &) const = default;
};

// The answers about `iface`, asked of the kernel for that name alone: the
// cost does not grow with the number of interfaces.
KX_EXPORT InterfaceAnswers interface_answers(const char *iface);

// The same answers about a record of kx_network_get_interfaces.
KX_EXPORT InterfaceAnswers record_answers(const sigar_net_interface_config_t &record);

} // namespace korvex::network
#endif

#endif
