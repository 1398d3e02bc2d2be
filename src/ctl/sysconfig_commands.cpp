// korvexctl sysconfig: run-string, run-uri, query, is-configured.
#include <cstdint>
#include <iostream>
#include <iterator>

#include "agent_bus.h"
#include "commands.h"
#include "json_text.h"

namespace korvexctl {

namespace {

// Bit 0 of a run's flags: run a key that already has a status.
constexpr uint32_t kForceFlag = 1;

std::string first_line(const std::string &status)
{
    return status.substr(0, status.find('\n'));
}

// A run whose status text says the tool failed: the call itself worked,
// but the administrator's configuration did not apply.
bool reports_failure(const std::string &status)
{
    const std::string head = first_line(status);
    return head == "FAILED" || head == "ERROR";
}

void print_text(const std::string &text)
{
    std::cout << text;
    if (!text.empty() && text.back() != '\n')
        std::cout << '\n';
}

std::string checked_utf8(std::string text, const std::string &what)
{
    // D-Bus strings are UTF-8 without NULs; say so instead of letting the
    // bus library refuse the message.
    if (!g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr))
        throw CommandFailure(ExitStatus::bad_argument, what + " is not UTF-8 text");
    return text;
}

std::string read_document(const std::string &source)
{
    if (source == "-") {
        std::string text{std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>()};
        return checked_utf8(std::move(text), "standard input");
    }
    char *contents = nullptr;
    gsize length = 0;
    GError *raw = nullptr;
    const bool read = g_file_get_contents(source.c_str(), &contents, &length, &raw);
    ErrorPtr error{raw};
    GCharPtr owned{contents};
    if (!read)
        throw CommandFailure(ExitStatus::bad_argument, error->message);
    return checked_utf8(std::string(owned.get(), length), source);
}

// A plain path (no URI scheme) names a local file; the agent resolves it
// as root in its own working directory, so hand it an absolute file:// URI.
std::string uri_argument(const std::string &argument)
{
    if (g_uri_peek_scheme(argument.c_str()) != nullptr)
        return checked_utf8(argument, "URI");
    ObjectPtr<GFile> file{g_file_new_for_commandline_arg(argument.c_str())};
    GCharPtr uri{g_file_get_uri(file.get())};
    return uri.get();
}

std::string reply_string(const VariantPtr &reply)
{
    const char *text = nullptr;
    g_variant_get(reply.get(), "(&s)", &text);
    return text;
}

ExitStatus run(const CommandLine &line, bool from_uri)
{
    const std::string topic = from_uri ? "sysconfig run-uri" : "sysconfig run-string";
    line.accept_only({"--scheme", "--key", "--force"}, topic);
    const auto argument = operands(line, 2, {from_uri ? "URI" : "FILE"}, topic).at(0);
    const auto scheme = line.value("--scheme");
    const auto key = line.value("--key");
    if (!scheme)
        throw UsageError("missing --scheme (augeas or puppet)", topic);
    if (!key)
        throw UsageError("missing --key", topic);
    const uint32_t flags = line.has("--force") ? kForceFlag : 0;
    const std::string checked_scheme = checked_utf8(*scheme, "--scheme");
    const std::string checked_key = checked_utf8(*key, "--key");

    const std::string document = from_uri ? uri_argument(argument) : read_document(argument);
    AgentBus bus(line.timeout_ms());
    const VariantPtr reply = bus.call(
        sysconfig_agent(), from_uri ? "run_uri" : "run_string",
        g_variant_new("(suss)", document.c_str(), flags, checked_scheme.c_str(),
                      checked_key.c_str()),
        "(s)");
    const std::string status = reply_string(reply);

    if (line.json()) {
        JsonObject out;
        out.add("key", checked_key).add("scheme", checked_scheme);
        if (from_uri)
            out.add("uri", document);
        out.add("result", first_line(status)).add("status", status);
        std::cout << out.text() << '\n';
    } else {
        print_text(status);
    }
    return reports_failure(status) ? ExitStatus::failed : ExitStatus::ok;
}

ExitStatus query(const CommandLine &line)
{
    const std::string topic = "sysconfig query";
    line.accept_only({"--scheme"}, topic);
    const std::string path = checked_utf8(operands(line, 2, {"PATH"}, topic).at(0), "PATH");
    const std::string scheme = checked_utf8(line.value("--scheme").value_or("augeas"), "--scheme");

    AgentBus bus(line.timeout_ms());
    // Queries take no flags.
    const VariantPtr reply = bus.call(sysconfig_agent(), "query",
                                      g_variant_new("(sus)", path.c_str(), 0u, scheme.c_str()),
                                      "(s)");
    const std::string value = reply_string(reply);
    if (line.json())
        std::cout << JsonObject().add("path", path).add("scheme", scheme).add("value", value).text()
                  << '\n';
    else
        print_text(value);
    return ExitStatus::ok;
}

ExitStatus is_configured(const CommandLine &line)
{
    const std::string topic = "sysconfig is-configured";
    line.accept_only({}, topic);
    const std::string key = checked_utf8(operands(line, 2, {"KEY"}, topic).at(0), "KEY");

    AgentBus bus(line.timeout_ms());
    const VariantPtr reply =
        bus.call(sysconfig_agent(), "is_configured", g_variant_new("(s)", key.c_str()), "(s)");
    const std::string status = reply_string(reply);
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
    return ExitStatus::ok;
}

} // namespace

ExitStatus sysconfig_command(const CommandLine &line)
{
    if (line.words.size() < 2)
        throw UsageError("missing sysconfig command", "sysconfig");
    const std::string &sub = line.words[1];
    if (sub == "run-string")
        return run(line, false);
    if (sub == "run-uri")
        return run(line, true);
    if (sub == "query")
        return query(line);
    if (sub == "is-configured")
        return is_configured(line);
    throw UsageError("unknown sysconfig command \"" + sub + "\"", "sysconfig");
}

} // namespace korvexctl
