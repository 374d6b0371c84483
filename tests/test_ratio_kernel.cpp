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

TEST(RatioKernel, GridUsesTheSampleAtTheSamePlace)
{
    const std::vector<uint16_t> a_samples = {29, 323, 100, 1, 0, 65}, b_samples = {100, 5, 1, 3, 9, 0};
    SampleGrid a, b, r;
    ASSERT_EQ(allocate_sample_grid(&a, 3, 2), 0);
    ASSERT_EQ(allocate_sample_grid(&b, 3, 2), 0);
    ASSERT_EQ(allocate_sample_grid(&r, 3, 2), 0);
    for (uint32_t y = 0; y < 2; ++y) {
        std::copy_n(&a_samples[3 * y], 3, attach_grid_row(&a, y));
        std::copy_n(&b_samples[3 * y], 3, attach_grid_row(&b, y));
    }
    compute_ratio_grid(a, b, r);
    EXPECT_EQ(std::vector<uint16_t>(r.rows[0], r.rows[0] + 3), (std::vector<uint16_t>{290, 64599, 34464}));
    EXPECT_EQ(std::vector<uint16_t>(r.rows[1], r.rows[1] + 3), (std::vector<uint16_t>{333, 0, 0}));
    release_sample_grid(&a);
    release_sample_grid(&b);
    release_sample_grid(&r);
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
