// Federation of the local broker, done in the launcher's child: one link and
// a fixed set of QMF routes per peer. Failures are logged and the next peer
// is tried; nothing is retried or undone.
#include "broker_launcher.h"
#include "port_text.h"
#include "shell_words.h"

#include <korvex/kcommon.h>

#include <glib.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string_view>

namespace {

using korvex::broker::printable;

// "localhost:" plus at most 5 characters: the longest local address,
// localhost:65535, fits exactly, and a longer proxy port text is cut.
using ShortAddress = std::array<char, 16>;
constexpr std::string_view localhost_prefix = "localhost:";

// FEDERATED_BROKERS is split in a copy of this size; a longer list is cut.
using PeerList = std::array<char, 1024>;
constexpr const char *peer_separators = ",; ";

// A host name of up to 1023 characters, ':', 5 digits and the terminator.
char srv_peer_address[1031];

constexpr std::string_view srv_prefixes[] = {"_korvex._tcp.", "_korvex._tls."};

bool is_srv_name(std::string_view token) {
    for (std::string_view prefix : srv_prefixes) {
        if (token.starts_with(prefix))
            return true;
    }
    return false;
}

struct RouteTemplate {
    bool towards_peer; // dest is the peer and src the local broker, else the reverse
    const char *exchange;
    const char *routing_key;
    int src_local;
};

// Static routes through the guest proxy.
constexpr RouteTemplate guest_routes[] = {
    {false, "qmf.default.topic", "direct-agent.#", 0},
    {false, "qmf.default.topic", "console.#", 0},
    {true, "qmf.default.topic", "direct-console.#", 1},
    {true, "qmf.default.topic", "agent.#", 1},
};

// Dynamic routes both ways to a listed peer.
constexpr RouteTemplate peer_routes[] = {
    {true, "amq.direct", nullptr, 0},         {false, "amq.direct", nullptr, 0},
    {true, "qmf.default.direct", nullptr, 0}, {false, "qmf.default.direct", nullptr, 0},
    {true, "qmf.default.topic", nullptr, 0},  {false, "qmf.default.topic", nullptr, 0},
};

ShortAddress local_broker_address() {
    ShortAddress local{};
    std::snprintf(local.data(), local.size(), "localhost:%hu", broker_get_port());
    return local;
}

void federate_guest_proxy(const char *proxy_port) {
    if (proxy_port == nullptr) {
        kx_log(KX_LOG_WARNING,
               "%s: TPX_G_SERVICE_PORT is not set; not federating with the guest proxy",
               "broker_federation_configure");
        return;
    }
    ShortAddress peer{};
    std::snprintf(peer.data(), peer.size(), "localhost:%s", proxy_port);
    // Only what survived the cut reaches the command line, so that is
    // what has to be a port.
    std::string_view kept_port = std::string_view(peer.data()).substr(localhost_prefix.size());
    if (!korvex::broker::is_port_number(kept_port)) {
        kx_log(KX_LOG_WARNING,
               "%s: TPX_G_SERVICE_PORT=\"%s\": its first 5 characters are not a port number; not "
               "federating with the guest proxy",
               "broker_federation_configure", printable(proxy_port).c_str());
        return;
    }
    ShortAddress local = local_broker_address();
    broker_federate(local.data(), peer.data(), 1);
}

// A list longer than the buffer is cut, and the token the cut falls into
// would name a peer nobody listed (host01 of host0114): it is dropped,
// with a warning, together with everything after it.
void drop_cut_peer(PeerList &list, const char *brokers) {
    const std::size_t kept = std::strlen(list.data());
    if (brokers[kept] == '\0')
        return;
    const std::string_view text(list.data(), kept);
    const bool cut_inside_token = std::strchr(peer_separators, brokers[kept]) == nullptr &&
                                  kept > 0 && std::strchr(peer_separators, text.back()) == nullptr;
    if (!cut_inside_token) {
        kx_log(KX_LOG_WARNING,
               "%s: FEDERATED_BROKERS is longer than %zu characters; the peers after that are left "
               "out",
               "broker_federation_configure", kept);
        return;
    }
    const std::size_t last_separator = text.find_last_of(peer_separators);
    const std::size_t cut_start = last_separator == std::string_view::npos ? 0 : last_separator + 1;
    kx_log(KX_LOG_WARNING,
           "%s: FEDERATED_BROKERS is longer than %zu characters; skipping the cut peer \"%s\"",
           "broker_federation_configure", kept, printable(text.substr(cut_start)).c_str());
    list[cut_start] = '\0';
}

void federate_listed_peers(const char *brokers) {
    ShortAddress local = local_broker_address();
    PeerList list{};
    kx_string_copy(list.data(), brokers, list.size());
    drop_cut_peer(list, brokers);

    char *position = nullptr;
    for (char *token = strtok_r(list.data(), peer_separators, &position); token != nullptr;
         token = strtok_r(nullptr, peer_separators, &position)) {
        const char *peer = token;
        if (is_srv_name(token)) {
            peer = broker_lookup(token);
            if (peer == nullptr)
                continue;
        }
        if (!korvex::broker::is_quotable_word(peer)) {
            kx_log(KX_LOG_WARNING,
                   "%s: Skipping federated broker \"%s\": a broker address is not empty, does not "
                   "start with '-' and holds no control characters",
                   "broker_federation_configure", printable(peer).c_str());
            continue;
        }
        broker_federate(local.data(), peer, 0);
    }
}

} // namespace

