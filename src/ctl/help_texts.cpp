#include "help_texts.h"

#include <map>

namespace korvex::ctl {

namespace {

constexpr const char *kCommonOptions = R"(
Options every command takes:
  --json            print the result as one JSON object on standard output
  --timeout SECONDS how long to wait for the agent's answer (default 600,
                    long enough for puppet runs; 0 waits without limit)
  --no-ask-password do not start a text PolicyKit agent to ask for a
                    password on the terminal; refused calls fail at once
  -H, --host [USER@]HOST[:PORT]
                    talk to the agents of HOST over ssh (ssh -xT HOST
                    systemd-stdio-bridge), with your own ssh keys and
                    configuration; PolicyKit there sees the ssh user, and
                    no password is asked for
  -h, --help        show this help
)";

constexpr const char *kExitStatus = R"(
Exit status:
  0  success
  1  failure: the agent reported an error (a failed run, a puppet exit
     status, no answer in time), a run's status text reports FAILED/ERROR,
     or network start/stop did not see the interface reach its state
  2  bad argument: wrong usage, or the agent refused an argument
  3  the agent cannot be reached: no system bus, or the agent is neither
     running nor activatable; with --host also when ssh fails or the host
     has no systemd-stdio-bridge
  4  not authorized: PolicyKit (or the bus policy) refused the call; the
     message names the action
  5  sysconfig is-configured: the key has no status
  6  sysconfig preview, preview-uri: what 1 means elsewhere; for them
     0 says nothing would change and 1 that something would, as for diff
Error messages from the agents go to standard error, with the agent's
reason in plain words. Puppet's own messages are in the agent's log
(journalctl -u korvex-sysconfig).
)";

