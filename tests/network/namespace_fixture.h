// Test scaffolding for libknetwork: commands run with captured output, a
// scratch folder, and network namespaces that exist for one test only.
#ifndef KORVEX_TESTS_NETWORK_NAMESPACE_FIXTURE_H
#define KORVEX_TESTS_NETWORK_NAMESPACE_FIXTURE_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace korvex::test {

struct CommandOutcome {
    int exit_status = -1; // -1 when the command did not exit normally
    std::string out;
    std::string err;

    std::vector<std::string> lines() const;
    std::string describe() const; // for failure messages
};

// Runs argv and waits for it. Output goes through anonymous in-memory
// files, so processes the command leaves behind cannot hold the caller up.
CommandOutcome run_command(const std::vector<std::string> &argv);

// Like run_command, but a non-zero exit throws.
CommandOutcome run_checked(const std::vector<std::string> &argv);

class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;

    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }
    std::string write(const std::string &name, const std::string &content,
                      unsigned int mode = 0644) const;
    std::string read(const std::string &name) const;

private:
    std::string path_;
};

// A named network namespace, deleted again with everything in it.
class NetNamespace {
public:
    explicit NetNamespace(std::string name);
    ~NetNamespace();
    NetNamespace(const NetNamespace &) = delete;
    NetNamespace &operator=(const NetNamespace &) = delete;

    const std::string &name() const { return name_; }
    // Runs "ip -n NAME args...", throwing when it fails.
    void ip(const std::vector<std::string> &args) const;

private:
    std::string name_;
};

// A namespace under test and a second one that takes the far ends of the
// veth pairs, so that only the near ends are seen by the library.
class NamespaceTest : public ::testing::Test {
protected:
    NamespaceTest();

    void add_veth(const std::string &name);
    void add_tun(const std::string &name);
    // "ip -n NS args..." in the namespace under test.
    void ip(const std::vector<std::string> &args) const { space_.ip(args); }
    // Link names as "ip -o link" enumerates them.
    std::vector<std::string> link_names() const;
    // The probe program run inside the namespace under test.
    CommandOutcome probe(const std::vector<std::string> &args) const;
    // sh -c script inside the namespace under test, in its own mount and
    // pid namespaces: mounts made there vanish with it, and anything it
    // started is killed when the script ends.
    CommandOutcome isolated_shell(const std::string &script) const;

    const std::string &space_name() const { return space_.name(); }
    static std::string probe_path();
    static std::string quoted(const std::string &text);

    ScratchDir scratch_;

private:
    static std::string unique_name(const char *role);

    NetNamespace space_;
    NetNamespace peers_;
    int peer_count_ = 0;
};

} // namespace korvex::test

#endif
