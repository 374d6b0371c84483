// Reading single-channel TIFF images into sample grids.
#pragma once

#include <cstdint>

#include "common/common.h"

// Loads the first image of the TIFF file at `path`: one sample per pixel, 0 to
// 16 bits per sample, in strips, either byte order, uncompressed, LZW or
// PackBits, with or without horizontal differencing.
//
// Every out-parameter may be null. A null `description` skips the
// ImageDescription; a null `grid` skips the sample data. `*description`
// receives a heap buffer (the ImageDescription's bytes and one more NUL) or
// null when the file has none. Whatever is returned belongs to the caller.
//
// Any error in the file ends the process: "<path> : <message>" on standard
// error and exit status 1. On return the file is closed.
void load_tiff_image(const char *path, int32_t *width, int32_t *height,
                     int32_t *bits_per_sample, SampleGrid *grid,
                     char **description);

#if defined(IMGRATIO_FUZZING)
// Closes the input of a load that a fatal error abandoned.
void abandon_load();
#endif
