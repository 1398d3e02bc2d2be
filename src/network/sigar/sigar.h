/* Interface enumeration and configuration with SIGAR's public API.
 *
 * Only the part of SIGAR that korvex uses: the handle, the interface name
 * list, the interface configuration and the address-to-text call. Names,
 * types and signatures follow SIGAR's own header, so a real SIGAR can be
 * linked in place of this library without touching its callers. */
#ifndef KORVEX_SIGAR_H
#define KORVEX_SIGAR_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define SIGAR_DECLARE(type) __attribute__((visibility("default"))) type
#else
#define SIGAR_DECLARE(type) type
#endif

typedef uint32_t sigar_uint32_t;
typedef uint64_t sigar_uint64_t;

#define SIGAR_OK 0

/* An opaque handle; every call takes one. */
typedef struct sigar_t sigar_t;

/* 0 and *sigar set, or an errno value and *sigar NULL. */
SIGAR_DECLARE(int) sigar_open(sigar_t **sigar);
SIGAR_DECLARE(int) sigar_close(sigar_t *sigar);

enum sigar_net_address_family { SIGAR_AF_UNSPEC, SIGAR_AF_INET, SIGAR_AF_INET6, SIGAR_AF_LINK };

typedef struct {
    enum sigar_net_address_family family;
    union {
        sigar_uint32_t in;     /* network byte order */
        sigar_uint32_t in6[4]; /* network byte order */
        unsigned char mac[8];  /* the first six bytes of an Ethernet address */
    } addr;
} sigar_net_address_t;

/* Room for the longest text sigar_net_address_to_string writes. */
#define SIGAR_INET6_ADDRSTRLEN 46

#define SIGAR_NULL_HWADDR "00:00:00:00:00:00"

/* Interface flag bits (sigar_net_interface_config_t.flags). */
#define SIGAR_IFF_UP 0x1
#define SIGAR_IFF_BROADCAST 0x2
#define SIGAR_IFF_DEBUG 0x4
#define SIGAR_IFF_LOOPBACK 0x8
#define SIGAR_IFF_POINTOPOINT 0x10
#define SIGAR_IFF_NOTRAILERS 0x20
#define SIGAR_IFF_RUNNING 0x40
#define SIGAR_IFF_NOARP 0x80
#define SIGAR_IFF_PROMISC 0x100
#define SIGAR_IFF_ALLMULTI 0x200
#define SIGAR_IFF_MULTICAST 0x800
#define SIGAR_IFF_SLAVE 0x1000
#define SIGAR_IFF_MASTER 0x2000
#define SIGAR_IFF_DYNAMIC 0x4000

/* IPv6 address scopes (sigar_net_interface_config_t.scope6). */
#define SIGAR_IPV6_ADDR_ANY 0x0000
#define SIGAR_IPV6_ADDR_UNICAST 0x0001
#define SIGAR_IPV6_ADDR_MULTICAST 0x0002
#define SIGAR_IPV6_ADDR_LOOPBACK 0x0010
#define SIGAR_IPV6_ADDR_LINKLOCAL 0x0020
#define SIGAR_IPV6_ADDR_SITELOCAL 0x0040
#define SIGAR_IPV6_ADDR_COMPATv4 0x0080

typedef struct {
    unsigned long number; /* names in data */
    unsigned long size;   /* slots allocated in data */
    char **data;
} sigar_net_interface_list_t;

/* The names as SIGAR lists them on Linux: first the entries SIOCGIFCONF
 * returns (interfaces and alias labels such as "eth0:1" with an IPv4
 * address, in the kernel's order), each name once, then the devices of
 * /proc/net/dev not listed yet, in their order there, so that interfaces
 * that are down or have no address are listed too. Names are the kernel's
 * bytes and need not be valid text.
 * The handle keeps a snapshot of the interfaces from this call until
 * sigar_net_interface_list_destroy, so configurations read in between
 * describe the same moment as the list. */
SIGAR_DECLARE(int) sigar_net_interface_list_get(sigar_t *sigar, sigar_net_interface_list_t *iflist);
SIGAR_DECLARE(int)
sigar_net_interface_list_destroy(sigar_t *sigar, sigar_net_interface_list_t *iflist);

typedef struct {
    char name[16];
    char type[64];
    char description[256];
    sigar_net_address_t hwaddr;      /* SIGAR_AF_LINK; all zero when the link has none */
    sigar_net_address_t address;     /* SIGAR_AF_INET, or SIGAR_AF_UNSPEC and zero without IPv4 */
    sigar_net_address_t destination; /* point-to-point peer, else SIGAR_AF_UNSPEC */
    sigar_net_address_t broadcast;   /* SIGAR_AF_UNSPEC without a broadcast address */
    sigar_net_address_t netmask;     /* SIGAR_AF_UNSPEC without IPv4 */
    sigar_net_address_t address6;    /* first IPv6 address, else SIGAR_AF_UNSPEC */
    int prefix6_length;
    int scope6;
    sigar_uint64_t flags; /* SIGAR_IFF_* */
    sigar_uint64_t mtu;
    sigar_uint64_t metric;
    int tx_queue_len;
} sigar_net_interface_config_t;

/* Fills *ifconfig for the interface or alias label called exactly name.
 * SIGAR_OK, ENXIO for a name that is not there, EINVAL for NULL
 * arguments, or the errno of the failed system call. */
SIGAR_DECLARE(int)
sigar_net_interface_config_get(sigar_t *sigar, const char *name,
                               sigar_net_interface_config_t *ifconfig);

/* Writes the text of *address into addr_str, which must have room for
 * SIGAR_INET6_ADDRSTRLEN bytes: dotted IPv4, IPv6 text, or a MAC as six
 * upper-case hexadecimal pairs joined by colons. An unset address
 * (SIGAR_AF_UNSPEC) reads as the zero IPv4 address, "0.0.0.0"; any other
 * family gives EINVAL and the empty text. The handle may be NULL. */
SIGAR_DECLARE(int)
sigar_net_address_to_string(sigar_t *sigar, sigar_net_address_t *address, char *addr_str);

#ifdef __cplusplus
}
#endif

#endif
