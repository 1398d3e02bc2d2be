/* broker-launcher: starts qpidd with the fixed broker options and, in a
 * forked child, federates it with peer brokers through qpid-route.
 * These names form the program's C interface. */
#ifndef KORVEX_BROKER_LAUNCHER_H
#define KORVEX_BROKER_LAUNCHER_H

#ifdef __cplusplus
extern "C" {
#endif

/* One route command for qpid-route. routing_key and src_local only matter
 * for a static route. */
typedef struct qpid_route {
    const char *dest;
    const char *src;
    const char *exchange;
    const char *routing_key;
    int src_local;
    int static_route;
} qpid_route;

/* Port of the local broker: the cached port, else KORVEX_PORT, else 49000.
 * Only a good, non-zero KORVEX_PORT is cached. */
unsigned short broker_get_port(void);

/* The broker's argument vector, built from the launcher's own: a malloc'd,
 * null-terminated array of malloc'd strings, or NULL when memory ran out
 * (already logged). Free it with broker_args_free. */
char **broker_args(int argc, char **argv);
void broker_args_free(char **list);

/* Forks: the child federates and returns 0, the parent execs qpidd with
 * argv and returns errno only when that failed. errno when fork fails. */
int broker_os_start_broker(char **argv);

/* Links and routes the local broker to the guest proxy or to every peer of
 * FEDERATED_BROKERS. Runs in the child; failures are only logged. */
void broker_federation_configure(void);

/* 0 on success, the link command's status when linking failed, 1 when a
 * route failed. guest selects the guest-proxy routes. */
int broker_federate(const char *local, const char *peer, int guest);

int broker_add_route(const char *dest, const char *src, const char *exchange,
                     const char *routing_key, int src_local, int static_route);

/* "host:port" of the SRV record called name, in a buffer that the next
 * lookup overwrites; NULL when there is none (already logged). */
const char *broker_lookup(const char *name);

/* Run one qpid-route command through the shell and return system()'s
 * status (0 when the command succeeded). */
int broker_os_add_qpid_route(const qpid_route *route);
int broker_os_add_qpid_route_link(const char *dest, const char *src);

#ifdef __cplusplus
}

#include <memory>

namespace korvex::broker {

struct BrokerArgsDeleter {
    void operator()(char **list) const noexcept { broker_args_free(list); }
};
using BrokerArgs = std::unique_ptr<char *[], BrokerArgsDeleter>;

} // namespace korvex::broker
#endif

#endif
