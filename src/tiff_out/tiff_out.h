// Storing a sample grid as an uncompressed big-endian TIFF file.
#pragma once

#include <cstdint>

#include "common/common.h"

// Writes `grid` (height rows of width samples) to `output_path` as a
// single-image, big-endian, uncompressed TIFF with 1 to 16 bits per sample,
// in strips of at most 8192 bytes (a longer row is a strip by itself), with
// `description` as its ImageDescription when it is not null.
//
// On any failure it does not return: "<output_path> : <message>" on standard
// error, exit status 1, and no partial file is left behind (only a regular
// file this call created or truncated is ever removed).
void store_tiff_image(const char *output_path, int32_t width, int32_t height,
                      int32_t bits_per_sample, const SampleGrid &grid,
                      const char *description);
