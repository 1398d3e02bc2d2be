/* Choosing the target out of a raw SRV answer. Kept apart from the query
 * so that the parsing can be exercised on any bytes without a resolver.
 * Internal to libkcommon; not installed. */
#ifndef KORVEX_KX_SRV_ANSWER_H
#define KORVEX_KX_SRV_ANSWER_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include <korvex/export.h>

namespace korvex {

struct SrvTarget {
    std::string host;
    uint16_t port;
};

/* The target that a lookup answers with, from the answer section of the
 * DNS message in answer[0, length): among the IN SRV records whose target
 * is neither the root name nor host_size characters or longer (it would
 * not fit the caller's buffer), the one with the lowest priority, then the
 * highest weight, then the first in answer order. Nothing when there is no
 * such record or the message does not parse. */
KX_EXPORT std::optional<SrvTarget> srv_answer_choose(const unsigned char *answer, size_t length,
                                                     size_t host_size);

} // namespace korvex

#endif
