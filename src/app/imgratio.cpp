// imgratio DIVIDEND DIVISOR OUTPUT: stores 1000 x DIVIDEND / DIVISOR, sample by
// sample, as a 16-bit TIFF carrying the dividend's description.
#include <cstdio>

#include "app/app.h"
#include "common/common.h"
#include "tiff_in/tiff_in.h"
#include "tiff_out/tiff_out.h"

namespace {

SampleGrid allocate_result_grid(int32_t width, int32_t height)
{
    SampleGrid grid;
    switch (allocate_sample_grid(&grid, static_cast<uint32_t>(width), static_cast<uint32_t>(height))) {
    case 1: fatal_message("cell memory allocation error (1).");
    case 2: fatal_message("cell memory allocation error (2).");
    }
    return grid;
}

}  // namespace

int run_imgratio(int argc, char **argv)
{
    if (argc < 4) {
        std::fputs("usage : imgratio input1.tif input2.tif output.tif\n", stderr);
        return 1;
    }
    const char *dividend_path = argv[1];
    const char *divisor_path = argv[2];
    const char *output_path = argv[3];

    int32_t dividend_width = 0, dividend_height = 0, width = 0, height = 0, bits = 0;
    SampleGrid dividend, divisor;
    char *dividend_description = nullptr;
    char *divisor_description = nullptr;
    load_tiff_image(dividend_path, &dividend_width, &dividend_height, &bits, &dividend,
                    &dividend_description);
    load_tiff_image(divisor_path, &width, &height, &bits, &divisor, &divisor_description);
    if (width != dividend_width || height != dividend_height)
        fatal_path_message(divisor_path, "image size mismatch.");

    SampleGrid result = allocate_result_grid(width, height);
    compute_ratio_grid(dividend, divisor, result);
    store_tiff_image(output_path, width, height, 16, result, dividend_description);
    return 0;
}
