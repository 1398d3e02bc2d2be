// kx-bench-tools AUGEAS_ROUNDS PUPPET_ROUNDS
//
// sysconfig-dbus applying documents against the tools run directly on the
// same documents, alternating the two:
//   - an augeas script (transform, load, set, save on a file of its own)
//     through `run_string` with scheme augeas and the force flag, against
//     `augtool -b -f SCRIPT`: augtool loads the whole tree from the root
//     "/" just as the agent does (root "", no AUG_NO_LOAD), and -b is the
//     agent's AUG_SAVE_BACKUP;
//   - a one-resource puppet manifest through `run_string` with scheme
//     puppet and the force flag, against `puppet --version` followed by
//     `puppet apply MANIFEST`, the two commands the agent runs, and
//     against `puppet apply` alone, which is all a run should cost once
//     the agent knows the version.
// Every run writes a value of its own, so every run saves a change.
// 16 forced augeas runs of 16 keys, each editing a file of its own, sent at
// once, against 16 times one such run alone.
// Previews beside runs of the same documents (each with a value of its
// own, so every preview finds a change): an augeas `preview_string`
// against `run_string` through the agent, and a puppet `preview_string`
// against `puppet apply --noop` run directly.
//
// Must run in a private mount namespace whose /etc, /var/lib and puppet
// folders are the benchmark's own (bench/run sees to that), since puppet
// keeps state there. Prints FIGURE augeas-run, augeas-16-at-once, puppet-run,
// puppet-run-known-version, augeas-preview and puppet-preview, and the
// agent's resident memory after the runs.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include <unistd.h>

#include "agent_memory.h"
#include "bench_program.h"
#include "bus_client.h"
#include "command_run.h"
#include "sample_set.h"
#include "test_bus.h"

using namespace korvex::bench;
using namespace korvex::test;

namespace {

class ToolRuns {
public:
    ToolRuns(BusClient &client, const TempDir &work, const TempDir &edits)
        : client_(client), work_(work), edits_(edits) {
        write_file(edits_.file("hosts"), "127.0.0.1\tlocalhost\n192.0.2.1\tfirst.example\n");
    }

    // An edit of the hosts file `file` (one of 16 when given).
    std::string augeas_script(int file = -1) {
        const std::string hosts = edits_.file(file < 0 ? "hosts" : "hosts-" + std::to_string(file));
        if (file >= 0 && access(hosts.c_str(), F_OK) != 0)
            write_file(hosts, "127.0.0.1\tlocalhost\n");
        const std::string node = "/files" + hosts + "/01";
        return "transform Hosts incl " + hosts + "\nload\nset " + node +
               "/ipaddr 192.0.2.77\nset " + node + "/canonical run" + std::to_string(++runs_) +
               ".example\nsave\n";
    }

    std::string puppet_manifest() {
        return "file { '" + edits_.file("puppet-target") + "':\n  content => \"run " +
               std::to_string(++runs_) + "\\n\",\n}\n";
    }

    int agent_run(const std::string &document, const char *scheme, const char *key) {
        Reply reply = client_.call("org.vaduderuvoziz.Sysconfig", "/org/vaduderuvoziz/Sysconfig",
                                   "org.vaduderuvoziz.Sysconfig", "run_string",
                                   {Arg::s(document), Arg::u(1), Arg::s(scheme), Arg::s(key)});
        if (!reply.ok || reply.str().rfind("OK", 0) != 0)
            throw std::runtime_error(std::string(scheme) + " run through the agent: " +
                                     reply.error_message + (reply.ok ? reply.str() : ""));
        return 0;
    }

    // Runs of 16 keys sent at once, each editing a file of its own.
    int sixteen_at_once() {
        std::vector<BusClient::Pending> calls;
        for (int i = 0; i < 16; ++i)
            calls.push_back(client_.send(
                "org.vaduderuvoziz.Sysconfig", "/org/vaduderuvoziz/Sysconfig",
                "org.vaduderuvoziz.Sysconfig", "run_string",
                {Arg::s(augeas_script(i)), Arg::u(1), Arg::s("augeas"),
                 Arg::s("bench-parallel-" + std::to_string(i))}));
        for (BusClient::Pending &call : calls) {
            Reply reply = call.wait();
            if (!reply.ok || reply.str().rfind("OK", 0) != 0)
                throw std::runtime_error("parallel augeas run through the agent: " +
                                         reply.error_message + (reply.ok ? reply.str() : ""));
        }
        return 0;
    }

    int agent_preview(const std::string &document, const char *scheme) {
        Reply reply = client_.call("org.vaduderuvoziz.Sysconfig", "/org/vaduderuvoziz/Sysconfig",
                                   "org.vaduderuvoziz.Sysconfig.Preview", "preview_string",
                                   {Arg::s(document), Arg::s(scheme)});
        if (!reply.ok || reply.str(0) != "1")
            throw std::runtime_error(std::string(scheme) +
                                     " preview through the agent: " + reply.error_message);
        return 0;
    }

    int puppet_noop(const std::string &manifest) {
        write_file(work_.file("bench.pp"), manifest);
        if (run_to_end({"puppet", "apply", "--noop", "bench.pp"}) != 0)
            throw std::runtime_error("puppet apply --noop failed");
        return 0;
    }

    int augtool_run(const std::string &script) {
        write_file(work_.file("bench.augtool"), script);
        if (run_to_end({"augtool", "-b", "-f", work_.file("bench.augtool")}) != 0)
            throw std::runtime_error("augtool -b -f failed");
        return 0;
    }

