#include "common/common.h"

#include <cstdio>
#include <cstdlib>

void fatal_path_message(const char *path, const char *message)
{
    std::fprintf(stderr, "%s : %s\n", path, message);
    std::exit(1);
}

void fatal_message(const char *message)
{
    std::fprintf(stderr, "%s\n", message);
    std::exit(1);
}

bool checked_size_product(size_t a, size_t b, size_t *product)
{
    if (a != 0 && b > SIZE_MAX / a)
        return false;
    *product = a * b;
    return true;
}
