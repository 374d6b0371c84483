// The scaled quotient: double division, then x 1000.0, truncation, low 16 bits.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "app/app.h"

TEST(RatioKernel, WorkedValues)
{
    EXPECT_EQ(ratio_sample(29, 100), 290);
    EXPECT_EQ(ratio_sample(323, 5), 64599) << "64.6 rounds down before the scaling";
    EXPECT_EQ(ratio_sample(100, 1), 34464) << "100000 wraps modulo 65536";
    EXPECT_EQ(ratio_sample(65, 1), 65000);
    EXPECT_EQ(ratio_sample(1, 3), 333);
    EXPECT_EQ(ratio_sample(2, 3), 666);
    EXPECT_EQ(ratio_sample(0, 7), 0);
    EXPECT_EQ(ratio_sample(65535, 65535), 1000);
    EXPECT_EQ(ratio_sample(65535, 1), 64536);
    EXPECT_EQ(ratio_sample(1, 65535), 0);
}

TEST(RatioKernel, ZeroDivisorGivesZero)
{
    for (uint32_t a : {0u, 1u, 255u, 65535u})
        EXPECT_EQ(ratio_sample(static_cast<uint16_t>(a), 0), 0) << a;
}

TEST(RatioKernel, RowUsesTheSampleAtTheSamePlace)
{
    const std::vector<uint16_t> a = {29, 323, 100, 1, 0, 65, 7}, b = {100, 5, 1, 3, 9, 0, 7};
    std::vector<uint16_t> r(a.size() + 1, 12345);
    compute_ratio_row(a.data(), b.data(), r.data(), static_cast<uint32_t>(a.size()));
    EXPECT_EQ(r, (std::vector<uint16_t>{290, 64599, 34464, 333, 0, 0, 1000, 12345}));
}

TEST(RatioKernel, AgreesWithSixtyFourBitTruncationForEveryDividend)
{
    // The kernel truncates to 32 bits; the definition truncates to 64 bits.
    for (uint32_t b : {1u, 2u, 3u, 5u, 7u, 100u, 999u, 65535u})
        for (uint32_t a = 0; a <= 65535; ++a) {
            double scaled = static_cast<double>(a) / static_cast<double>(b) * 1000.0;
            uint16_t expected = static_cast<uint16_t>(static_cast<int64_t>(scaled));
            ASSERT_EQ(ratio_sample(static_cast<uint16_t>(a), static_cast<uint16_t>(b)), expected) << a << "/" << b;
        }
}
