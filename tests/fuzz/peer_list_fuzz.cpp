// The launcher hands peer addresses from FEDERATED_BROKERS, from SRV
// answers and from TPX_G_SERVICE_PORT to the shell in qpid-route command
// lines. Whatever those hold, the shell must read back from each command
// exactly the words intended, and the commands must be exactly those of the
// peers the list names, in order.
//
// Input: one mode byte, then NUL-separated pieces: the list (or the proxy
// port), the host an SRV lookup answers with, and that answer's port.
#include "fuzz_support.h"

#include <broker_launcher.h>
#include <korvex/kcommon.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using korvex::fuzz::invariant_broken;
using korvex::fuzz::require;

std::unique_ptr<korvex::fuzz::ScratchDir> host_dir;

struct Answer {
    bool present = false;
    std::string host;
    uint16_t port = 0;
};
Answer srv_answer;
std::string list_text;                          // what FEDERATED_BROKERS holds in this run
std::vector<std::vector<std::string>> commands; // as the shell splits them

using Words = std::vector<std::string>;

bool is_control(char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }

// What quoting cannot make safe.
bool is_quotable(std::string_view word) {
    if (word.empty() || word.front() == '-')
        return false;
    for (char c : word)
        if (is_control(c))
            return false;
    return true;
}

// The words a POSIX shell reads from a command line made only of
// single-quoted strings and \' between them, words separated by one space.
// Anything else outside quotes is text the shell would act on: a finding.
Words shell_words(const std::string &command) {
    Words words(1);
    bool quoted_word = false;
    for (size_t i = 0; i < command.size();) {
        const char c = command[i];
        if (c == '\'') {
            const size_t close = command.find('\'', i + 1);
            require(close != std::string::npos, "unterminated quote", command);
            words.back().append(command, i + 1, close - i - 1);
            quoted_word = true;
            i = close + 1;
        } else if (c == '\\' && i + 1 < command.size() && command[i + 1] == '\'') {
            words.back().push_back('\'');
            quoted_word = true;
            i += 2;
        } else if (c == ' ' && quoted_word && i + 1 < command.size() && command[i + 1] != ' ') {
            words.emplace_back();
            quoted_word = false;
            ++i;
        } else {
            invariant_broken("text outside quotes on a command line", command);
        }
    }
    require(quoted_word, "command line without a last word", command);
    return words;
}

size_t quoted_size(const std::string &word) {
    return word.size() + 2 + 3 * static_cast<size_t>(std::count(word.begin(), word.end(), '\''));
}

// Whether the words, each quoted and joined by spaces, fit a command line.
bool fits(const Words &words) {
    size_t size = words.size() - 1;
    for (const std::string &word : words)
        size += quoted_size(word);
    return size <= 1023;
}

bool starts_with_srv_prefix(std::string_view token) {
    return token.starts_with("_korvex._tcp.") || token.starts_with("_korvex._tls.");
}

bool is_separator(char c) { return c == ',' || c == ';' || c == ' '; }

// The peers a list names, in order, as the launcher has to read it: the
// first 1023 characters without a peer the cut falls into, split at ',',
// ';' and ' ', SRV names replaced by their answer, unquotable ones dropped.
Words expected_peers(const std::string &list) {
    Words peers;
    std::string kept = list.substr(0, 1023);
    if (list.size() > kept.size() && !is_separator(list[kept.size()]))
        while (!kept.empty() && !is_separator(kept.back()))
            kept.pop_back();
    size_t start = 0;
    while (start <= kept.size()) {
        size_t end = kept.find_first_of(",; ", start);
        if (end == std::string::npos)
            end = kept.size();
        std::string token = kept.substr(start, end - start);
        start = end + 1;
        if (token.empty())
            continue;
        if (starts_with_srv_prefix(token)) {
            if (!srv_answer.present)
                continue;
            token = srv_answer.host + ":" + std::to_string(srv_answer.port);
        }
        if (is_quotable(token))
            peers.push_back(token);
    }
    return peers;
}

const std::string local = "localhost:49000";

Words link_words(const std::string &peer) {
    return {"qpid-route", "link", "add", local, "guestonly/guestonly@" + peer, "PLAIN"};
}

// The commands of one listed peer: its link and its dynamic routes, up to
// the first that does not fit (refused, which ends that peer's turn).
std::vector<Words> listed_peer_commands(const std::string &peer) {
    std::vector<Words> all;
    if (!fits(link_words(peer)))
        return all;
    all.push_back(link_words(peer));
    for (const char *exchange : {"amq.direct", "qmf.default.direct", "qmf.default.topic"}) {
        for (bool towards_peer : {true, false}) {
            Words route{"qpid-route",
                        "--timeout=5",
                        "dynamic",
                        "add",
                        towards_peer ? peer : local,
                        towards_peer ? local : peer,
                        exchange};
            if (!fits(route))
                return all;
            all.push_back(route);
        }
    }
    return all;
}

