// Peers from FEDERATED_BROKERS, SRV answers and TPX_G_SERVICE_PORT reach the
// shell in qpid-route lines: it must read only quoted words, exactly the listed
// peers' commands in order. Input: mode byte, list (or proxy port), SRV host, port.
#include "fuzz_support.h"

#include <broker_launcher.h>
#include <korvex/kcommon.h>
#include <port_text.h>
#include <shell_words.h>

#include <algorithm>
#include <cstring>
#include <utility>
#include <unistd.h>

namespace {

using Words = std::vector<std::string>;

std::string srv_host; // what an SRV lookup answers; empty for nothing
uint16_t srv_port = 0;
std::string list_text;       // what FEDERATED_BROKERS holds in this run
std::vector<Words> commands; // as the shell splits them
const std::string local = "localhost:49000";

bool is_srv_name(std::string_view token) {
    return token.starts_with("_korvex._tcp.") || token.starts_with("_korvex._tls.");
}

// The words a POSIX shell reads from a line made only of single-quoted
// strings and \' between them, words separated by one space. Anything else
// outside quotes is text the shell would act on.
Words shell_words(const std::string &line) {
    Words words(1);
    for (size_t i = 0; i < line.size();) {
        if (line[i] == '\'') {
            const size_t close = line.find('\'', i + 1);
            require(close != std::string::npos, "unterminated quote", line);
            words.back().append(line, i + 1, close - i - 1);
            i = close + 1;
        } else if (line.compare(i, 2, "\\'") == 0) {
            words.back().push_back('\'');
            i += 2;
        } else if (line[i] == ' ' && i > 0 && line[i - 1] != ' ' && i + 1 < line.size() &&
                   line[i + 1] != ' ') {
            words.emplace_back();
            ++i;
        } else {
            require(false, "text outside quotes on a command line", line);
        }
    }
    require(!line.empty(), "empty command line");
    for (const std::string &word : words)
        require(word == "--timeout=5" || word == "--src-local" ||
                    korvex::broker::is_quotable_word(word),
                "a word qpid-route would misread", line);
    return words;
}

// Whether the words, each quoted and joined by spaces, fit the command buffer.
bool fits(const Words &words) {
    size_t size = words.size() - 1;
    for (const std::string &word : words)
        size += word.size() + 2 + 3 * std::count(word.begin(), word.end(), '\'');
    return size <= 1023;
}

// The peers a list names, in order: the first 1023 characters without a
// peer the cut falls into, split at ',', ';' and ' ', SRV names replaced by
// their answer, unquotable ones dropped.
Words expected_peers(std::string list) {
    if (list.size() > 1023) {
        const bool cut_inside_peer = std::strchr(",; ", list[1023]) == nullptr;
        list.resize(1023);
        if (cut_inside_peer) // npos + 1 is 0: no separator drops the whole list
            list.resize(list.find_last_of(",; ") + 1);
    }
    Words peers;
    for (size_t start = 0, end; start <= list.size(); start = end + 1) {
        end = std::min(list.find_first_of(",; ", start), list.size());
        std::string token = list.substr(start, end - start);
        if (is_srv_name(token)) {
            if (srv_host.empty())
                continue;
            token = srv_host + ":" + std::to_string(srv_port);
        }
        if (korvex::broker::is_quotable_word(token))
            peers.push_back(token);
    }
    return peers;
}

// A listed peer's link and dynamic routes, up to the first command that
// does not fit: that one is refused, which ends the peer's turn.
std::vector<Words> listed_peer_commands(const std::string &peer) {
    std::vector<Words> all{
        {"qpid-route", "link", "add", local, "guestonly/guestonly@" + peer, "PLAIN"}};
    for (const char *exchange : {"amq.direct", "qmf.default.direct", "qmf.default.topic"}) {
        all.push_back({"qpid-route", "--timeout=5", "dynamic", "add", peer, local, exchange});
        all.push_back({"qpid-route", "--timeout=5", "dynamic", "add", local, peer, exchange});
    }
    all.erase(std::find_if_not(all.begin(), all.end(), fits), all.end());
    return all;
}

std::vector<Words> guest_proxy_commands(const std::string &proxy) {
    const std::string topic = "qmf.default.topic";
    return {
        {"qpid-route", "link", "add", local, "guestonly/guestonly@" + proxy, "PLAIN"},
        {"qpid-route", "route", "add", local, proxy, topic, "direct-agent.#"},
        {"qpid-route", "route", "add", local, proxy, topic, "console.#"},
        {"qpid-route", "--src-local", "route", "add", proxy, local, topic, "direct-console.#"},
        {"qpid-route", "--src-local", "route", "add", proxy, local, topic, "agent.#"},
    };
}

// The environment the launcher sees in this run; null for unset.
const std::string *brokers, *proxy_port, *host_dir;

} // namespace

