// tiff_samples FILE: loads FILE with imgratio's reader and writes
// "width height bits\n" and then the samples, row by row, as little-endian
// 16-bit values to standard output. For tests that compare imgratio's reading
// of a file with another program's. Errors end it as they end imgratio.
#include <cstdio>
#include <vector>

#include "tiff_in/tiff_in.h"

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fputs("usage: tiff_samples FILE\n", stderr);
        return 2;
    }
    int32_t width, height, bits;
    SampleGrid grid;
    load_tiff_image(argv[1], &width, &height, &bits, &grid, nullptr);
    std::printf("%d %d %d\n", width, height, bits);
    std::vector<unsigned char> row(static_cast<size_t>(width) * 2);
    for (int32_t y = 0; y < height; ++y) {
        for (int32_t x = 0; x < width; ++x) {
            row[2 * x] = static_cast<unsigned char>(grid.rows[y][x]);
            row[2 * x + 1] = static_cast<unsigned char>(grid.rows[y][x] >> 8);
        }
        std::fwrite(row.data(), 1, row.size(), stdout);
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}
