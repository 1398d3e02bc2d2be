// kx-bench-network-scale SMALL_NS ROUNDS FLIPS
//
// Run inside the namespace of 1000 interfaces (ip netns exec NS ...), whose
// links kxv1 ... kxv999 are down, with SMALL_NS the namespace of 10. One
// network-dbus serves each, on a private bus of its own with the real
// polkitd, and these are timed alternately, ROUNDS times:
//   status-scale   status of lo with 1000 interfaces beside the same with 10
//   ip-scale       get_ip_address of lo, likewise
//   list.1000      list with 1000 interfaces beside Get "uuid" of the same
//                  agent plus the kernel's link and address dumps of the
//                  namespace, back to back: what no list can go below
// Then, on the agent of 1000, with a client listening to interface_changed:
//   LATENCY signal-paced  from starting `ip link set kxv1 up|down` to the
//                  signal with that state, flips 200 ms apart, FLIPS times
//   LATENCY signal-burst  the same, each flip as soon as the signal of the
//                  one before came, so within the agent's 100 ms interval
//   CPU flip.1000  the agent's CPU time from one `ip -batch` that brings
//                  every kxvN up to the last of their signals
// Lines: FIGURE (sample_set.h); LATENCY NAME MEDIAN WORST COUNT (us);
// CPU NAME CPU_MS WALL_MS SIGNALS OVERRUN (1 when the agent lost
// notifications and read every interface again).
#include <chrono>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <unistd.h>

#include "bench_program.h"
#include "bus_client.h"
#include "command_run.h"
#include "kernel_link_dump.h"
#include "process.h"
#include "sample_set.h"
#include "test_bus.h"

using namespace korvex::bench;
using namespace korvex::test;
using namespace std::chrono_literals;

namespace {

constexpr const char *kName = "org.vaduderuvoziz.Network";
constexpr const char *kPath = "/org/vaduderuvoziz/Network";
constexpr const char *kIface = "org.vaduderuvoziz.Network";
constexpr const char *kFlipped = "kxv1";

Reply checked(BusClient &client, const std::string &iface, const std::string &member,
              const std::vector<Arg> &args) {
    Reply reply = client.call(kName, kPath, iface, member, args);
    if (!reply.ok)
        throw std::runtime_error(member + ": " + reply.error_message);
    return reply;
}

// A request whose one answer must be `want`.
auto asking(BusClient &client, const std::string &member, const std::string &want) {
    return [&client, member, want] {
        const Reply reply = checked(client, kIface, member, {Arg::s("lo")});
        if (reply.str() != want)
            throw std::runtime_error(member + " lo: " + reply.str() + " instead of " + want);
        return 0;
    };
}

// utime + stime of the process, in milliseconds.
double cpu_ms(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14)
            utime = std::stoull(field);
        if (i == 15)
            stime = std::stoull(field);
    }
    return 1000.0 * double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