std::vector<Words> guest_proxy_commands(const std::string &proxy) {
    return {
        link_words(proxy),
        {"qpid-route", "route", "add", local, proxy, "qmf.default.topic", "direct-agent.#"},
        {"qpid-route", "route", "add", local, proxy, "qmf.default.topic", "console.#"},
        {"qpid-route", "--src-local", "route", "add", proxy, local, "qmf.default.topic",
         "direct-console.#"},
        {"qpid-route", "--src-local", "route", "add", proxy, local, "qmf.default.topic", "agent.#"},
    };
}

// One environment variable, set and unset without allocating: setenv keeps
// every replaced value allocated, which libFuzzer takes for a possible leak
// after each input and answers with a whole leak scan. The entry lives in
// the environment for good; unsetting renames it to a name nobody reads.
class EnvSlot {
public:
    explicit EnvSlot(const char *name) : name_(name) {
        unsetenv(name);
        set(nullptr);
        putenv(entry_.data());
    }
    EnvSlot(const EnvSlot &) = delete;
    EnvSlot &operator=(const EnvSlot &) = delete;

    void set(const std::string *value) {
        std::string entry = (value != nullptr ? name_ : "KX_FUZZ_UNSET_" + name_) + "=";
        if (value != nullptr)
            entry += value->substr(0, entry_.size() - entry.size() - 1);
        std::memcpy(entry_.data(), entry.c_str(), entry.size() + 1);
    }

private:
    std::string name_;
    std::array<char, 8192> entry_{};
};

struct Environment {
    EnvSlot brokers{"FEDERATED_BROKERS"};
    EnvSlot proxy_port{"TPX_G_SERVICE_PORT"};
    EnvSlot host_dir{"TPX_G_HOST_DIR"};
};
Environment *environment = nullptr;

} // namespace

// The shell is never run: each command is read as the shell would read it
// and recorded instead.
extern "C" int system(const char *command) {
    require(command != nullptr, "null command line");
    std::string text = command;
    require(text.size() < 1024, "command line longer than its buffer", text);
    commands.push_back(shell_words(text));
    return 0;
}

// Stands in for the resolver: answers with the fuzzed host and port.
extern "C" int kx_dnssrv_lookup_single(const char *name, char *host, size_t host_size,
                                       uint16_t *port) {
    require(starts_with_srv_prefix(name), "lookup of a name that is not an SRV name", name);
    require(list_text.find(name) != std::string::npos, "lookup of a name the list does not hold",
            name);
    // The real lookup refuses a target that does not fit.
    if (!srv_answer.present || srv_answer.host.size() >= host_size)
        return -1;
    kx_string_copy(host, srv_answer.host.c_str(), host_size);
    *port = srv_answer.port;
    return 0;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    kx_log_level = 0;
    unsetenv("KORVEX_PORT");
    host_dir = std::make_unique<korvex::fuzz::ScratchDir>("kx-fuzz-host");
    // Never freed: the environment points into it until the process ends.
    environment = new Environment;
    std::atexit([] { host_dir.reset(); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    const uint8_t mode = data[0];
    std::vector<std::string> piece = korvex::fuzz::split_at_nul(data + 1, size - 1, 3);
    const bool guest = mode & 1;
    const bool first_set = mode & 2;

    srv_answer = Answer{};
    if (!piece[1].empty()) {
        srv_answer.present = true;
        srv_answer.host = piece[1];
        srv_answer.port = static_cast<uint16_t>(std::strtoul(piece[2].c_str(), nullptr, 10));
    }
    commands.clear();

    const std::string dir = host_dir->path().string();
    const std::string missing_dir = dir + "/missing";
    if (guest) {
        list_text.clear();
        environment->host_dir.set(&dir);
        environment->proxy_port.set(first_set ? &piece[0] : nullptr);
        // Listed peers are ignored next to a guest proxy.
        environment->brokers.set(&piece[1]);
    } else {
        list_text = first_set ? piece[0] : std::string();
        environment->host_dir.set((mode & 4) ? &missing_dir : nullptr);
        environment->proxy_port.set(&piece[1]);
        environment->brokers.set(first_set ? &piece[0] : nullptr);
    }

    broker_federation_configure();

    std::vector<Words> expected;
    if (guest) {
        if (first_set) {
            std::string port = piece[0].substr(0, 5);
            bool digits =
                !port.empty() && port.find_first_not_of("0123456789") == std::string::npos;
            if (digits && std::stoul(port) >= 1 && std::stoul(port) <= 65535)
                expected = guest_proxy_commands("localhost:" + port);
        }
    } else {
        for (const std::string &peer : expected_peers(list_text)) {
            std::vector<Words> one = listed_peer_commands(peer);
            expected.insert(expected.end(), one.begin(), one.end());
        }
    }
    require(commands.size() == expected.size(), "commands differ in number from the peers listed",
            guest ? piece[0] : list_text);
    for (size_t i = 0; i < commands.size(); ++i) {
        std::string shown;
        for (const std::string &word : commands[i])
            shown += "[" + word + "]";
        require(commands[i] == expected[i], "the shell reads other words than intended", shown);
    }
    return 0;
}
