// tiff_samples FILE: reads FILE with imgratio's reader and writes, for each
// page, "width height bits\n" and the samples, row by row, as little-endian
// 16-bit values to standard output; or, for pages read as values,
// "width height bits values\n" and the values as little-endian doubles. For
// tests that compare imgratio's reading of a file with another program's.
// Errors are reported as imgratio reports them.
#include <cstdio>
#include <cstring>
#include <vector>

#include "tiff_in/tiff_in.h"

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fputs("usage: tiff_samples FILE\n", stderr);
        return 2;
    }
    TiffInput in;
    Message failure = open_tiff_input(&in, argv[1]);
    while (failure == MSG_NONE) {
        bool values = in.kind == ROW_VALUES;
        std::printf("%u %u %u%s\n", in.width, in.height, in.bits, values ? " values" : "");
        size_t size = row_sample_bytes(&in);
        std::vector<unsigned char> row(size_t{in.width} * size);
        for (uint32_t y = 0; failure == MSG_NONE && y < in.height; ++y) {
            failure = read_tiff_row(&in);
            for (uint32_t x = 0; failure == MSG_NONE && x < in.width; ++x) {
                uint64_t bits = 0;
                if (values)
                    std::memcpy(&bits, &in.values[x], size);
                else
                    bits = in.row[x];
                for (size_t b = 0; b < size; ++b)
                    row[x * size + b] = static_cast<unsigned char>(bits >> (8 * b));
            }
            if (failure == MSG_NONE)
                std::fwrite(row.data(), 1, row.size(), stdout);
        }
        if (failure != MSG_NONE || in.page == in.pages)
            break;
        failure = next_tiff_page(&in);
    }
    close_tiff_input(&in);
    if (failure != MSG_NONE) {
        std::fprintf(stderr, "%s : %s\n", argv[1], message_text(failure));
        return 1;
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}