void print_latency(const std::string &name, const SampleSet &samples) {
    std::printf("LATENCY %s %.0f %.0f %zu\n", name.c_str(), samples.median(), samples.maximum(),
                samples.size());
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv) {
    return bench_main(argc, argv, 3, "SMALL_NS ROUNDS FLIPS", [](char **operands) {
        const std::string small_space = operands[1];
        const int rounds = rounds_operand(operands[2]);
        const int flips = rounds_operand(operands[3]);

        TestSystemBus large_bus, small_bus;
        auto large = started_agent(large_bus, {{KX_NETWORK_AGENT}, {}, {}, "/", kName});
        auto small = started_agent(
            small_bus, {{KX_NETWORK_AGENT}, {"ip", "netns", "exec", small_space}, {}, "/", kName});
        BusClient on_large(large_bus.address()), on_small(small_bus.address());

        const int links = dump_every_link();
        auto list = [&] {
            const Reply reply = checked(on_large, kIface, "list", {});
            if (reply.values.at(0).strings.size() != size_t(links))
                throw std::runtime_error("list does not hold every link");
            return 0;
        };
        auto list_floor = [&] {
            checked(on_large, kPropertiesIface, "Get", {Arg::s(kIface), Arg::s("uuid")});
            if (dump_every_link() != links || dump_every_address() < 1)
                throw std::runtime_error("the namespace changed during the benchmark");
            return 0;
        };
        auto status_large = asking(on_large, "status", "1");
        auto status_small = asking(on_small, "status", "1");
        auto ip_large = asking(on_large, "get_ip_address", "127.0.0.1");
        auto ip_small = asking(on_small, "get_ip_address", "127.0.0.1");
        for (int i = 0; i < 5; ++i) {
            status_large(), status_small(), ip_large(), ip_small(), list(), list_floor();
        }
        SampleSet status_1000, status_10, ip_1000, ip_10, lists, floors;
        for (int round = 0; round < rounds; ++round) {
            side_by_side(
                round, [&] { timed(status_1000, status_large); },
                [&] { timed(status_10, status_small); });
            side_by_side(
                round, [&] { timed(ip_1000, ip_large); }, [&] { timed(ip_10, ip_small); });
            side_by_side(
                round, [&] { timed(lists, list); }, [&] { timed(floors, list_floor); });
        }
        print_figure("status-scale", status_1000, status_10);
        print_figure("ip-scale", ip_1000, ip_10);
        print_figure("list.1000", lists, floors);

        BusClient listener(large_bus.address());
        listener.listen("org.vaduderuvoziz.Network.Monitor", "interface_changed");
        auto flip = [&](bool up) {
            const auto began = std::chrono::steady_clock::now();
            Process tool({.argv = {"ip", "link", "set", kFlipped, up ? "up" : "down"},
                          .stdout_path = "/dev/null"});
            for (;;) {
                const auto signal = listener.next_signal(5s);
                if (!signal)
                    throw std::runtime_error(std::string("no signal of ") + kFlipped + " in 5 s");
                if (signal->values.at(0).text == kFlipped &&
                    signal->values.at(2).text == (up ? "1" : "0")) {
                    tool.wait(5s);
                    return signal->at - began;
                }
            }
        };
        SampleSet paced, burst;
        bool up = false;
        for (int i = 0; i < flips; ++i) {
            std::this_thread::sleep_for(200ms);
            paced.add(flip(up = !up));
        }
        for (int i = 0; i < flips; ++i)
            burst.add(flip(up = !up));
        print_latency("signal-paced", paced);
        print_latency("signal-burst", burst);
        if (up)
            flip(up = false);

        TempDir work("kx-bench-scale");
        std::string batch;
        for (int i = 1; i < links; ++i)
            batch += "link set kxv" + std::to_string(i) + " up\n";
        const std::string batch_file = work.write("flip-all", batch);
        const pid_t agent = pid_t(on_large.name_owner_pid(kName));
        const double cpu_before = cpu_ms(agent);
        const auto began = std::chrono::steady_clock::now();
        if (run_to_end({"ip", "-batch", batch_file}) != 0)
            throw std::runtime_error("ip -batch failed");
        std::set<std::string> came_up;
        auto last = began;
        int signals = 0;
        while (came_up.size() < size_t(links - 1)) {
            const auto signal = listener.next_signal(5s);
            if (!signal)
                break;
            ++signals;
            last = signal->at;
            if (signal->values.at(2).text == "1")
                came_up.insert(signal->values.at(0).text);
        }
        std::this_thread::sleep_for(500ms); // anything the agent still does counts
        while (listener.next_signal(0ms))
            ++signals;
        std::printf("CPU flip.1000 %.0f %.0f %d %d\n", cpu_ms(agent) - cpu_before,
                    std::chrono::duration<double, std::milli>(last - began).count(), signals,
                    large->stderr_text().find("were lost") != std::string::npos ? 1 : 0);
        return came_up.size() == size_t(links - 1) ? 0 : 1;
    });
}
