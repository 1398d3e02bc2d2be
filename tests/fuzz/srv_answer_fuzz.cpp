// Any bytes as a DNS message: a chosen target fits the caller's buffer, is a
// real host name, and the same bytes give the same choice. Input: a byte of
// buffer size (0 for the launcher's 1024), then the raw message.
#include "fuzz_support.h"

#include <kx_srv_answer.h>

#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    const size_t host_size = data[0] == 0 ? 1024 : data[0];
    // A private copy, so that a read past the message is caught at its end.
    std::vector<unsigned char> message(data + 1, data + size);

    std::optional<korvex::SrvTarget> chosen =
        korvex::srv_answer_choose(message.data(), message.size(), host_size);
    if (!chosen)
        return 0;
    const std::string &host = chosen->host;
    require(!host.empty() && host != ".", "root name chosen as target", host);
    require(host.size() < host_size, "target does not fit the caller's buffer", host);
    require(std::memchr(host.data(), '\0', host.size()) == nullptr, "target holds a NUL byte",
            host);

    std::optional<korvex::SrvTarget> again =
        korvex::srv_answer_choose(message.data(), message.size(), host_size);
    require(again && again->host == host && again->port == chosen->port,
            "the same answer gave another target", host);
    return 0;
}
