#include "korvex/kcommon.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

namespace {

std::string trimmed_lower_first_line(const char *path) {
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line))
        return {};
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back())))
        line.pop_back();
    for (char &c : line)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return line;
}

std::string expected_uuid() {
    std::string id = trimmed_lower_first_line("/etc/machine-id");
    bool valid = id.size() == 32 && std::all_of(id.begin(), id.end(),
                                                [](unsigned char c) { return std::isxdigit(c); });
    if (valid)
        return id.substr(0, 8) + "-" + id.substr(8, 4) + "-" + id.substr(12, 4) + "-" +
               id.substr(16, 4) + "-" + id.substr(20);
    return trimmed_lower_first_line("/sys/class/dmi/id/product_uuid");
}

TEST(HostIdentity, UuidIsTheMachineIdInUuidForm) {
    const char *uuid = kx_uuid();
    ASSERT_NE(uuid, nullptr);
    EXPECT_EQ(std::string(uuid), expected_uuid());
    // Owned by the library and stable: the same storage on every call.
    EXPECT_EQ(kx_uuid(), uuid);
}

TEST(HostIdentity, HostnameIsTheKernelHostName) {
    char name[HOST_NAME_MAX + 1] = {};
    ASSERT_EQ(gethostname(name, sizeof name), 0);
    const char *hostname = kx_hostname();
    ASSERT_NE(hostname, nullptr);
    EXPECT_STREQ(hostname, name);
    EXPECT_EQ(kx_hostname(), hostname);
}

TEST(CurlSetup, RepeatedInitStaysReady) {
    EXPECT_EQ(kx_curl_init(), KX_RES_OK);
    EXPECT_EQ(kx_curl_init(), KX_RES_OK);
}

} // namespace
