// A list of calls with the reply each must get, handed from a test to
// kx-test-call --soak (which may run as another user), and its tally.
#ifndef KORVEX_TEST_REQUEST_PLAN_H
#define KORVEX_TEST_REQUEST_PLAN_H

#include <cstdint>
#include <string>
#include <vector>

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

// Same outcome: both errors of the same name and message, or both normal
// replies with the same values.
bool same_reply(const Reply &a, const Reply &b);
std::string describe(const Reply &reply);

// What kx-test-call --soak reports when it is done.
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
