// A named network namespace for one test, deleted with everything in it. The far ends of its
// veth pairs go to a second namespace of its own, so that only the near ends are seen inside.
#ifndef KORVEX_TEST_NETNS_H
#define KORVEX_TEST_NETNS_H

#include <memory>
#include <string>
#include <vector>

namespace korvex::test {

class NetNamespace {
public:
    // pid and a per-process counter keep the names of parallel tests apart.
    explicit NetNamespace(const std::string &role = "test");
    ~NetNamespace();

    const std::string &name() const { return name_; }
    // "ip -n NAME args..."; throws with the tool's output when it fails.
    std::string ip(const std::vector<std::string> &args) const;
    void add_veth(const std::string &name, const std::string &mac = "");
    void add_tun(const std::string &name) { ip({"tuntap", "add", "dev", name, "mode", "tun"}); }
    std::vector<std::string> link_names() const; // in the order "ip link" lists them
    std::vector<std::string> exec_prefix() const { return {"ip", "netns", "exec", name_}; }

private:
    std::string name_;
    std::unique_ptr<NetNamespace> peers_;
    int peer_count_ = 0;
};

} // namespace korvex::test

#endif
