#include "app/ratio.h"

void compute_ratio_grid(const SampleGrid &dividend, const SampleGrid &divisor,
                        SampleGrid &result)
{
    for (int32_t y = 0; y < result.height; ++y) {
        const uint16_t *a = dividend.rows[y];
        const uint16_t *b = divisor.rows[y];
        uint16_t *r = result.rows[y];
        for (int32_t x = 0; x < result.width; ++x)
            r[x] = ratio_sample(a[x], b[x]);
    }
}
