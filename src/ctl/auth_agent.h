// A text PolicyKit authentication agent for the calls of one korvexctl run,
// so that an administrator who may authenticate is asked for a password on
// the terminal instead of being refused.
#ifndef KORVEXCTL_AUTH_AGENT_H
#define KORVEXCTL_AUTH_AGENT_H

#include <gio/gio.h>

#include <korvex/owners.h>

namespace korvex::ctl {

class TextAuthAgent {
public:
    // Starts pkttyagent for this process's session when standard input is a
    // terminal and the program is installed; otherwise does nothing. Returns
    // once the agent has registered (or has given up).
    TextAuthAgent();
    // Stops the agent again.
    ~TextAuthAgent();
    TextAuthAgent(const TextAuthAgent &) = delete;
    TextAuthAgent &operator=(const TextAuthAgent &) = delete;

    bool running() const { return agent_ != nullptr; }

private:
    ObjectPtr<GSubprocess> agent_;
};

} // namespace korvex::ctl

#endif
