// The scaled quotient: double division, then x 1000.0, truncation, low 16 bits.
#include <gtest/gtest.h>

#include "app/ratio.h"

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
    uint16_t a0[3] = {29, 323, 100}, a1[3] = {1, 0, 65};
    uint16_t b0[3] = {100, 5, 1}, b1[3] = {3, 9, 0};
    uint16_t r0[3] = {}, r1[3] = {};
    uint16_t *a_rows[2] = {a0, a1}, *b_rows[2] = {b0, b1}, *r_rows[2] = {r0, r1};
    SampleGrid a{3, 2, a_rows}, b{3, 2, b_rows}, r{3, 2, r_rows};
    compute_ratio_grid(a, b, r);
    EXPECT_EQ(std::vector<uint16_t>(r0, r0 + 3), (std::vector<uint16_t>{290, 64599, 34464}));
    EXPECT_EQ(std::vector<uint16_t>(r1, r1 + 3), (std::vector<uint16_t>{333, 0, 0}));
}