    // `apply_alone` also gets the time of `puppet apply` by itself: what a
    // run costs once the version is known.
    int puppet_run(const std::string &manifest, SampleSet *apply_alone = nullptr) {
        write_file(work_.file("bench.pp"), manifest);
        if (run_to_end({"puppet", "--version"}) != 0)
            throw std::runtime_error("puppet --version failed");
        SampleSet ignored;
        timed(apply_alone != nullptr ? *apply_alone : ignored, [] {
            if (run_to_end({"puppet", "apply", "bench.pp"}) != 0)
                throw std::runtime_error("puppet apply failed");
            return 0;
        });
        return 0;
    }

private:
    BusClient &client_;
    const TempDir &work_;
    const TempDir &edits_;
    int runs_ = 0;
};

} // namespace

int main(int argc, char **argv) {
    return bench_main(argc, argv, 2, "AUGEAS_ROUNDS PUPPET_ROUNDS", [](char **operands) {
        const int augeas_rounds = rounds_operand(operands[1]);
        const int puppet_rounds = rounds_operand(operands[2]);
        TestSystemBus bus;
        TempDir work("korvex-bench-work");
        TempDir edits("korvex-bench-edits");
        auto agent = started_agent(
            bus, {{KX_SYSCONFIG_AGENT}, {}, {}, work.path(), "org.vaduderuvoziz.Sysconfig"});
        // The tools run where the agent runs them: in its working folder.
        if (chdir(work.path().c_str()) != 0)
            throw std::runtime_error("cannot enter " + work.path());
        BusClient client(bus.address());
        ToolRuns runs(client, work, edits);

        // One of each first: the page cache then holds the lenses and
        // puppet's code for both sides alike.
        runs.agent_run(runs.augeas_script(), "augeas", "bench-augeas");
        runs.augtool_run(runs.augeas_script());
        runs.agent_run(runs.puppet_manifest(), "puppet", "bench-puppet");
        runs.puppet_run(runs.puppet_manifest());

        SampleSet agent_augeas, augtool;
        for (int round = 0; round < augeas_rounds; ++round) {
            auto through_agent = [&] {
                return timed(agent_augeas, [&, script = runs.augeas_script()] {
                    return runs.agent_run(script, "augeas", "bench-augeas");
                });
            };
            auto direct = [&] {
                return timed(augtool, [&, script = runs.augeas_script()] {
                    return runs.augtool_run(script);
                });
            };
            side_by_side(round, through_agent, direct);
        }
        print_figure("augeas-run", agent_augeas, augtool);

        // Augeas runs are serialized, so 16 at once cost about 16 alone:
        // the figure shows what the queue adds to that.
        SampleSet at_once, sixteen_alone;
        for (int round = 0; round < std::min(augeas_rounds, 3); ++round) {
            auto together = [&] { return timed(at_once, [&] { return runs.sixteen_at_once(); }); };
            auto alone = [&] {
                const auto begin = std::chrono::steady_clock::now();
                runs.agent_run(runs.augeas_script(round % 16), "augeas", "bench-parallel-0");
                sixteen_alone.add(16 * (std::chrono::steady_clock::now() - begin));
                return 0;
            };
            side_by_side(round, together, alone);
        }
        print_figure("augeas-16-at-once", at_once, sixteen_alone);

        SampleSet agent_puppet, puppet, puppet_apply;
        for (int round = 0; round < puppet_rounds; ++round) {
            auto through_agent = [&] {
                return timed(agent_puppet, [&, manifest = runs.puppet_manifest()] {
                    return runs.agent_run(manifest, "puppet", "bench-puppet");
                });
            };
            auto direct = [&] {
                return timed(puppet, [&, manifest = runs.puppet_manifest()] {
                    return runs.puppet_run(manifest, &puppet_apply);
                });
            };
            side_by_side(round, through_agent, direct);
        }
        print_figure("puppet-run", agent_puppet, puppet);
        // The puppet on PATH stays the same, so after the warm-up the agent
        // has no reason to ask for its version again.
        print_figure("puppet-run-known-version", agent_puppet, puppet_apply);

        SampleSet augeas_preview, augeas_run;
        for (int round = 0; round < augeas_rounds; ++round) {
            auto through_agent = [&] {
                return timed(augeas_preview, [&, script = runs.augeas_script()] {
                    return runs.agent_preview(script, "augeas");
                });
            };
            auto run = [&] {
                return timed(augeas_run, [&, script = runs.augeas_script()] {
                    return runs.agent_run(script, "augeas", "bench-augeas");
                });
            };
            side_by_side(round, through_agent, run);
        }
        print_figure("augeas-preview", augeas_preview, augeas_run);

        SampleSet puppet_preview, puppet_noop;
        for (int round = 0; round < puppet_rounds; ++round) {
            auto through_agent = [&] {
                return timed(puppet_preview, [&, manifest = runs.puppet_manifest()] {
                    return runs.agent_preview(manifest, "puppet");
                });
            };
            auto direct = [&] {
                return timed(puppet_noop, [&, manifest = runs.puppet_manifest()] {
                    return runs.puppet_noop(manifest);
                });
            };
            side_by_side(round, through_agent, direct);
        }
        print_figure("puppet-preview", puppet_preview, puppet_noop);

        std::printf("RSS-after-runs sysconfig-dbus %ld\n",
                    resident_kb(client.name_owner_pid("org.vaduderuvoziz.Sysconfig")));
        return 0;
    });
}
