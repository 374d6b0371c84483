// Types and helpers shared by the TIFF reader, the writer and the program entry.
#pragma once

#include <cstddef>
#include <cstdint>

// An image of unsigned 16-bit samples: `height` rows of `width` samples. The
// rows lie one after another in one block, `samples`, and are reached through
// the `rows` table.
struct SampleGrid {
    int32_t width = 0;
    int32_t height = 0;
    uint16_t **rows = nullptr;
    uint16_t *samples = nullptr;
};

// Allocates the row table and the sample block of a width x height grid.
// Returns 0 on success, 1 when the row table, 2 when the sample block cannot
// be had. A grid whose memory, with all grids allocated before it, would
// exceed the machine's physical memory counts as a failed allocation, so that
// an image too large for the machine is refused instead of being killed when
// it is filled. Row pointers are set by attach_grid_row, as rows are reached,
// so that memory is touched only as far as an image is actually filled.
int allocate_sample_grid(SampleGrid *grid, uint32_t width, uint32_t height);

inline uint16_t *attach_grid_row(SampleGrid *grid, uint32_t y)
{
    return grid->rows[y] = grid->samples + static_cast<size_t>(y) * static_cast<uint32_t>(grid->width);
}

// Releases a grid's memory and empties it.
void release_sample_grid(SampleGrid *grid);

// Writes "<path> : <message>\n" to standard error and ends the process with
// exit status 1. Used for every input and output error.
[[noreturn]] void fatal_path_message(const char *path, const char *message);

// Writes "<message>\n" to standard error and ends the process with exit status 1.
[[noreturn]] void fatal_message(const char *message);

// Heap allocation for every size that comes from file data (null on
// failure). A build with IMGRATIO_ALLOCATION_SEAM, made for the tests only,
// fails the allocation whose number (from 1, counting these two and the grid
// allocations) the environment variable IMGRATIO_FAIL_ALLOCATION gives, so
// that every allocation-failure path can be reached.
void *allocate_memory(size_t bytes);
void *allocate_zeroed(size_t count, size_t size);
void release_memory(void *block);

#if defined(IMGRATIO_FUZZING)
#include <csetjmp>
// The fuzzing build runs many inputs in one process: fatal errors jump to
// `target` (after printing their message) instead of ending the process, and
// release_all_memory frees whatever the abandoned run still held.
void set_fatal_jump(std::jmp_buf *target);
void release_all_memory();
#endif

// True on a host that stores the high byte of a 16-bit value first.
bool host_is_big_endian();

// Stores a * b in *product; false when the product does not fit in size_t.
bool checked_size_product(size_t a, size_t b, size_t *product);
