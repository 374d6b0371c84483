// tiff_samples FILE: reads FILE with imgratio's reader and writes, for each
// page, "width height bits\n" and then the samples, row by row, as
// little-endian 16-bit values to standard output. For tests that compare
// imgratio's reading of a file with another program's. Errors are reported
// as imgratio reports them.
#include <cstdio>
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
        std::printf("%u %u %u\n", in.width, in.height, in.bits);
        std::vector<unsigned char> row(size_t{in.width} * 2);
        for (uint32_t y = 0; failure == MSG_NONE && y < in.height; ++y) {
            failure = read_tiff_row(&in);
            for (uint32_t x = 0; failure == MSG_NONE && x < in.width; ++x) {
                row[2 * x] = static_cast<unsigned char>(in.row[x]);
                row[2 * x + 1] = static_cast<unsigned char>(in.row[x] >> 8);
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
