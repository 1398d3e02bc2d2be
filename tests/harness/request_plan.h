// Calls with the reply each must get, for kx-test-call --soak (maybe as another user).
#ifndef KORVEX_TEST_REQUEST_PLAN_H
#define KORVEX_TEST_REQUEST_PLAN_H

#include "bus_client.h"

namespace korvex::test {

struct PlannedCall {
    std::string dest;
    std::string path;
    std::string iface;
    std::string member;
    std::vector<Arg> args;
    Reply expected;
};

void write_plan(const std::string &file, const std::vector<PlannedCall> &plan);
std::vector<PlannedCall> read_plan(const std::string &file);

bool same_reply(const Reply &a, const Reply &b);
std::string describe(const Reply &reply);

// What kx-test-call --soak reports when it is done, on one line.
struct SoakTally {
    uint64_t sent = 0;
    uint64_t answered = 0; // a reply or an error reply came back
    uint64_t as_expected = 0;
    std::vector<std::string> samples; // a few calls that went otherwise
};

std::string encode_tally(const SoakTally &tally);
SoakTally decode_tally(const std::string &text);

} // namespace korvex::test

#endif
