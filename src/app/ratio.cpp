#include "app/app.h"

namespace {

using SampleRowFunction = void (*)(const uint16_t *, const uint16_t *, uint16_t *, uint32_t);

ALWAYS_INLINE void ratio_sample_row(const uint16_t *__restrict dividend, const uint16_t *__restrict divisor,
                                    uint16_t *__restrict result, uint32_t width)
{
    for (uint32_t x = 0; x < width; ++x)
        result[x] = ratio_sample(dividend[x], divisor[x]);
}

void ratio_sample_row_generic(const uint16_t *dividend, const uint16_t *divisor, uint16_t *result, uint32_t width)
{
    ratio_sample_row(dividend, divisor, result, width);
}

// Where the processor has AVX2, four divisions at once, not two: the same
// correctly rounded operations, so the same bits.
BUILT_FOR("avx2") void ratio_sample_row_avx2(const uint16_t *dividend, const uint16_t *divisor, uint16_t *result,
                                             uint32_t width)
{
    ratio_sample_row(dividend, divisor, result, width);
}

const SampleRowFunction sample_row = host_features().avx2 ? ratio_sample_row_avx2 : ratio_sample_row_generic;

template <typename A, typename B>
void compute_value_row(const A *__restrict dividend, const B *__restrict divisor, uint16_t *__restrict result,
                       uint32_t width)
{
    for (uint32_t x = 0; x < width; ++x)
        result[x] = ratio_value(dividend[x], divisor[x]);
}

}  // namespace

void compute_ratio_row(const uint16_t *dividend, const uint16_t *divisor, uint16_t *result, uint32_t width)
{
    sample_row(dividend, divisor, result, width);
}

void compute_ratio_row(const void *dividend, RowKind dividend_kind, const void *divisor, RowKind divisor_kind,
                       uint16_t *result, uint32_t width)
{
    auto a_samples = static_cast<const uint16_t *>(dividend), b_samples = static_cast<const uint16_t *>(divisor);
    auto a_values = static_cast<const double *>(dividend), b_values = static_cast<const double *>(divisor);
    if (dividend_kind == ROW_SAMPLES && divisor_kind == ROW_SAMPLES)
        compute_ratio_row(a_samples, b_samples, result, width);
    else if (dividend_kind == ROW_SAMPLES)
        compute_value_row(a_samples, b_values, result, width);
    else if (divisor_kind == ROW_SAMPLES)
        compute_value_row(a_values, b_samples, result, width);
    else
        compute_value_row(a_values, b_values, result, width);
}
