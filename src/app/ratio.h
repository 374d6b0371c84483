// The ratio kernel: the scaled quotient of two images, sample by sample.
#pragma once

#include <cstdint>

#include "common/common.h"

// a / b in IEEE double, times 1000.0, truncated toward zero to a signed
// 64-bit integer, low 16 bits kept (no clamping). A zero divisor gives 0: the
// conversion of an infinite or NaN quotient is defined as the integer with
// only the sign bit set, whose low 16 bits are 0.
inline uint16_t ratio_sample(uint16_t a, uint16_t b)
{
    if (b == 0)
        return 0;
    double quotient = static_cast<double>(a) / static_cast<double>(b);
    double scaled = quotient * 1000.0;
    return static_cast<uint16_t>(static_cast<int64_t>(scaled));
}

// Fills every sample of `result` from the samples at the same place in
// `dividend` and `divisor`; all three grids have result's width and height.
void compute_ratio_grid(const SampleGrid &dividend, const SampleGrid &divisor,
                        SampleGrid &result);
