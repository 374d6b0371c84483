// The program's flow and the ratio kernel: the scaled quotient of two
// images, sample by sample.
#pragma once

#include <cstdint>


// a / b in IEEE double, times 1000.0, truncated toward zero to a signed
// 64-bit integer, low 16 bits kept (no clamping). A zero divisor gives 0: the
// conversion of an infinite or NaN quotient is defined as the integer with
// only the sign bit set, whose low 16 bits are 0.
//
// Written without branches so that the compiler vectorises it: a zero
// divisor is replaced by 1 and its result masked afterwards, and since the
// scaled quotient lies between 0 and 65535000 the truncation to 32 bits gives
// the same low 16 bits as the one to 64 bits.
inline uint16_t ratio_sample(uint16_t a, uint16_t b)
{
    uint32_t nonzero = b != 0;
    double divisor = static_cast<double>(b | (nonzero ^ 1));
    double scaled = static_cast<double>(a) / divisor * 1000.0;
    uint32_t low_bits = static_cast<uint16_t>(static_cast<int32_t>(scaled));
    return static_cast<uint16_t>(low_bits & (0u - nonzero));
}

// result[x] = ratio_sample(dividend[x], divisor[x]) for x below width.
void compute_ratio_row(const uint16_t *dividend, const uint16_t *divisor, uint16_t *result, uint32_t width);

// The whole program: checks the arguments, streams the rows of the dividend
// and the divisor through the ratio into the output, prints the message of
// the failure that wins, if any, and returns the exit status.
int run_imgratio(int argc, char **argv);
