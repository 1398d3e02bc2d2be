// korvexctl sysconfig: run-string, run-uri, preview, preview-uri, query,
// is-configured, keys.
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <iomanip>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <vector>

#include "agent_bus.h"
#include "commands.h"
#include "json_text.h"

namespace korvex::ctl {

namespace {

// Bit 0 of a run's flags: run a key that already has a status.
constexpr uint32_t kForceFlag = 1;

constexpr const char *kPreviewInterface = "org.vaduderuvoziz.Sysconfig.Preview";
constexpr const char *kKeysInterface = "org.vaduderuvoziz.Sysconfig.Keys";

std::string first_line(const std::string &status) { return status.substr(0, status.find('\n')); }

// A run whose status text says the tool failed: the call itself worked,
// but the administrator's configuration did not apply.
bool reports_failure(const std::string &status) {
    const std::string head = first_line(status);
    return head == "FAILED" || head == "ERROR";
}

void print_text(const std::string &text) {
    std::cout << text;
    if (!text.empty() && text.back() != '\n')
        std::cout << '\n';
}

std::string checked_utf8(std::string text, const std::string &what) {
    // D-Bus strings are UTF-8 without NULs; say so instead of letting the
    // bus library refuse the message.
    if (!g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr))
        throw CommandFailure(ExitStatus::bad_argument, what + " is not UTF-8 text")
            .said_without_host();
    return text;
}

std::string read_document(const std::string &source) {
    if (source == "-") {
        std::string text{std::istreambuf_iterator<char>(std::cin),
                         std::istreambuf_iterator<char>()};
        return checked_utf8(std::move(text), "standard input");
    }
    char *contents = nullptr;
    gsize length = 0;
    GError *raw = nullptr;
    const bool read = g_file_get_contents(source.c_str(), &contents, &length, &raw);
    ErrorPtr error{raw};
    GCharPtr owned{contents};
    if (!read)
        throw CommandFailure(ExitStatus::bad_argument, error->message).said_without_host();
    return checked_utf8(std::string(owned.get(), length), source);
}

// A plain path (no URI scheme) names a local file; the agent resolves it
// as root in its own working directory, so hand it an absolute file:// URI.
std::string uri_argument(const std::string &argument) {
    if (g_uri_peek_scheme(argument.c_str()) != nullptr)
        return checked_utf8(argument, "URI");
    ObjectPtr<GFile> file{g_file_new_for_commandline_arg(argument.c_str())};
    GCharPtr uri{g_file_get_uri(file.get())};
    return uri.get();
}

std::string reply_string(const VariantPtr &reply) {
    const char *text = nullptr;
    g_variant_get(reply.get(), "(&s)", &text);
    return text;
}

std::string stored_status(AgentBus &bus, const std::string &key) {
    return reply_string(
        bus.call(sysconfig_agent(), "is_configured", g_variant_new("(s)", key.c_str()), "(s)"));
}

constexpr const char *kAgentLog = "see the agent's log: journalctl -u korvex-sysconfig";

// The agent's error texts are a fixed text for the code, then ": " and the
// reason in plain words (or, for a preview, a line feed and what the tool
// said); an agent of an older version sends the fixed text alone.
bool carries_reason(const std::string &message) {
    return message.find(": ") != std::string::npos || message.find('\n') != std::string::npos;
}

// What a failed run or preview means to the administrator. The agent
// answers a puppet run that exited non-zero with the exit status as its
// error code, so for puppet the codes are puppet's (--detailed-exitcodes);
// otherwise they are the agent's own result codes. `key` is empty for a
// preview, which has none. A reason the agent gave is shown as it came.
CommandFailure explained_run_failure(const CommandFailure &failure, const std::string &scheme,
                                     const std::string &key) {
    const int code = failure.agent_code();
    const std::string message = failure.what();
    if (code < 0)
        return failure;
    const bool preview = key.empty();
    // 2, 3 and 5 come from the agent before puppet starts: a refused
    // argument, a failed download, a refused caller. Other codes are
    // puppet's exit status when the agent says so (or says nothing).
    const bool puppet_exit = !carries_reason(message) ||
                             message.find(": puppet exited with status ") != std::string::npos;
    if (scheme == "puppet" && code != 2 && code != 3 && code != 5 && puppet_exit) {
        const std::map<int, std::string> meanings = {
            {1, "a syntax error in the manifest, or puppet could not run"},
            {4, "resources failed"},
            {6, preview ? "changes would be made and resources failed"
                        : "changes were applied and resources failed"},
        };
        const auto meaning = meanings.find(code);
        return {failure.status(),
                "puppet " + (preview ? std::string("preview") : "run for " + key) +
                    " ended with exit status " + std::to_string(code) +
                    (meaning != meanings.end() ? ": " + meaning->second : "") +
                    " (puppet's messages are in the agent's log: journalctl -u korvex-sysconfig)",
                code};
    }
    if (carries_reason(message))
        return failure;
    if (code == 3 || code == 4 || code == 6)
        return {failure.status(),
                std::string(failure.what()) + (preview ? "" : " for " + key) + " (" + kAgentLog +
                    ")",
                code};
    return failure;
}

std::string required_scheme(const CommandLine &line, const std::string &topic) {
    const auto scheme = line.value("--scheme");
    if (!scheme)
        throw UsageError("missing --scheme (augeas or puppet)", topic);
    return checked_utf8(*scheme, "--scheme");
}

// FILE|- read here, or URI as the agent should fetch it.
std::string document_argument(const std::string &argument, bool from_uri) {
    return from_uri ? uri_argument(argument) : read_document(argument);
}

void print_run(const CommandLine &line, const std::string &key, const std::string &scheme,
               const std::string &uri, const std::string &status, bool ran) {
    if (line.json()) {
        JsonObject out;
        out.add("key", key).add("scheme", scheme);
        if (!uri.empty())
            out.add("uri", uri);
        out.add("run", ran).add("result", first_line(status)).add("status", status);
        std::cout << out.text() << '\n';
    } else {
        print_text(status);
    }
}

ExitStatus run(const CommandLine &line, bool from_uri) {
    const std::string topic = from_uri ? "sysconfig run-uri" : "sysconfig run-string";
    line.accept_only({"--scheme", "--key", "--force"}, topic);
    const auto argument = operands(line, 2, {from_uri ? "URI" : "FILE"}, topic).at(0);
    const std::string checked_scheme = required_scheme(line, topic);
    const auto key = line.value("--key");
    if (!key)
        throw UsageError("missing --key", topic);
    const uint32_t flags = line.has("--force") ? kForceFlag : 0;
    const std::string checked_key = checked_utf8(*key, "--key");

    const std::string document = document_argument(argument, from_uri);
    const std::string uri = from_uri ? document : "";
    AgentBus bus(line);
    // The agent would answer a configured key with its stored status too,
    // but then nobody could tell a run from a skip. A caller the policy lets
    // run but not read statuses gets the agent's answer as it is.
    std::string stored;
    if (!line.has("--force")) {
        try {
            stored = stored_status(bus, checked_key);
        } catch (const CommandFailure &failure) {
            if (failure.status() != ExitStatus::not_authorized)
                throw;
        }
        if (!stored.empty()) {
            std::cerr << "korvexctl: not run: " << checked_key
                      << " already configured (use --force)\n";
            print_run(line, checked_key, checked_scheme, uri, stored, false);
            return reports_failure(stored) ? ExitStatus::failed : ExitStatus::ok;
        }
    }

    bus.show_progress("applying " + checked_key + " (" + checked_scheme + ")");
    std::string status;
    try {
        status = reply_string(bus.call(sysconfig_agent(), from_uri ? "run_uri" : "run_string",
                                       g_variant_new("(suss)", document.c_str(), flags,
                                                     checked_scheme.c_str(), checked_key.c_str()),
                                       "(s)"));
    } catch (const CommandFailure &failure) {
        throw explained_run_failure(failure, checked_scheme, checked_key);
    }
    print_run(line, checked_key, checked_scheme, uri, status, true);
    return reports_failure(status) ? ExitStatus::failed : ExitStatus::ok;
}

// Exits as diff does: 0 when nothing would change, 1 when something would;
// what would be a failure elsewhere gets a status above those two.
ExitStatus preview(const CommandLine &line, bool from_uri) {
    const std::string topic = from_uri ? "sysconfig preview-uri" : "sysconfig preview";
    line.accept_only({"--scheme"}, topic);
    const auto argument = operands(line, 2, {from_uri ? "URI" : "FILE"}, topic).at(0);
    const std::string scheme = required_scheme(line, topic);
    const std::string document = document_argument(argument, from_uri);

    AgentBus bus(line);
    bus.show_progress("previewing (" + scheme + ")");
    VariantPtr reply;
    try {
        reply = bus.call(sysconfig_agent(), kPreviewInterface,
                         from_uri ? "preview_uri" : "preview_string",
                         g_variant_new("(ss)", document.c_str(), scheme.c_str()), "(bs)");
    } catch (const CommandFailure &failure) {
        const CommandFailure explained = explained_run_failure(failure, scheme, "");
        if (explained.status() != ExitStatus::failed)
            throw explained;
        throw CommandFailure(ExitStatus::preview_failed, explained.what(), explained.agent_code());
    }
    gboolean changes = FALSE;
    const char *report = nullptr;
    g_variant_get(reply.get(), "(b&s)", &changes, &report);
    if (line.json())
        std::cout << JsonObject().add("changes", changes != FALSE).add("report", report).text()
                  << '\n';
    else
        print_text(report);
    return changes ? ExitStatus::would_change : ExitStatus::ok;
}

ExitStatus query(const CommandLine &line) {
    const std::string topic = "sysconfig query";
    line.accept_only({"--scheme"}, topic);
    const std::string path = checked_utf8(operands(line, 2, {"PATH"}, topic).at(0), "PATH");
    const std::string scheme = checked_utf8(line.value("--scheme").value_or("augeas"), "--scheme");

    AgentBus bus(line);
    // Queries take no flags.
    const VariantPtr reply =
        bus.call(sysconfig_agent(), "query",
                 g_variant_new("(sus)", path.c_str(), 0u, scheme.c_str()), "(s)");
    const std::string value = reply_string(reply);
    if (line.json())
        std::cout << JsonObject().add("path", path).add("scheme", scheme).add("value", value).text()
                  << '\n';
    else
        print_text(value);
    return ExitStatus::ok;
}

ExitStatus is_configured(const CommandLine &line) {
    const std::string topic = "sysconfig is-configured";
    line.accept_only({}, topic);
    const std::string key = checked_utf8(operands(line, 2, {"KEY"}, topic).at(0), "KEY");

    AgentBus bus(line);
    const std::string status = stored_status(bus, key);
    if (line.json()) {
        std::cout << JsonObject()
                         .add("key", key)
                         .add("configured", !status.empty())
                         .add("result", first_line(status))
                         .add("status", status)
                         .text()
                  << '\n';
    } else if (status.empty()) {
        std::cout << key << ": not configured\n";
    } else {
        print_text(status);
    }
    if (status.empty())
        return ExitStatus::not_configured;
    return reports_failure(status) ? ExitStatus::failed : ExitStatus::ok;
}

// "2026-12-10 09:41:07 (5 min ago)": when, as local time and as an age.
std::string local_time_and_age(int64_t when, int64_t now) {
    const time_t seconds = static_cast<time_t>(when);
    tm local{};
    char text[64] = "";
    if (localtime_r(&seconds, &local) != nullptr)
        strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    const int64_t minutes = (now - when) / 60;
    std::string age;
    if (now < when)
        age = "in the future";
    else if (minutes < 120)
        age = std::to_string(minutes) + " min ago";
    else if (minutes < 48 * 60)
        age = std::to_string(minutes / 60) + " h ago";
    else
        age = std::to_string(minutes / (24 * 60)) + " days ago";
    return std::string(text) + " (" + age + ")";
}

// Every key with a status: what was applied to this host, and when.
ExitStatus keys(const CommandLine &line) {
    const std::string topic = "sysconfig keys";
    line.accept_only({}, topic);
    operands(line, 2, {}, topic);

    AgentBus bus(line);
    const VariantPtr reply =
        bus.call(sysconfig_agent(), kKeysInterface, "list", nullptr, "(a(ssx))");
    struct Entry {
        std::string key, outcome;
        int64_t when;
    };
    std::vector<Entry> entries;
    GVariantIter *raw_iter = nullptr;
    g_variant_get(reply.get(), "(a(ssx))", &raw_iter);
    std::unique_ptr<GVariantIter, decltype(&g_variant_iter_free)> iter(raw_iter,
                                                                       g_variant_iter_free);
    const char *key = nullptr;
    const char *outcome = nullptr;
    gint64 when = 0;
    while (g_variant_iter_next(iter.get(), "(&s&sx)", &key, &outcome, &when))
        entries.push_back({key, outcome, when});

    if (line.json()) {
        std::vector<JsonObject> items;
        for (const Entry &entry : entries)
            items.push_back(JsonObject()
                                .add("key", entry.key)
                                .add("outcome", entry.outcome)
                                .add("when", entry.when));
        std::cout << JsonObject().add("keys", items).text() << '\n';
        return ExitStatus::ok;
    }
    if (entries.empty()) {
        std::cout << "No key has a status yet.\n";
        return ExitStatus::ok;
    }
    size_t key_width = 3, outcome_width = 7;
    for (const Entry &entry : entries) {
        key_width = std::max(key_width, entry.key.size());
        outcome_width = std::max(outcome_width, entry.outcome.size());
    }
    const auto row = [&](const std::string &k, const std::string &o, const std::string &w) {
        std::cout << std::left << std::setw(static_cast<int>(key_width) + 2) << k
                  << std::setw(static_cast<int>(outcome_width) + 2) << o << w << '\n';
    };
    row("KEY", "OUTCOME", "WHEN");
    const int64_t now = static_cast<int64_t>(time(nullptr));
    for (const Entry &entry : entries)
        row(entry.key, entry.outcome, local_time_and_age(entry.when, now));
    return ExitStatus::ok;
}

} // namespace

ExitStatus sysconfig_command(const CommandLine &line) {
    if (line.words.size() < 2)
        throw UsageError("missing sysconfig command", "sysconfig");
    const std::string &sub = line.words[1];
    if (sub == "run-string")
        return run(line, false);
    if (sub == "run-uri")
        return run(line, true);
    if (sub == "preview")
        return preview(line, false);
    if (sub == "preview-uri")
        return preview(line, true);
    if (sub == "query")
        return query(line);
    if (sub == "is-configured")
        return is_configured(line);
    if (sub == "keys")
        return keys(line);
    throw UsageError("unknown sysconfig command \"" + sub + "\"", "sysconfig");
}

} // namespace korvex::ctl
