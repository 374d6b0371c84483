// Reading single-channel TIFF images row by row: the first image of a file,
// one sample per pixel, 0 to 16 bits per sample, in strips, either byte
// order, uncompressed, LZW or PackBits, with or without horizontal
// differencing. Every sample comes out as an unsigned 16-bit value.
//
// Each open input has its own TiffInput; nothing is shared between inputs.
// Every function returns the first failure as a Message (MSG_NONE on
// success) and never ends the process; an input message names in->path.
// An input that has failed stays failed: every later call returns the same
// message.
#pragma once

#include <cstdint>

#include "common/common.h"

struct TiffReader;  // the reader's own state, private to src/tiff_in

struct TiffInput {
    const char *path = nullptr;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t bits = 0;
    char *description = nullptr;  // ImageDescription's bytes and one more NUL, or null
    uint16_t *row = nullptr;      // the last row read: width samples
    Message failure = MSG_NONE;   // the first failure, once met
    TiffReader *reader = nullptr;
};

// Opens `path` and reads its header and tags, its description and its strip
// tables' places, and takes the buffers its rows need. On failure the file
// is closed again.
Message open_tiff_input(TiffInput *in, const char *path);

// Reads the next row into in->row; at most `height` times.
Message read_tiff_row(TiffInput *in);

// Reads the rows not read yet for their errors only: strips are decoded and
// checked, samples are not unpacked.
Message skip_tiff_rows(TiffInput *in);

// Closes the file and releases everything the input holds.
void close_tiff_input(TiffInput *in);

// The whole image at `path` in a grid (for tests and tools). `bits` and
// `description` may be null; a returned description belongs to the caller.
Message load_tiff_image(const char *path, SampleGrid *grid, uint32_t *bits, char **description);