extern "C" void broker_federation_configure(void) {
    const char *brokers = std::getenv("FEDERATED_BROKERS");
    const char *proxy_port = std::getenv("TPX_G_SERVICE_PORT");
    const char *host_dir = std::getenv("TPX_G_HOST_DIR");

    if (host_dir != nullptr && g_file_test(host_dir, G_FILE_TEST_IS_DIR)) {
        federate_guest_proxy(proxy_port);
        return;
    }
    if (brokers != nullptr)
        federate_listed_peers(brokers);
}

extern "C" const char *broker_lookup(const char *name) {
    kx_log(KX_LOG_TRACE, "%s: Looking up DNS SRV record for \"%s\"", "broker_lookup",
           printable(name).c_str());
    char host[1024];
    std::uint16_t port = 0;
    if (kx_dnssrv_lookup_single(name, host, sizeof host, &port) != 0) {
        kx_log(KX_LOG_WARNING, "%s: Failed to find DNS SRV record for \"%s\"", "broker_lookup",
               printable(name).c_str());
        return nullptr;
    }
    std::snprintf(srv_peer_address, sizeof srv_peer_address, "%s:%hu", host, port);
    return srv_peer_address;
}

extern "C" int broker_federate(const char *local, const char *peer, int guest) {
    int status = broker_os_add_qpid_route_link(local, peer);
    if (status != 0) {
        kx_log(KX_LOG_ERR, "%s: Failed to link brokers \"%s\" to \"%s\"", "broker_federate",
               printable(local).c_str(), printable(peer).c_str());
        return status;
    }
    for (const RouteTemplate &route : guest ? std::span<const RouteTemplate>(guest_routes)
                                            : std::span<const RouteTemplate>(peer_routes)) {
        const char *dest = route.towards_peer ? peer : local;
        const char *src = route.towards_peer ? local : peer;
        if (broker_add_route(dest, src, route.exchange, route.routing_key, route.src_local,
                             guest) != 0)
            return 1;
    }
    return 0;
}

extern "C" int broker_add_route(const char *dest, const char *src, const char *exchange,
                                const char *routing_key, int src_local, int static_route) {
    const qpid_route route = {dest, src, exchange, routing_key, src_local, static_route};
    kx_log(KX_LOG_INFO, "%s: Adding routes for federated broker \"%s\"", "broker_add_route",
           printable(src).c_str());
    int status = broker_os_add_qpid_route(&route);
    if (status != 0)
        kx_log(KX_LOG_ERR, "%s: Failed to route %s => %s", "broker_add_route",
               printable(dest).c_str(), printable(src).c_str());
    return status;
}
