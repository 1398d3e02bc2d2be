// The agents of another host, reached as hostnamectl -H reaches them: ssh to
// the host runs systemd-stdio-bridge there, which joins its standard input
// and output to that host's system bus. The user's own ssh (keys, known
// hosts, jump hosts, configuration) carries the connection.
#ifndef KORVEXCTL_SSH_BRIDGE_H
#define KORVEXCTL_SSH_BRIDGE_H

#include <string>
#include <vector>

#include <gio/gio.h>

#include "exit_status.h"
#include <korvex/owners.h>

namespace korvex::ctl {

// [USER@]HOST[:PORT] as given to --host; an IPv6 address with a port is
// written in brackets, [ADDRESS]:PORT.
struct RemoteHost {
    std::string text;        // as given, for messages
    std::string destination; // [USER@]HOST for ssh
    std::string port;        // empty: ssh's choice
};

// Throws a UsageError for a text that names no host.
RemoteHost parse_remote_host(const std::string &text);

// The ssh command line that reaches the bridge on `host`.
std::vector<std::string> ssh_bridge_command(const RemoteHost &host);

class SshBridge {
public:
    // Starts ssh; throws a CommandFailure (unreachable) when it cannot run.
    explicit SshBridge(RemoteHost host);
    // Waits a little for ssh to end once the stream is closed, then ends it.
    ~SshBridge();
    SshBridge(const SshBridge &) = delete;
    SshBridge &operator=(const SshBridge &) = delete;

    // ssh's standard output and input, as one stream for a D-Bus connection.
    GIOStream *stream() const { return stream_.get(); }
    // Why no connection came about over the stream: what ssh or the far
    // side said, or `connect_error` when they said nothing.
    CommandFailure failure(const std::string &connect_error);

private:
    bool wait_for_exit(int timeout_ms);
    std::string last_error_line() const;

    RemoteHost host_;
    UniqueFd errors_; // ssh's standard error, kept in memory
    ObjectPtr<GSubprocess> ssh_;
    ObjectPtr<GIOStream> stream_;
};

} // namespace korvex::ctl

#endif