const std::map<std::string, std::string> &texts() {
    static const std::map<std::string, std::string> table = {
        {"", R"(Usage: korvexctl [OPTIONS] [COMMAND ...]

Talks to the korvex host-management agents on the D-Bus system bus
(DBUS_SYSTEM_BUS_ADDRESS, when set, names the bus to use), or with
--host to those of another host over ssh. On a terminal a text PolicyKit
agent (pkttyagent) asks for a password where PolicyKit wants one; over
ssh nobody is asked.

Commands:
  status               (also with no command) the host name and UUID, which
                       agents answer, and the interfaces with their state
  sysconfig run-string --scheme SCHEME --key KEY [--force] FILE|-
                       apply a puppet manifest or augeas script from FILE
                       (or standard input) and print the key's status
  sysconfig run-uri --scheme SCHEME --key KEY [--force] URI
                       the same for a document the agent fetches from URI
  sysconfig preview --scheme SCHEME FILE|-
  sysconfig preview-uri --scheme SCHEME URI
                       print what applying the document would change, and
                       change nothing
  sysconfig query [--scheme augeas] PATH
                       print the value at an augeas PATH
  sysconfig is-configured KEY
                       print the stored status of a configuration key
  sysconfig keys       list every key with a status: its outcome and when
                       it was written
  network list         list the network interfaces with their state
  network status IFACE print whether IFACE is up or down
  network start [--wait SECONDS|--no-wait] IFACE
                       bring IFACE up (ifup) and wait until it is up
  network stop [--wait SECONDS|--no-wait] IFACE
                       bring IFACE down (ifdown) and wait until it is down
  network ip IFACE     print the IP address of IFACE
  network mac IFACE    print the MAC address of IFACE
  monitor              print the agents' change events as they come, until
                       interrupted
  get AGENT PROPERTY   print a property of an agent (AGENT: sysconfig, network)
  set AGENT PROPERTY VALUE
                       set a writable property (sysconfig is_postboot_configured)

Run "korvexctl COMMAND --help" for the details of a command.
  --version         print the version
)"},
        {"status", R"(Usage: korvexctl status

Also what korvexctl does without a command. Shows the host name and UUID the agents publish, whether each agent
answers (and why not: not running, not installed, or its start through the
bus refused), and the network interfaces with their state. Exits with 0 when
at least one agent answers.

With --json: {"hostname", "uuid", "agents": [{"agent", "bus_name",
"answers", "error"}], "interfaces": [{"name", "up"}]}.
)"},
        {"sysconfig", R"(Usage: korvexctl sysconfig COMMAND ...

The system-configuration agent (org.vaduderuvoziz.Sysconfig).

Commands:
  run-string --scheme SCHEME --key KEY [--force] FILE|-
  run-uri --scheme SCHEME --key KEY [--force] URI
  preview --scheme SCHEME FILE|-
  preview-uri --scheme SCHEME URI
  query [--scheme augeas] PATH
  is-configured KEY
  keys

SCHEME is "augeas" (an augeas command script) or "puppet" (a manifest).
A KEY names what is being configured; a key that already has a status is
not run again unless --force is given.
)"},
        {"sysconfig run-string",
         R"text(Usage: korvexctl sysconfig run-string --scheme SCHEME --key KEY [--force] FILE|-

Sends the document in FILE ("-": standard input) to the agent, which applies
it with augeas or puppet (SCHEME) and stores the outcome under KEY. Prints
the key's status text: "OK" or "FAILED" and what the tool reported; for a
failed augeas script, after its output, the error augeas gave (for a failed
save the file, the lens and where it failed).

  --scheme SCHEME   "augeas" or "puppet"
  --key KEY         the configuration key (no leading dot, no slash)
  --force           run even when KEY already has a status

A KEY that already has a status is not run: korvexctl says "not run: KEY
already configured (use --force)" on standard error and prints the stored
status. On a terminal a line on standard error counts the seconds of a run.
Failed puppet runs are explained by puppet's exit status: 1 a syntax error
or puppet could not run, 4 resources failed, 6 changes were applied and
resources failed.

With --json: {"key", "scheme", "run" (false when the stored status was
kept), "result" (first line of the status: OK, FAILED or ERROR), "status"
(the whole text)}.
)text"},
        {"sysconfig run-uri",
         R"(Usage: korvexctl sysconfig run-uri --scheme SCHEME --key KEY [--force] URI

Like run-string, but the agent fetches the document from URI itself
(file://, http://, https://, ...). A plain path is turned into a file:// URI
naming it.

  --scheme SCHEME   "augeas" or "puppet"
  --key KEY         the configuration key (no leading dot, no slash)
  --force           run even when KEY already has a status

Skipped keys, the progress line and failures are as for run-string.

With --json: {"key", "scheme", "uri", "run", "result", "status"}.
)"},
        {"sysconfig preview", R"(Usage: korvexctl sysconfig preview --scheme SCHEME FILE|-

Sends the document in FILE ("-": standard input) to the agent, which works
out what applying it would change and changes nothing: no file, no key
status. Prints the report: for augeas a unified diff of every file the
script would save, for puppet the output of puppet apply --noop --show_diff.

  --scheme SCHEME   "augeas" or "puppet"

Exits like diff: 0 when nothing would change, 1 when something would, and
2 or more on errors (6 where the other commands exit with 1).

With --json: {"changes" (true when something would change), "report"}.
)"},
        {"sysconfig preview-uri", R"(Usage: korvexctl sysconfig preview-uri --scheme SCHEME URI

Like preview, but the agent fetches the document from URI itself. A plain
path is turned into a file:// URI naming it.

  --scheme SCHEME   "augeas" or "puppet"

The exit status and --json are as for preview.
)"},
        {"sysconfig query", R"(Usage: korvexctl sysconfig query [--scheme augeas] PATH

Prints the value at PATH of the agent's augeas tree, e.g.
/files/etc/hosts/1/ipaddr. Prints nothing when no single node with a value
matches.

With --json: {"path", "scheme", "value"}.
)"},
        {"sysconfig is-configured", R"(Usage: korvexctl sysconfig is-configured KEY

Prints the status text stored for KEY, or "KEY: not configured" when the key
was never run. Usable as a test: the exit status is 0 when the status is OK,
1 when it reports a failure (FAILED or ERROR), 5 when the key is not
configured.

With --json: {"key", "configured" (true when a status is stored), "result",
"status"}.
)"},
        {"sysconfig keys", R"text(Usage: korvexctl sysconfig keys

Lists every key that has a status, sorted by key: its outcome (OK,
FAILED and the exit status or augeas's value, ERROR when puppet could not
start, or "(empty)") and when its status was written, as local time and as
an age ("N min ago"; hours or days once it is older than two hours or
days). The agent lists at most 10000 keys; with more it refuses.

With --json: {"keys": [{"key", "outcome", "when" (Unix seconds)}, ...]}.
)text"},
        {"network", R"text(Usage: korvexctl network COMMAND [IFACE]

The network agent (org.vaduderuvoziz.Network).

Commands:
  list          every interface with its state, one per line: NAME up|down
  status IFACE  up or down
  start IFACE   runs ifup unless IFACE is up, and waits until the agent
                signals that it is up; prints "IFACE: up"
  stop IFACE    runs ifdown unless IFACE is down, and waits until it is down
  ip IFACE      the interface's IP address (empty when it has none)
  mac IFACE     the interface's MAC address

  --wait SECONDS  (start, stop) how long to wait for the state; 10 by
                  default. When it does not come, the exit status is 1 and
                  the message says "IFACE did not come up within N s
                  (ifup's messages are in the agent's log)"
  --no-wait       (start, stop) do not wait: print the state the agent saw
                  right after starting the script, which may not show the
                  change yet

An IFACE that list does not show is an error (exit status 2).

With --json: list gives {"interfaces": [{"name", "up"}, ...]}; status,
start and stop give {"interface", "up"}; ip gives {"interface", "ip"}; mac
gives {"interface", "mac"}.
)text"},
        {"monitor", R"(Usage: korvexctl monitor

Prints each change the agents signal, as it comes, one line per event,
until interrupted (Ctrl-C), like ip monitor:

  interface IFACE: up|down, ip IP, mac MAC
  interface IFACE: removed
  key KEY: OUTCOME at YYYY-MM-DD HH:MM:SS

Interface events come from the network agent whenever an interface
appears, goes, goes up or down, or changes its IPv4 or MAC address, at most
one per interface in a tenth of a second; key events from the sysconfig
agent whenever a key's status is written. Prints nothing until something
changes, and nothing about agents that are not running.

With --json, one object per line: {"event": "interface", "iface",
"present", "state" (1 up, 0 down), "ip", "mac"} or {"event": "key", "key",
"outcome", "when" (seconds since 1970)}.
)"},
        {"get", R"(Usage: korvexctl get AGENT PROPERTY

Prints a property of an agent (org.freedesktop.DBus.Properties.Get).

  sysconfig: uuid, hostname, is_postboot_configured, qmf-gen-no-crash
  network:   uuid, hostname, qmf-gen-no-crash

With --json: {"agent", "property", "value"}.
)"},
        {"set", R"(Usage: korvexctl set AGENT PROPERTY VALUE

Sets a writable property (org.freedesktop.DBus.Properties.Set). The only one
is is_postboot_configured of the sysconfig agent, an unsigned number.
Prints nothing.
)"},
    };
    return table;
}

} // namespace

std::string help_text(const std::string &topic) {
    const auto &table = texts();
    std::string key = topic;
    while (true) {
        auto found = table.find(key);
        if (found != table.end())
            return found->second + kCommonOptions + kExitStatus;
        const auto space = key.rfind(' ');
        key = space == std::string::npos ? "" : key.substr(0, space);
    }
}

} // namespace korvex::ctl
