// Reading single-channel TIFF images row by row, page by page: one sample
// per pixel, unsigned integers of 0 to 16 and 32 bits, signed integers of 8,
// 16 and 32 bits, floating point of 16, 32 and 64 bits; in strips or tiles,
// either byte order, classic TIFF or BigTIFF, uncompressed, LZW, PackBits or
// Deflate, with or without a predictor, fill order 1 or 2. Unsigned samples
// of up to 16 bits come out as unsigned 16-bit values; every other format
// as the samples' values in doubles, each exact. The pages of a file are the
// images of its main directory chain, the first always and then every one
// that is not a reduced-resolution image or a mask; the directories' SubIFDs
// are not followed.
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

// What a page's rows hold.
enum RowKind : uint8_t {
    ROW_SAMPLES,  // unsigned samples of up to 16 bits, in `row`
    ROW_VALUES,   // the values of samples of any other format, in `values`
};

struct TiffInput {
    const char *path = nullptr;
    uint32_t pages = 0;  // in the file, from 1
    uint32_t page = 0;   // the page being read, from 1; where a failure was met
    // The page's image:
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t bits = 0;
    RowKind kind = ROW_SAMPLES;
    char *description = nullptr;  // ImageDescription's bytes and one more NUL, or null
    // The last row read, width samples or values: the one of its kind.
    uint16_t *row = nullptr;
    double *values = nullptr;
    Message failure = MSG_NONE;   // the first failure, once met
    TiffReader *reader = nullptr;
};

// The last row read, of the input's kind, and the bytes of one of its
// samples there.
inline const void *last_row(const TiffInput *in)
{
    return in->kind == ROW_VALUES ? static_cast<const void *>(in->values) : in->row;
}
inline uint32_t row_sample_bytes(const TiffInput *in)
{
    return in->kind == ROW_VALUES ? sizeof(double) : sizeof(uint16_t);
}

// Opens `path`, counts its pages, and opens the first: reads its tags, its
// description and its strip tables' places, and takes the buffers its rows
// need. On failure the file is closed again.
Message open_tiff_input(TiffInput *in, const char *path);

// Reads the page's next row into in->row; at most `height` times a page.
Message read_tiff_row(TiffInput *in);

// Reads the page's rows not read yet for their errors only: strips are
// decoded and checked, samples are not unpacked.
Message skip_tiff_rows(TiffInput *in);

// Opens the next page, while page < pages, as open_tiff_input opens the
// first.
Message next_tiff_page(TiffInput *in);

// Starts the page's rows again from the first.
Message rewind_tiff_page(TiffInput *in);

// Closes the file and releases everything the input holds.
void close_tiff_input(TiffInput *in);
