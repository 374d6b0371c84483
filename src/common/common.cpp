#include "common/common.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

#if defined(IMGRATIO_FUZZING)
std::jmp_buf *fatal_jump = nullptr;
#endif

[[noreturn]] void end_with_failure()
{
#if defined(IMGRATIO_FUZZING)
    if (fatal_jump != nullptr)
        std::longjmp(*fatal_jump, 1);
#endif
    std::exit(1);
}

}  // namespace

#if defined(IMGRATIO_FUZZING)
void set_fatal_jump(std::jmp_buf *target)
{
    fatal_jump = target;
}
#endif

void fatal_path_message(const char *path, const char *message)
{
    std::fprintf(stderr, "%s : %s\n", path, message);
    end_with_failure();
}

void fatal_message(const char *message)
{
    std::fprintf(stderr, "%s\n", message);
    end_with_failure();
}

bool checked_size_product(size_t a, size_t b, size_t *product)
{
    if (a != 0 && b > SIZE_MAX / a)
        return false;
    *product = a * b;
    return true;
}

bool host_is_big_endian()
{
    const uint16_t probe = 0x0102;
    unsigned char first;
    std::memcpy(&first, &probe, 1);
    return first == 0x01;
}
