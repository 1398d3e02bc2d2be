#include "korvex/kcommon.h"

#include <climits>
#include <cstring>
#include <gtest/gtest.h>
#include <set>

constexpr int kOwnCodes[] = {KX_RES_OK,     KX_RES_BAD_ARGUMENT,   KX_RES_DOWNLOAD_FAILED,
                             KX_RES_FAILED, KX_RES_NOT_AUTHORIZED, KX_RES_SYSTEM_ERROR};

TEST(StringCopy, LongSourceIsCutAndTerminatedWithinCapacity) {
    // Room beyond the stated capacity shows any write past it.
    char buffer[4096 + 16];
    std::memset(buffer, 'Z', sizeof buffer);

    kx_string_copy(buffer, std::string(5000, 'a').c_str(), 4096);

    EXPECT_EQ(std::strlen(buffer), 4095u);
    EXPECT_EQ(std::string(buffer), std::string(4095, 'a'));
    for (size_t i = 4096; i < sizeof buffer; ++i)
        ASSERT_EQ(buffer[i], 'Z') << "byte " << i << " written past the capacity";
}

TEST(StringCopy, ExactFitShortSourceAndNullSource) {
    char buffer[8];
    std::memset(buffer, 'Z', sizeof buffer);
    kx_string_copy(buffer, "1234567", sizeof buffer);
    EXPECT_STREQ(buffer, "1234567");

    kx_string_copy(buffer, "12345678", sizeof buffer);
    EXPECT_STREQ(buffer, "1234567");

    kx_string_copy(buffer, "ab", sizeof buffer);
    EXPECT_STREQ(buffer, "ab");

    kx_string_copy(buffer, nullptr, sizeof buffer);
    EXPECT_STREQ(buffer, "");
}

TEST(StringCopy, ZeroCapacityLeavesDestinationUntouched) {
    char buffer[4] = {'x', 'y', 'z', 'w'};
    kx_string_copy(buffer, "abc", 0);
    EXPECT_EQ(std::memcmp(buffer, "xyzw", 4), 0);

    char one[1] = {'x'};
    kx_string_copy(one, "abc", 1);
    EXPECT_EQ(one[0], '\0');
}

TEST(ResultText, OwnCodesHaveDistinctTexts) {
    std::set<std::string> texts;
    for (int code : kOwnCodes) {
        const char *text = kx_result_to_str(code);
        ASSERT_NE(text, nullptr) << code;
        EXPECT_STRNE(text, "") << code;
        texts.insert(text);
    }
    EXPECT_EQ(texts.size(), std::size(kOwnCodes));
}

TEST(ResultText, AnyOtherValueHasAConstantTextThatClaimsNoKnownOutcome) {
    std::set<std::string> own;
    for (int code : kOwnCodes)
        own.insert(kx_result_to_str(code));

    // 1 and 255 arrive as exit statuses of child processes.
    for (int code : {1, 7, 137, 255, -1, -6, INT_MIN, INT_MAX}) {
        const char *text = kx_result_to_str(code);
        ASSERT_NE(text, nullptr) << code;
        EXPECT_STRNE(text, "") << code;
        EXPECT_EQ(own.count(text), 0u) << code << " reads as a known outcome: " << text;
        // Constant storage: the same pointer every time, nothing to free.
        EXPECT_EQ(kx_result_to_str(code), text) << code;
    }
}
