#include "app/app.h"

void compute_ratio_grid(const SampleGrid &dividend, const SampleGrid &divisor, SampleGrid &result)
{
    uint32_t width = static_cast<uint32_t>(result.width);
    for (uint32_t y = 0; y < static_cast<uint32_t>(result.height); ++y) {
        const uint16_t *a = dividend.rows[y];
        const uint16_t *b = divisor.rows[y];
        uint16_t *r = attach_grid_row(&result, y);
        for (uint32_t x = 0; x < width; ++x)
            r[x] = ratio_sample(a[x], b[x]);
    }
}
