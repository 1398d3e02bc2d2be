// Documents by URI: every scheme libcurl knows pointed at a refusing loopback
// port (TFTP: "not found"), texts that are no URIs, file: URIs of non-files.
// Each is code 3 and leaves no file behind; nothing leaves the machine.
#include <gtest/gtest.h>

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <set>

#include "isolated_sysconfig_agent.h"
#include "loopback_ports.h"
#include "request_plan.h"

using namespace korvex::test;

namespace {

// Lets a reader that is stuck opening the FIFO go on (it reads an end of
// file), so a test that fails cannot leave the agent blocked for good.
class Fifo {
public:
    explicit Fifo(std::string path) : path_(std::move(path)) {
        if (mkfifo(path_.c_str(), 0600) != 0)
            throw std::runtime_error("mkfifo " + path_);
    }
    ~Fifo() {
        const int fd = open(path_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0)
            close(fd);
    }
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

class BadInputUris : public IsolatedAgentTest {
protected:
    void TearDown() override {
        EXPECT_TRUE(agent_->answering());
        EXPECT_TRUE(agent_->left_nothing_behind());
    }

    Reply run_uri(const std::string &uri, const std::string &scheme, const std::string &key) {
        return agent_->call("run_uri", {Arg::s(uri), Arg::u(0), Arg::s(scheme), Arg::s(key)});
    }

    void expect_download_failed(const std::string &uri, const std::string &scheme,
                                const std::string &key) {
        SCOPED_TRACE(::testing::PrintToString(uri.substr(0, 100)) + " as " + scheme);
        Reply reply = run_uri(uri, scheme, key);
        EXPECT_FALSE(reply.ok) << describe(reply);
        EXPECT_EQ(reply.error_name, code_error(3)) << reply.error_message;
        EXPECT_EQ(agent_->status_file(key), std::nullopt);
    }
};

std::vector<std::string> libcurl_protocols() {
    std::vector<std::string> names;
    const curl_version_info_data *info = curl_version_info(CURLVERSION_NOW);
    for (const char *const *p = info->protocols; *p != nullptr; ++p)
        names.emplace_back(*p);
    return names;
}

} // namespace

TEST_F(BadInputUris, EverySchemeLibcurlKnowsPointedAtNothing) {
    RefusingTcpPort closed;
    TftpNotFoundPort tftp;
    ASSERT_NE(closed.port(), 0);
    const std::vector<std::string> protocols = libcurl_protocols();
    const std::set<std::string> known(protocols.begin(), protocols.end());
    ASSERT_TRUE(known.contains("http"));
    int tried = 0;
    for (const std::string &protocol : protocols) {
        if (protocol == "file")
            continue; // files: see the next test
        const int port = protocol == "tftp" ? tftp.port() : closed.port();
        const std::string uri =
            protocol + "://127.0.0.1:" + std::to_string(port) + "/korvex/" + protocol;
        expect_download_failed(uri, "augeas", "scheme-" + protocol);
        ++tried;
    }
    EXPECT_GE(tried, 20) << ::testing::PrintToString(protocols);
    if (known.contains("tftp")) {
        EXPECT_GE(tftp.requests(), 1);
    }
    // The puppet runner downloads the same way, after its version check.
    expect_download_failed("http://127.0.0.1:" + std::to_string(closed.port()) + "/x.pp", "puppet",
                           "scheme-puppet-http");
    EXPECT_TRUE(agent_->status_keys().empty()) << ::testing::PrintToString(agent_->status_keys());
}

TEST_F(BadInputUris, TextsThatAreNoUsableUri) {
    RefusingTcpPort closed;
    const std::string here = "127.0.0.1:" + std::to_string(closed.port());
    // None of these may need a name lookup: that would leave the machine
    // (libcurl reads "http:///x" as host "x", for one).
    const std::vector<std::string> garbage = {
        "",
        " ",
        "not a uri",
        "://",
        "http://",
        "http://[",
        "http://[::1",
        "http://127.0.0.1:99999/",
        "http://127.0.0.1:-1/",
        "http://" + here + "/\x01\x7f",
        "http://" + here + "/%00%ff",
        "http://user:password@" + here + "/",
        "HtTp://" + here + "/",
        here,
        "no-such-scheme://" + here + "/",
        "javascript:alert(1)",
        "file://elsewhere.invalid/" + agent_->shared().file("x"),
        "file://" + agent_->shared().file("missing"),
    };
    int n = 0;
    for (const std::string &uri : garbage)
        expect_download_failed(uri, "augeas", "garbage-" + std::to_string(n++));
    EXPECT_TRUE(agent_->status_keys().empty()) << ::testing::PrintToString(agent_->status_keys());
}

TEST_F(BadInputUris, FileUrisNameOnlyRegularFiles) {
    namespace fs = std::filesystem;
    const std::string script = agent_->shared().file("script.aug");
    write_file(script, "get /augeas/version/save/mode[1]\n");
    const std::string applied = "OK\n/augeas/version/save/mode[1] = backup\n";
    fs::create_symlink(script, agent_->shared().file("link-to-script"));
    const std::string folder = agent_->shared().file("folder");
    fs::create_directory(folder);
    Fifo fifo(agent_->shared().file("fifo"));
    fs::create_symlink(fifo.path(), agent_->shared().file("link-to-fifo"));

    for (const auto &[uri, key] : std::vector<std::pair<std::string, std::string>>{
             {"file://" + script, "file-plain"},
             {"FILE://localhost" + script, "file-localhost"},
             {"file://" + agent_->shared().file("link-to-script"), "file-link"}}) {
        Reply reply = run_uri(uri, "augeas", key);
        EXPECT_EQ(describe(reply), "reply (s) \"" + applied + "\"") << uri;
    }
    // A folder would read as an empty document; a FIFO would hold the
    // agent in open() until somebody writes to it.
    expect_download_failed("file://" + folder, "augeas", "file-folder");
    expect_download_failed("file://" + folder + "/", "augeas", "file-folder-slash");
    expect_download_failed("file://" + fifo.path(), "augeas", "file-fifo");
    expect_download_failed("file://" + agent_->shared().file("link-to-fifo"), "augeas",
                           "file-link-to-fifo");
    expect_download_failed("file://" + agent_->shared().file("fi%66o"), "augeas",
                           "file-fifo-escaped");

    const std::vector<std::string> keys = agent_->status_keys();
    EXPECT_EQ(std::set<std::string>(keys.begin(), keys.end()),
              (std::set<std::string>{"file-plain", "file-localhost", "file-link"}));
    EXPECT_NE(agent_->stderr_text().find("sysconfig_os_download: URI 'file://" + folder +
                                         "' does not name a regular file"),
              std::string::npos);
}
