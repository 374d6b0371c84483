// AFL++ persistent-mode harness: reads each input with imgratio's reader,
// every page, once row by row with every sample unpacked (where the program
// could store the result) and once for its errors only, as the program
// reads a pair whose output cannot be stored. Errors come
// back as values, so one process runs input after input. Built only by
// tests/fuzz/build.sh.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "tiff_in/tiff_in.h"

__AFL_FUZZ_INIT();

int main()
{
    // In a folder of the campaign's, which it removes at the end.
    const char *dir = std::getenv("IMGRATIO_FUZZ_DIR");
    char path[512];
    std::snprintf(path, sizeof path, "%s/input-%d.tif", dir != nullptr ? dir : "/dev/shm", static_cast<int>(getpid()));
    __AFL_INIT();
    const unsigned char *input = __AFL_FUZZ_TESTCASE_BUF;
    while (__AFL_LOOP(100000)) {
        size_t length = __AFL_FUZZ_TESTCASE_LEN;
        std::FILE *file = std::fopen(path, "wb");
        if (file == nullptr || std::fwrite(input, 1, length, file) != length || std::fclose(file) != 0)
            return 2;
        TiffInput in;
        // Rows are unpacked only where the program would store them: an
        // output of at most 4 GiB.
        if (open_tiff_input(&in, path) == MSG_NONE) {
            Message failure = MSG_NONE;
            while (failure == MSG_NONE) {
                bool storable = uint64_t{in.width} * in.height <= 0x7FFFFFFF;
                for (uint32_t y = 0; storable && failure == MSG_NONE && y < in.height; ++y)
                    failure = read_tiff_row(&in);
                if (in.page == in.pages)
                    break;
                failure = next_tiff_page(&in);
            }
        }
        close_tiff_input(&in);
        if (open_tiff_input(&in, path) == MSG_NONE)
            while (skip_tiff_rows(&in) == MSG_NONE && in.page < in.pages)
                next_tiff_page(&in);
        close_tiff_input(&in);
    }
    unlink(path);
    return 0;
}
