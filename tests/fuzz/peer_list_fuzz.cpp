// The launcher pastes peer addresses from FEDERATED_BROKERS, from SRV
// answers and from TPX_G_SERVICE_PORT into shell command lines. Whatever
// those hold, every command that reaches the shell may only contain inert
// words, and each link goes to exactly the peers the list names.
//
// Input: one mode byte, then NUL-separated pieces: the list (or the proxy
// port), the host an SRV lookup answers with, and that answer's port.
#include "fuzz_support.h"

#include <broker_launcher.h>
#include <korvex/kcommon.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>

namespace {

using korvex::fuzz::require;

std::unique_ptr<korvex::fuzz::ScratchDir> host_dir;

struct Answer {
    bool present = false;
    std::string host;
    uint16_t port = 0;
};
Answer srv_answer;
std::string list_text; // what FEDERATED_BROKERS holds in this run
std::vector<std::string> commands;

bool is_address_char(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           std::strchr("._:@/[]-", c) != nullptr;
}

bool is_safe_address(std::string_view peer)
{
    if (peer.empty() || peer.front() == '-')
        return false;
    for (char c : peer)
        if (!is_address_char(c))
            return false;
    return true;
}

// Words that the launcher itself puts on a qpid-route command line.
bool is_fixed_word(std::string_view word)
{
    for (std::string_view fixed : {"qpid-route", "--timeout=5", "--src-local", "dynamic", "route",
                                   "link", "add", "PLAIN"})
        if (word == fixed)
            return true;
    return false;
}

bool is_inert_word(std::string_view word)
{
    if (word.empty() || word.front() == '-' || word.front() == '#')
        return false;
    for (char c : word)
        if (!is_address_char(c) && c != '#')
            return false;
    return true;
}

std::vector<std::string> words_of(const std::string &command)
{
    std::vector<std::string> words;
    std::istringstream in(command);
    for (std::string w; std::getline(in, w, ' ');)
        words.push_back(w);
    return words;
}

bool starts_with_srv_prefix(std::string_view token)
{
    return token.starts_with("_korvex._tcp.") || token.starts_with("_korvex._tls.");
}

// The peers a list names, in order, as the launcher has to read it: the
// first 1023 characters, split at ',', ';' and ' ', SRV names replaced by
// their answer, unsafe addresses dropped.
std::vector<std::string> expected_peers(const std::string &list)
{
    std::vector<std::string> peers;
    std::string kept = list.substr(0, 1023);
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
        if (is_safe_address(token))
            peers.push_back(token);
    }
    return peers;
}

// One environment variable, set and unset without allocating: setenv keeps
// every replaced value allocated, which libFuzzer takes for a possible leak
// after each input and answers with a whole leak scan. The entry lives in
// the environment for good; unsetting renames it to a name nobody reads.
class EnvSlot {
public:
    explicit EnvSlot(const char *name) : name_(name)
    {
        unsetenv(name);
        set(nullptr);
        putenv(entry_.data());
    }
    EnvSlot(const EnvSlot &) = delete;
    EnvSlot &operator=(const EnvSlot &) = delete;

    void set(const std::string *value)
    {
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

// The shell is never run: each command is checked and recorded instead.
extern "C" int system(const char *command)
{
    require(command != nullptr, "null command line");
    std::string text = command;
    require(text.size() < 1024, "command line longer than its buffer", text);
    const std::vector<std::string> words = words_of(text);
    for (const std::string &word : words)
        require(is_fixed_word(word) || is_inert_word(word), "shell-active word on a command line",
                text);
    // Every command ends in its mechanism, exchange or routing key: none
    // reaches the shell cut short.
    bool whole = false;
    for (std::string_view last : {"PLAIN", "amq.direct", "qmf.default.direct", "qmf.default.topic",
                                  "direct-agent.#", "console.#", "direct-console.#", "agent.#"})
        whole = whole || (!words.empty() && words.back() == last);
    require(whole, "command line cut short", text);
    commands.push_back(text);
    return 0;
}

// Stands in for the resolver: answers with the fuzzed host and port.
extern "C" int kx_dnssrv_lookup_single(const char *name, char *host, size_t host_size,
                                       uint16_t *port)
{
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

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    kx_log_level = 0;
    unsetenv("KORVEX_PORT");
    host_dir = std::make_unique<korvex::fuzz::ScratchDir>("kx-fuzz-host");
    // Never freed: the environment points into it until the process ends.
    environment = new Environment;
    std::atexit([] { host_dir.reset(); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
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

    std::vector<std::string> linked;
    for (const std::string &command : commands) {
        std::vector<std::string> words = words_of(command);
        if (words.size() >= 5 && words[1] == "link") {
            const std::string &via = words[4];
            require(via.starts_with("guestonly/guestonly@"), "link without the guest login", command);
            linked.push_back(via.substr(std::strlen("guestonly/guestonly@")));
        }
    }

    if (guest) {
        std::vector<std::string> expected;
        if (first_set) {
            std::string port = piece[0].substr(0, 5);
            bool digits = !port.empty() && port.find_first_not_of("0123456789") == std::string::npos;
            if (digits && std::stoul(port) >= 1 && std::stoul(port) <= 65535)
                expected.push_back("localhost:" + port);
        }
        require(linked == expected, "guest proxy link differs from the proxy port",
                piece[0]);
        return 0;
    }

    // A command line that does not fit its buffer is refused rather than
    // run cut, since a cut one would name another peer.
    const size_t link_text = std::strlen("qpid-route link add localhost:49000 guestonly/guestonly@ PLAIN");
    std::vector<std::string> expected;
    for (const std::string &peer : expected_peers(list_text))
        if (link_text + peer.size() <= 1023)
            expected.push_back(peer);
    require(linked.size() == expected.size(), "links differ from the peers listed", list_text);
    for (size_t i = 0; i < linked.size(); ++i)
        require(linked[i] == expected[i], "link to a peer the list does not name", linked[i]);
    return 0;
}
