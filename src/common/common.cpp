#include "common/common.h"

#include <cstdio>
#include <cstdlib>

void release_sample_grid(SampleGrid *grid)
{
    if (grid->rows != nullptr) {
        for (int32_t y = 0; y < grid->height; ++y)
            std::free(grid->rows[y]);
        std::free(grid->rows);
    }
    *grid = SampleGrid{};
}

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
