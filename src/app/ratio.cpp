#include "app/app.h"

void compute_ratio_row(const uint16_t *__restrict dividend, const uint16_t *__restrict divisor,
                       uint16_t *__restrict result, uint32_t width)
{
    for (uint32_t x = 0; x < width; ++x)
        result[x] = ratio_sample(dividend[x], divisor[x]);
}
