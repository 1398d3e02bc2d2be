// Document download through libcurl against a local HTTP server.
#include <stdio.h>

#include "sysconfig_test_support.h"

using namespace korvex::sysconfig::test;

class Download : public ::testing::Test {
protected:
    // Downloads uri into a fresh file; the file's content ends up in body.
    int fetch(const std::string &uri) {
        const auto target = dir.file("body" + std::to_string(++fetches));
        std::unique_ptr<FILE, decltype(&fclose)> stream{fopen(target.c_str(), "w+b"), fclose};
        EXPECT_NE(stream, nullptr);
        const int rc = sysconfig_os_download(uri.c_str(), stream.get());
        stream.reset();
        body = read_file(target).value_or("<unreadable>");
        return rc;
    }

    std::string warning(const std::string &tail) const {
        return "sysconfig_os_download: curl request for URI '" + tail;
    }

    TempDir dir{"download"};
    HttpServer server;
    LogCapture log;
    std::string body;
    int fetches = 0;
};

TEST_F(Download, SuccessfulAnswersFillTheStream) {
    EXPECT_EQ(fetch(server.url("/ok")), 0);
    EXPECT_EQ(body, "hello from the fixture\n");

    EXPECT_EQ(fetch(server.url("/empty")), 0);
    EXPECT_EQ(body, "");

    EXPECT_TRUE(log.starting_with("sysconfig_os_download").empty()) << log.dump();
}

TEST_F(Download, AnswersOutside2xxFailButTheBodyIsWritten) {
    // The log line ends with the server's status line.
    const std::tuple<std::string, long, const char *, const char *> cases[] = {
        // Redirects are not followed.
        {server.url("/moved"), 301, "moved elsewhere\n", "301 Moved Permanently"},
        {server.url("/missing"), 404, "no such document\n", "404 Not Found"},
        // The scheme's case does not matter for the check.
        {server.url("/missing", "HTTP"), 404, "no such document\n", "404 Not Found"},
        {server.url("/moved", "hTtP"), 301, "moved elsewhere\n", "301 Moved Permanently"},
    };
    for (const auto &[uri, code, text, status_line] : cases) {
        SCOPED_TRACE(uri);
        EXPECT_EQ(fetch(uri), 3);
        EXPECT_EQ(body, text);
        EXPECT_TRUE(log.has(KX_LOG_WARNING, warning(uri + "' got response " + std::to_string(code) +
                                                    ": HTTP/1.0 " + status_line)))
            << log.dump();
    }
}

TEST_F(Download, OnlyHttpAndFtpUrisHaveTheirResponseCodeChecked) {
    for (const char *uri : {"http://h/", "HTTP://h/", "https://h/", "HTTPS://h/", "ftp://h/",
                            "Ftp://h/", "FTPS://h/"})
        EXPECT_TRUE(download_checks_response_code(uri)) << uri;
    for (const char *uri : {"file:///etc/hosts", "FILE:///x", "dict://h/", "/plain/path"})
        EXPECT_FALSE(download_checks_response_code(uri)) << uri;
}

TEST_F(Download, FileUrisPassWithoutAResponseCode) {
    EXPECT_EQ(fetch("file://" + dir.write("local.txt", "local content\n")), 0);
    EXPECT_EQ(body, "local content\n");

    const std::string missing = "file://" + dir.path() + "/absent.txt";
    EXPECT_EQ(fetch(missing), 3);
    EXPECT_TRUE(
        log.has(KX_LOG_WARNING, warning(missing + "' failed. (37): Couldn't read a file:// file")))
        << log.dump();
}

TEST_F(Download, RefusedConnectionIsAFailedTransfer) {
    RefusingTcpPort closed;
    const std::string uri = "http://127.0.0.1:" + std::to_string(closed.port()) + "/ok";
    EXPECT_EQ(fetch(uri), 3);
    EXPECT_TRUE(log.has(KX_LOG_WARNING, warning(uri + "' failed. (7): Couldn't connect to server")))
        << log.dump();
}

// Restores the production limits even when the test fails.
struct ShortDownloadLimits {
    ShortDownloadLimits(long low_speed_time_s = 1, long total_time_s = 0, long max_bytes = 0) {
        kx_sysconfig_download_limits_set(5, low_speed_time_s, total_time_s, max_bytes, 0);
    }
    ~ShortDownloadLimits() { kx_sysconfig_download_limits_set(0, 0, 0, 0, 0); }
};

TEST_F(Download, SilentServerIsGivenUpByTheLowSpeedLimit) {
    ShortDownloadLimits limits;
    const std::string uri = server.url("/silent");
    EXPECT_EQ(fetch(uri), 3);
    EXPECT_TRUE(log.has(KX_LOG_WARNING, warning(uri + "' failed. (28): Timeout was reached")))
        << log.dump();
}

// A sparse file costs its maker nothing, a trickle stays above the stall limit: both are bounded.
TEST_F(Download, DocumentsBeyondTheirBoundsAreGivenUp) {
    constexpr long max_bytes = 1 << 20;
    ShortDownloadLimits limits{60, 2, max_bytes};

    const auto sparse_file = [this](const char *name, uintmax_t size) {
        fs::resize_file(dir.write(name, ""), size);
        return "file://" + dir.file(name);
    };
    EXPECT_EQ(fetch(sparse_file("at-bound", max_bytes)), 0);
    EXPECT_EQ(body.size(), static_cast<size_t>(max_bytes));

    const std::string sparse = sparse_file("beyond", max_bytes + 1);
    EXPECT_EQ(fetch(sparse), 3);
    EXPECT_TRUE(log.has(KX_LOG_WARNING, "sysconfig_os_download: document of URI '" + sparse +
                                            "' is larger than 1048576 bytes; given up"))
        << log.dump();

    const std::string trickle = server.url("/trickle");
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(fetch(trickle), 3);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds{10});
    EXPECT_TRUE(log.has(KX_LOG_WARNING, "sysconfig_os_download: download of URI '" + trickle +
                                            "' took longer than 2 s in all; given up"))
        << log.dump();
}
