#include "request_plan.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

#include "temp_dir.h"

namespace korvex::test {

void write_plan(const std::string &file, const std::vector<PlannedCall> &plan) {
    std::string text;
    for (const PlannedCall &call : plan) {
        text += encode_text(call.dest) + ' ' + encode_text(call.path) + ' ' +
                encode_text(call.iface) + ' ' + encode_text(call.member) + ' ' +
                encode_text(encode_reply(call.expected));
        for (const Arg &arg : call.args)
            text += ' ' + encode_arg(arg);
        text += '\n';
    }
    write_file(file, text);
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
        PlannedCall &call = plan.emplace_back(PlannedCall{
            decode_text(dest), decode_text(path), decode_text(iface), decode_text(member),
            std::vector<Arg>{}, decode_reply(decode_text(expected))});
        while (fields >> arg)
            call.args.push_back(decode_arg(arg));
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
    std::string out = std::to_string(tally.sent) + ' ' + std::to_string(tally.answered) + ' ' +
                      std::to_string(tally.as_expected);
    for (const std::string &sample : tally.samples)
        out += ' ' + encode_text(sample);
    return out + '\n';
}

SoakTally decode_tally(const std::string &text) {
    SoakTally tally;
    std::istringstream in(text);
    in >> tally.sent >> tally.answered >> tally.as_expected;
    for (std::string sample; in >> sample;)
        tally.samples.push_back(decode_text(sample));
    return tally;
}

} // namespace korvex::test
