// soak-client ADDRESS PLAN COUNT WINDOW SECONDS: makes COUNT calls from PLAN,
// round and round, as whoever runs it, up to WINDOW awaiting replies, no new
// one after SECONDS. Prints the tally; exits 0, or 2 without a bus.
#include <chrono>
#include <cstdlib>
#include <deque>
#include <iostream>
#include <utility>

#include "bus_client.h"
#include "request_plan.h"

using namespace korvex::test;

namespace {

constexpr size_t kSamples = 5;

bool came_from_the_callee(const Reply &reply) {
    // Errors that libdbus makes up itself when no reply arrives.
    return reply.ok ||
           (!reply.error_name.empty() && reply.error_name != "org.freedesktop.DBus.Error.NoReply" &&
            reply.error_name != "org.freedesktop.DBus.Error.Disconnected");
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 6) {
        std::cerr << "usage: soak-client ADDRESS PLAN COUNT WINDOW SECONDS\n";
        return 2;
    }
    const std::vector<PlannedCall> plan = read_plan(argv[2]);
    const uint64_t count = std::strtoull(argv[3], nullptr, 10);
    const size_t window = std::max<size_t>(1, std::strtoul(argv[4], nullptr, 10));
    const auto limit = std::chrono::seconds(std::strtol(argv[5], nullptr, 10));
    const auto deadline = std::chrono::steady_clock::now() + limit;
    const int call_timeout_ms =
        static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(limit).count());
    if (plan.empty())
        return 2;

    SoakTally tally;
    try {
        BusClient client(argv[1]);
        std::deque<std::pair<size_t, BusClient::Pending>> in_flight;
        auto collect_oldest = [&] {
            auto [index, pending] = std::move(in_flight.front());
            in_flight.pop_front();
            const Reply reply = pending.wait();
            const PlannedCall &call = plan[index];
            if (came_from_the_callee(reply))
                ++tally.answered;
            if (same_reply(reply, call.expected))
                ++tally.as_expected;
            else if (tally.samples.size() < kSamples)
                tally.samples.push_back(call.member + ": expected " + describe(call.expected) +
                                        ", got " + describe(reply));
        };
        while (tally.sent < count && std::chrono::steady_clock::now() < deadline) {
            if (in_flight.size() >= window)
                collect_oldest();
            const size_t index = tally.sent % plan.size();
            const PlannedCall &call = plan[index];
            in_flight.emplace_back(index, client.send(call.dest, call.path, call.iface, call.member,
                                                      call.args, call_timeout_ms));
            ++tally.sent;
        }
        while (!in_flight.empty())
            collect_oldest();
    } catch (const std::exception &e) {
        std::cerr << "soak-client: " << e.what() << '\n';
        std::cout << encode_tally(tally);
        return 2;
    }
    std::cout << encode_tally(tally);
    return 0;
}
