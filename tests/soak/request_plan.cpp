#include "request_plan.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace korvex::test {

namespace {

std::string to_hex(const std::string &text) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : text) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out.empty() ? "-" : out;
}

std::string from_hex(const std::string &text) {
    if (text == "-")
        return {};
    std::string out;
    for (size_t i = 0; i + 1 < text.size(); i += 2)
        out += static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16));
    return out;
}

} // namespace

void write_plan(const std::string &file, const std::vector<PlannedCall> &plan) {
    std::ofstream out(file, std::ios::trunc);
    for (const PlannedCall &call : plan) {
        out << to_hex(call.dest) << ' ' << to_hex(call.path) << ' ' << to_hex(call.iface) << ' '
            << to_hex(call.member) << ' ' << to_hex(encode_reply(call.expected));
        for (const Arg &arg : call.args)
            out << ' ' << encode_arg(arg);
        out << '\n';
    }
    if (!out)
        throw std::runtime_error("cannot write plan " + file);
}

std::vector<PlannedCall> read_plan(const std::string &file) {
    std::ifstream in(file);
    if (!in)
        throw std::runtime_error("cannot read plan " + file);
    std::vector<PlannedCall> plan;
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string dest, path, iface, member, expected, arg;
        if (!(fields >> dest >> path >> iface >> member >> expected))
            throw std::runtime_error("bad plan line: " + line);
        PlannedCall call{from_hex(dest),
                         from_hex(path),
                         from_hex(iface),
                         from_hex(member),
                         {},
                         decode_reply(from_hex(expected))};
        while (fields >> arg)
            call.args.push_back(decode_arg(arg));
        plan.push_back(std::move(call));
    }
    return plan;
}

bool same_reply(const Reply &a, const Reply &b) { return encode_reply(a) == encode_reply(b); }

std::string describe(const Reply &reply) {
    if (!reply.ok)
        return "error " + reply.error_name + ": " + reply.error_message;
    std::string text = "reply";
    for (const Value &value : reply.values) {
        text += " (" + value.signature + ") \"" + value.text + "\"";
        for (const std::string &s : value.strings)
            text += " [" + s + "]";
    }
    return text;
}

std::string encode_tally(const SoakTally &tally) {
    std::ostringstream out;
    out << "sent " << tally.sent << "\nanswered " << tally.answered << "\nas_expected "
        << tally.as_expected << '\n';
    for (const std::string &sample : tally.samples)
        out << "sample " << to_hex(sample) << '\n';
    return out.str();
}

SoakTally decode_tally(const std::string &text) {
    SoakTally tally;
    std::istringstream in(text);
    for (std::string tag; in >> tag;) {
        if (tag == "sent")
            in >> tally.sent;
        else if (tag == "answered")
            in >> tally.answered;
        else if (tag == "as_expected")
            in >> tally.as_expected;
        else if (tag == "sample") {
            std::string sample;
            in >> sample;
            tally.samples.push_back(from_hex(sample));
        }
    }
    return tally;
}

} // namespace korvex::test
