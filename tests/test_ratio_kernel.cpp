// The scaled quotient: double division, then x 1000.0, truncation, low 16 bits.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
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

TEST(RatioKernel, ValuesOfAnyFormat)
{
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    struct Case {
        double a, b;
        uint16_t expected;
    } cases[] = {
        {-999, 7, 53894},             // -142714.28...: truncated toward zero, then modulo 65536
        {-1, 3, 65203},               // -333
        {0.0015, 1, 1},               // 1.5 truncated
        {4294967295.0, 1, 64536},     // a 32-bit sample: 4294967295000
        {-4.5e9, 1, 14336},           // -4.5e12, beyond 32 bits
        {1e16, 1, 0}, {-1e16, 1, 0},  // beyond 2^63 either way: the sign-bit integer
        {nan, 1, 0}, {inf, 1, 0}, {-1, 0, 0}, {0, 0, 0}, {1, nan, 0},
    };
    for (const Case &c : cases)
        EXPECT_EQ(ratio_value(c.a, c.b), c.expected) << c.a << " / " << c.b;
    // Two unsigned 16-bit samples give the same as the 16-bit kernel.
    for (uint32_t b : {0u, 1u, 3u, 7u, 65535u})
        for (uint32_t a = 0; a <= 65535; a += 17)
            ASSERT_EQ(ratio_value(a, b), ratio_sample(static_cast<uint16_t>(a), static_cast<uint16_t>(b)))
                << a << "/" << b;
    // Rows of mixed kinds, each value at its place.
    const std::vector<uint16_t> samples = {29, 100, 7};
    const std::vector<double> values = {-0.5, 1, 0.25};
    std::vector<uint16_t> r(3);
    compute_ratio_row(samples.data(), ROW_SAMPLES, values.data(), ROW_VALUES, r.data(), 3);
    EXPECT_EQ(r, (std::vector<uint16_t>{static_cast<uint16_t>(-58000), 34464, 28000}));
    compute_ratio_row(values.data(), ROW_VALUES, samples.data(), ROW_SAMPLES, r.data(), 3);
    EXPECT_EQ(r, (std::vector<uint16_t>{static_cast<uint16_t>(-17), 10, 35}));
}
