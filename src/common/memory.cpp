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

#if defined(IMGRATIO_FUZZING)
// Live allocations, so that an abandoned run's memory can be released.
void *live_blocks[64];
size_t live_count = 0;

void *track(void *block)
{
    if (block != nullptr) {
        if (live_count == sizeof live_blocks / sizeof live_blocks[0])
            std::abort();
        live_blocks[live_count++] = block;
    }
    return block;
}

void untrack(void *block)
{
    for (size_t i = 0; i < live_count; ++i)
        if (live_blocks[i] == block) {
            live_blocks[i] = live_blocks[--live_count];
            return;
        }
}
#else
void *track(void *block) { return block; }
void untrack(void *) {}
#endif

#if defined(IMGRATIO_ALLOCATION_SEAM)
bool seam_fails_this_allocation()
{
    static const long fail_at = [] {
        const char *n = std::getenv("IMGRATIO_FAIL_ALLOCATION");
        return n != nullptr ? std::atol(n) : 0L;
    }();
    static long count = 0;
    return ++count == fail_at;
}
#else
constexpr bool seam_fails_this_allocation() { return false; }
#endif

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
// block aligned to and advised for transparent huge pages costs far less,
// from a few hundred KiB up (below that, zeroing a whole huge page costs more).
void *allocate_block(size_t bytes)
{
    if (seam_fails_this_allocation())
        return nullptr;
#if defined(__linux__)
    if (bytes < HUGE_PAGE / 8)
        return track(std::malloc(bytes));
    if (bytes > SIZE_MAX - HUGE_PAGE)
        return nullptr;
    size_t rounded = (bytes + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE;
    void *block = std::aligned_alloc(HUGE_PAGE, rounded);
    if (block != nullptr)
        madvise(block, rounded, MADV_HUGEPAGE);
    return track(block);
#else
    return track(std::malloc(bytes));
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

void *allocate_memory(size_t bytes)
{
    return seam_fails_this_allocation() ? nullptr : track(std::malloc(bytes));
}

void *allocate_zeroed(size_t count, size_t size)
{
    return seam_fails_this_allocation() ? nullptr : track(std::calloc(count, size));
}

void release_memory(void *block)
{
    untrack(block);
    std::free(block);
}

#if defined(IMGRATIO_FUZZING)
void release_all_memory()
{
    while (live_count > 0)
        std::free(live_blocks[--live_count]);
    grid_bytes_in_use = 0;
}
#endif

int allocate_sample_grid(SampleGrid *grid, uint32_t width, uint32_t height)
{
    *grid = SampleGrid{};
    size_t table_bytes = 0, sample_bytes = 0, samples = 0;
    if (!checked_size_product(height, sizeof(uint16_t *), &table_bytes) || !claim_grid_bytes(table_bytes))
        return 1;
    // calloc leaves untouched pages of a large table unmapped until used.
    uint16_t **rows = static_cast<uint16_t **>(allocate_zeroed(height, sizeof(uint16_t *)));
    if (rows == nullptr) {
        release_grid_bytes(table_bytes);
        return 1;
    }
    if (!checked_size_product(width, height, &samples) ||
        !checked_size_product(samples, sizeof(uint16_t), &sample_bytes) || !claim_grid_bytes(sample_bytes)) {
        release_memory(rows);
        release_grid_bytes(table_bytes);
        return 2;
    }
    uint16_t *block = static_cast<uint16_t *>(allocate_block(sample_bytes));
    if (block == nullptr) {
        release_memory(rows);
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
    release_memory(grid->samples);
    release_memory(grid->rows);
    *grid = SampleGrid{};
}
