#include "korvex/kcommon.h"

#include <climits>
#include <gtest/gtest.h>

#include "host_identity.h"

TEST(HostIdentity, UuidIsTheMachineIdInUuidForm) {
    const char *uuid = kx_uuid();
    ASSERT_NE(uuid, nullptr);
    EXPECT_EQ(std::string(uuid), korvex::test::expected_uuid());
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
