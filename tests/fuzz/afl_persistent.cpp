// AFL++ persistent-mode harness: runs imgratio's whole flow on each input in
// one process (fatal errors jump back here instead of exiting, and whatever
// the run held is released), loading the input as both dividend and divisor
// and storing the result to /dev/null. Built only by tests/fuzz/build.sh.
#include <unistd.h>

#include <csetjmp>
#include <cstdio>

#include "app/app.h"
#include "common/common.h"
#include "tiff_in/tiff_in.h"

__AFL_FUZZ_INIT();

int main()
{
    char path[64];
    std::snprintf(path, sizeof path, "/dev/shm/imgratio-fuzz-%d.tif", static_cast<int>(getpid()));
    char program[] = "imgratio", output[] = "/dev/null";
    char *argv[] = {program, path, path, output, nullptr};
    __AFL_INIT();
    const unsigned char *input = __AFL_FUZZ_TESTCASE_BUF;
    while (__AFL_LOOP(100000)) {
        size_t length = __AFL_FUZZ_TESTCASE_LEN;
        std::FILE *file = std::fopen(path, "wb");
        if (file == nullptr || std::fwrite(input, 1, length, file) != length || std::fclose(file) != 0)
            return 2;
        std::jmp_buf jump;
        if (setjmp(jump) == 0) {
            set_fatal_jump(&jump);
            run_imgratio(4, argv);
        }
        abandon_load();
        release_all_memory();
    }
    unlink(path);
    return 0;
}
