// SRV selection: lowest priority first, then highest weight; among equal
// records the first in answer order wins, so the choice is repeatable.
// A target of "." means the service is deliberately not offered there.
#include "korvex/kcommon.h"
#include "kx_srv_answer.h"

#include <algorithm>
#include <arpa/nameser.h>
#include <climits>
#include <cstring>
#include <netinet/in.h>
#include <optional>
#include <resolv.h>
#include <string>
#include <vector>

namespace {

struct ResolverState {
    struct __res_state res;
    bool ready = false;

    ResolverState() {
        std::memset(&res, 0, sizeof res);
        ready = res_ninit(&res) == 0;
    }
    ~ResolverState() {
        // res_ninit may have allocated even when it reports failure.
        res_nclose(&res);
    }
    ResolverState(const ResolverState &) = delete;
    ResolverState &operator=(const ResolverState &) = delete;
};

struct SrvRecord {
    uint16_t priority;
    uint16_t weight;
    uint16_t port;
    std::string target;
};

bool better(const SrvRecord &candidate, const SrvRecord &chosen) {
    if (candidate.priority != chosen.priority)
        return candidate.priority < chosen.priority;
    return candidate.weight > chosen.weight;
}

std::optional<SrvRecord> parse_srv(const ns_msg &msg, const ns_rr &rr) {
    if (ns_rr_type(rr) != ns_t_srv || ns_rr_class(rr) != ns_c_in || ns_rr_rdlen(rr) < 7)
        return std::nullopt;
    const unsigned char *rdata = ns_rr_rdata(rr);
    SrvRecord rec;
    rec.priority = ns_get16(rdata);
    rec.weight = ns_get16(rdata + 2);
    rec.port = ns_get16(rdata + 4);
    char target[NS_MAXDNAME];
    if (dn_expand(ns_msg_base(msg), ns_msg_end(msg), rdata + 6, target, sizeof target) < 0)
        return std::nullopt;
    rec.target = target;
    return rec;
}

} // namespace

std::optional<korvex::SrvTarget> korvex::srv_answer_choose(const unsigned char *answer,
                                                           size_t length, size_t host_size) {
    if (answer == nullptr || length > static_cast<size_t>(INT_MAX))
        return std::nullopt;
    ns_msg msg;
    if (ns_initparse(answer, static_cast<int>(length), &msg) < 0)
        return std::nullopt;

    std::optional<SrvRecord> chosen;
    int count = ns_msg_count(msg, ns_s_an);
    for (int i = 0; i < count; ++i) {
        ns_rr rr;
        if (ns_parserr(&msg, ns_s_an, i, &rr) < 0)
            break;
        std::optional<SrvRecord> rec = parse_srv(msg, rr);
        // dn_expand renders the root name "." as the empty text.
        if (!rec || rec->target.empty() || rec->target == ".")
            continue;
        // A cut host name would name another host; such a target is unusable.
        if (rec->target.size() >= host_size)
            continue;
        if (!chosen || better(*rec, *chosen))
            chosen = std::move(rec);
    }
    if (!chosen)
        return std::nullopt;
    return SrvTarget{std::move(chosen->target), chosen->port};
}

extern "C" int kx_dnssrv_lookup_single(const char *name, char *host, size_t host_size,
                                       uint16_t *port) {
    if (name == nullptr || name[0] == '\0' || host == nullptr || host_size == 0 || port == nullptr)
        return -1;

    ResolverState resolver;
    if (!resolver.ready)
        return -1;

    std::vector<unsigned char> answer(NS_MAXMSG);
    int len = res_nquery(&resolver.res, name, ns_c_in, ns_t_srv, answer.data(),
                         static_cast<int>(answer.size()));
    if (len <= 0)
        return -1;
    // A truncated reply reports the full length; parse only what arrived.
    size_t arrived = std::min(static_cast<size_t>(len), answer.size());

    std::optional<korvex::SrvTarget> chosen =
        korvex::srv_answer_choose(answer.data(), arrived, host_size);
    if (!chosen)
        return -1;

    kx_string_copy(host, chosen->host.c_str(), host_size);
    *port = chosen->port;
    return 0;
}
