// Documents by URI: every scheme libcurl knows pointed at a refusing loopback
// port (TFTP: "not found"), texts that are no URIs, file: URIs of non-files.
// Each is code 3 and leaves no file behind; nothing leaves the machine.
#include <gtest/gtest.h>

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <set>

#include "isolated_sysconfig_agent.h"
#include "loopback_ports.h"

using namespace korvex::test;

namespace {

// Lets a reader that is stuck opening the FIFO go on (it reads an end of
// file), so a test that fails cannot leave the agent blocked for good.
struct FifoOpener {
    std::string path;
    ~FifoOpener() {
        const int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0)
            close(fd);
    }
};

class BadInputUris : public IsolatedAgentTest {
protected:
    void TearDown() override {
        EXPECT_TRUE(agent_.answering());
        EXPECT_TRUE(agent_.left_nothing_behind());
    }

    Reply run_uri(const std::string &uri, const std::string &key, const std::string &scheme) {
        return agent_.call("run_uri", {Arg::s(uri), Arg::u(0), Arg::s(scheme), Arg::s(key)});
    }

    void expect_download_failed(const std::string &uri, const std::string &key,
                                const std::string &scheme = "augeas") {
        SCOPED_TRACE(::testing::PrintToString(uri.substr(0, 100)) + " as " + scheme);
        Reply reply = run_uri(uri, key, scheme);
        EXPECT_FALSE(reply.ok) << describe(reply);
        EXPECT_EQ(reply.error_name, code_error(3)) << reply.error_message;
        EXPECT_EQ(agent_.status_file(key), std::nullopt);
    }
};

} // namespace

TEST_F(BadInputUris, EverySchemeLibcurlKnowsPointedAtNothing) {
    RefusingTcpPort closed;
    TftpNotFoundPort tftp;
    ASSERT_NE(closed.port(), 0);
    std::set<std::string> protocols;
    for (const char *const *p = curl_version_info(CURLVERSION_NOW)->protocols; *p != nullptr; ++p)
        protocols.insert(*p);
    ASSERT_TRUE(protocols.contains("http"));
    int tried = 0;
    for (const std::string &protocol : protocols) {
        if (protocol == "file")
            continue; // files: see the next test
        const int port = protocol == "tftp" ? tftp.port() : closed.port();
        expect_download_failed(protocol + "://127.0.0.1:" + std::to_string(port) + "/korvex/" +
                                   protocol,
                               "scheme-" + protocol);
        ++tried;
    }
    EXPECT_GE(tried, 20) << ::testing::PrintToString(protocols);
    if (protocols.contains("tftp")) {
        EXPECT_GE(tftp.requests(), 1);
    }
    // The puppet runner downloads the same way, after its version check.
    expect_download_failed("http://127.0.0.1:" + std::to_string(closed.port()) + "/x.pp",
                           "scheme-puppet-http", "puppet");
    EXPECT_TRUE(agent_.status_keys().empty()) << ::testing::PrintToString(agent_.status_keys());
}

TEST_F(BadInputUris, TextsThatAreNoUsableUri) {
    RefusingTcpPort closed;
    const std::string here = "127.0.0.1:" + std::to_string(closed.port());
    int n = 0;
    // None of these may need a name lookup: that would leave the machine
    // (libcurl reads "http:///x" as host "x", for one).
    for (const std::string &uri : std::vector<std::string>{
             "", " ", "not a uri", "://", "http://", "http://[", "http://[::1",
             "http://127.0.0.1:99999/", "http://127.0.0.1:-1/", "http://" + here + "/\x01\x7f",
             "http://" + here + "/%00%ff", "http://user:password@" + here + "/",
             "HtTp://" + here + "/", here, "no-such-scheme://" + here + "/", "javascript:alert(1)",
             "file://elsewhere.invalid/" + agent_.shared().file("x"),
             "file://" + agent_.shared().file("missing")})
        expect_download_failed(uri, "garbage-" + std::to_string(n++));
    EXPECT_TRUE(agent_.status_keys().empty()) << ::testing::PrintToString(agent_.status_keys());
}

TEST_F(BadInputUris, FileUrisNameOnlyRegularFiles) {
    const TempDir &shared = agent_.shared();
    const std::string script = shared.write("script.aug", "get /augeas/version/save/mode[1]\n");
    const std::string applied = "OK\n/augeas/version/save/mode[1] = backup\n";
    std::filesystem::create_symlink(script, shared.file("link-to-script"));
    const std::string folder = shared.file("folder");
    std::filesystem::create_directory(folder);
    const std::string fifo = shared.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const FifoOpener opener{fifo};
    std::filesystem::create_symlink(fifo, shared.file("link-to-fifo"));

    for (const auto &[uri, key] : std::vector<std::pair<std::string, std::string>>{
             {"file://" + script, "file-plain"},
             {"FILE://localhost" + script, "file-localhost"},
             {"file://" + shared.file("link-to-script"), "file-link"}})
        EXPECT_EQ(describe(run_uri(uri, key, "augeas")), "reply (s) \"" + applied + "\"") << uri;
    // A folder would read as an empty document; a FIFO would hold the
    // agent in open() until somebody writes to it.
    expect_download_failed("file://" + folder, "file-folder");
    expect_download_failed("file://" + folder + "/", "file-folder-slash");
    expect_download_failed("file://" + fifo, "file-fifo");
    expect_download_failed("file://" + shared.file("link-to-fifo"), "file-link-to-fifo");
    expect_download_failed("file://" + shared.file("fi%66o"), "file-fifo-escaped");

    EXPECT_EQ(agent_.status_keys(),
              (std::vector<std::string>{"file-link", "file-localhost", "file-plain"}));
    EXPECT_NE(agent_.stderr_text().find("sysconfig_os_download: URI 'file://" + folder +
                                        "' does not name a regular file"),
              std::string::npos);
}
