// Large blocks for sample grids, and the physical-memory budget they share.
// The only platform-specific code of the program is here, each piece with a
// portable fallback.
#include <cstdlib>

#include "common/common.h"

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace {

constexpr size_t HUGE_PAGE = size_t{2} << 20;

size_t grid_bytes_in_use = 0;

size_t physical_memory_bytes()
{
#if defined(__linux__)
    long pages = sysconf(_SC_PHYS_PAGES);
    long page_size = sysconf(_SC_PAGE_SIZE);
    size_t total = 0;
    if (pages > 0 && page_size > 0 &&
        checked_size_product(static_cast<size_t>(pages), static_cast<size_t>(page_size), &total))
        return total;
#endif
    return SIZE_MAX;
}

// Memory filled for the first time is expensive page by page; on Linux a
// block aligned to and advised for transparent huge pages costs far less.
void *allocate_block(size_t bytes)
{
#if defined(__linux__)
    if (bytes > SIZE_MAX - HUGE_PAGE)
        return nullptr;
    size_t rounded = (bytes + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE;
    void *block = std::aligned_alloc(HUGE_PAGE, rounded);
    if (block != nullptr)
        madvise(block, rounded, MADV_HUGEPAGE);
    return block;
#else
    return std::malloc(bytes);
#endif
}

// Claims `bytes` of the physical-memory budget; false when it would run out.
bool claim_grid_bytes(size_t bytes)
{
    static const size_t budget = physical_memory_bytes();
    if (bytes > budget - grid_bytes_in_use)
        return false;
    grid_bytes_in_use += bytes;
    return true;
}

void release_grid_bytes(size_t bytes)
{
    grid_bytes_in_use -= bytes;
}

}  // namespace

int allocate_sample_grid(SampleGrid *grid, uint32_t width, uint32_t height)
{
    *grid = SampleGrid{};
    size_t table_bytes = 0, sample_bytes = 0, samples = 0;
    if (!checked_size_product(height, sizeof(uint16_t *), &table_bytes) || !claim_grid_bytes(table_bytes))
        return 1;
    // calloc leaves untouched pages of a large table unmapped until used.
    uint16_t **rows = static_cast<uint16_t **>(std::calloc(height, sizeof(uint16_t *)));
    if (rows == nullptr) {
        release_grid_bytes(table_bytes);
        return 1;
    }
    if (!checked_size_product(width, height, &samples) ||
        !checked_size_product(samples, sizeof(uint16_t), &sample_bytes) || !claim_grid_bytes(sample_bytes)) {
        std::free(rows);
        release_grid_bytes(table_bytes);
        return 2;
    }
    uint16_t *block = static_cast<uint16_t *>(allocate_block(sample_bytes));
    if (block == nullptr) {
        std::free(rows);
        release_grid_bytes(table_bytes + sample_bytes);
        return 2;
    }
    grid->width = static_cast<int32_t>(width);
    grid->height = static_cast<int32_t>(height);
    grid->rows = rows;
    grid->samples = block;
    return 0;
}

void release_sample_grid(SampleGrid *grid)
{
    if (grid->rows != nullptr) {
        size_t height = static_cast<uint32_t>(grid->height);
        release_grid_bytes(height * sizeof(uint16_t *) + height * static_cast<uint32_t>(grid->width) * sizeof(uint16_t));
    }
    std::free(grid->samples);
    std::free(grid->rows);
    *grid = SampleGrid{};
}