// The shell is never run: each command is recorded as the shell would read it.
extern "C" int system(const char *command) {
    require(command != nullptr, "null command line");
    require(std::strlen(command) < 1024, "command line longer than its buffer", command);
    commands.push_back(shell_words(command));
    return 0;
}

// The launcher's variables come from the input: setenv would keep every value
// it replaces allocated, which libFuzzer answers with a leak scan per input.
extern "C" char *getenv(const char *name) {
    const std::pair<const char *, const std::string *> fuzzed[] = {
        {"FEDERATED_BROKERS", brokers},
        {"TPX_G_SERVICE_PORT", proxy_port},
        {"TPX_G_HOST_DIR", host_dir},
        {"KORVEX_PORT", nullptr}};
    for (const auto &[var, value] : fuzzed)
        if (std::strcmp(name, var) == 0)
            return value != nullptr ? const_cast<char *>(value->c_str()) : nullptr;
    const size_t length = std::strlen(name);
    for (char **entry = environ; *entry != nullptr; ++entry)
        if (std::strncmp(*entry, name, length) == 0 && (*entry)[length] == '=')
            return *entry + length + 1;
    return nullptr;
}

// Stands in for the resolver: answers with the fuzzed host and port.
extern "C" int kx_dnssrv_lookup_single(const char *name, char *host, size_t host_size,
                                       uint16_t *port) {
    require(is_srv_name(name), "lookup of a name that is not an SRV name", name);
    require(list_text.find(name) != std::string::npos, "lookup of a name the list does not hold",
            name);
    if (srv_host.empty())
        return -1;
    kx_string_copy(host, srv_host.c_str(), host_size);
    *port = srv_port;
    return 0;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    kx_log_level = 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    const uint8_t mode = data[0];
    const bool guest = mode & 1;
    std::vector<std::string> piece = split_at_nul(data + 1, size - 1, 3);
    const std::string *first = (mode & 2) ? &piece[0] : nullptr;
    // The real lookup refuses a target that does not fit its 1024 bytes.
    srv_host = piece[1].size() < 1024 ? piece[1] : std::string();
    srv_port = static_cast<uint16_t>(std::strtoul(piece[2].c_str(), nullptr, 10));

    // A folder that exists, and a path that can never be one.
    static const std::string dir = "/", missing_dir = "/dev/null/missing";
    host_dir = guest ? &dir : (mode & 4) ? &missing_dir : nullptr;
    proxy_port = guest ? first : &piece[1];
    // Listed peers are ignored next to a guest proxy.
    brokers = guest ? &piece[1] : first;
    list_text = !guest && first != nullptr ? *first : std::string();
    broker_federation_configure();
    host_dir = proxy_port = brokers = nullptr; // the pieces go with this input

    std::vector<Words> expected;
    // Only the first five characters of the proxy port count.
    if (guest && first != nullptr && korvex::broker::is_port_number(piece[0].substr(0, 5)))
        expected = guest_proxy_commands("localhost:" + piece[0].substr(0, 5));
    for (const std::string &peer : expected_peers(list_text))
        for (Words &command : listed_peer_commands(peer))
            expected.push_back(std::move(command));
    require(commands.size() == expected.size(), "commands differ in number from the peers listed",
            guest ? piece[0] : list_text);
    for (size_t i = 0; i < commands.size(); ++i) {
        std::string shown;
        for (const std::string &word : commands[i])
            shown += "[" + word + "]";
        require(commands[i] == expected[i], "the shell reads other words than intended", shown);
    }
    // Memory kept past the input makes libFuzzer scan for a leak each time.
    std::exchange(srv_host, {}), std::exchange(list_text, {}), std::exchange(commands, {});
    return 0;
}
