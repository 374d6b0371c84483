// Types and helpers shared by the TIFF reader, the writer and the program entry.
#pragma once

#include <cstddef>
#include <cstdint>

// An image of unsigned 16-bit samples: `height` rows of `width` samples, each
// row its own allocation, reached through the `rows` table.
struct SampleGrid {
    int32_t width = 0;
    int32_t height = 0;
    uint16_t **rows = nullptr;
};

// Releases the rows and the row table of a grid and empties it.
void release_sample_grid(SampleGrid *grid);

// Writes "<path> : <message>\n" to standard error and ends the process with
// exit status 1. Used for every input and output error.
[[noreturn]] void fatal_path_message(const char *path, const char *message);

// Writes "<message>\n" to standard error and ends the process with exit status 1.
[[noreturn]] void fatal_message(const char *message);

// Stores a * b in *product; false when the product does not fit in size_t.
bool checked_size_product(size_t a, size_t b, size_t *product);
