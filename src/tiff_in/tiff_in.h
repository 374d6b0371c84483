// Reading single-channel TIFF images row by row: the first image of a file,
// one sample per pixel, 0 to 16 bits per sample, in strips, either byte
// order, uncompressed, LZW or PackBits, with or without horizontal
// differencing. Every sample comes out as an unsigned 16-bit value.
//
// Each open input has its own TiffInput; nothing is shared between inputs.
// Every function returns the first failure as a Message (MSG_NONE on
// success) and never ends the process; an input message names in->path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "common/common.h"

struct TiffInput;

constexpr size_t ROW_SLACK = 16;

// The three operations through which a strip's decoded bytes are taken:
// begin_strip before its first row, next_bytes for the bytes its rows need,
// end_strip after its last row (which checks that the stored data was used
// up exactly). One set per compression method. next_bytes may write up to
// ROW_SLACK bytes past the `count` it is asked for.
struct StripDecoder {
    Message (*begin_strip)(TiffInput *in, uint32_t offset, uint32_t byte_count);
    Message (*next_bytes)(TiffInput *in, uint8_t *dst, size_t count);
    Message (*end_strip)(TiffInput *in);
};

// A strip table (offsets or byte counts), read from the file a window of
// entries at a time as the strips are reached.
struct StripTable {
    uint16_t type = 0;       // 3 SHORT or 4 LONG
    uint64_t values_at = 0;  // file offset of entry 0
    uint32_t *window = nullptr;
    uint32_t capacity = 0;  // entries the window holds
    uint32_t first = 0;     // entry number of window[0]
    uint32_t filled = 0;    // entries of the window read
};

struct LzwEntry;

struct TiffInput {
    // What open_tiff_input found; the caller may read these.
    const char *path = nullptr;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t bits = 0;
    char *description = nullptr;  // ImageDescription's bytes and one more NUL, or null
    uint16_t *row = nullptr;      // the last row read: width samples

    // The reader's own state.
    std::FILE *stream = nullptr;
    uint32_t (*read_u16)(std::FILE *) = nullptr;  // the file's byte order; past
    uint32_t (*read_u32)(std::FILE *) = nullptr;  // its end, bytes read as all ones
    uint32_t ifd = 0;
    bool swap_bytes = false;  // 16-bit samples stored in the other byte order than the host's
    uint16_t difference_mask = 0;
    uint32_t fill_order = 1;
    const StripDecoder *decoder = nullptr;
    uint32_t rows_per_strip = 0;
    uint32_t strip_count = 0;
    StripTable offsets, byte_counts;
    uint32_t next_row = 0;
    size_t bytes_per_row = 0;

    // The current strip's stored bytes not yet consumed by the decoder: those
    // read ahead, between `ahead_next` and `ahead_end` and mapped by the fill
    // order, and `budget` more still in the file.
    uint32_t budget = 0;
    const uint8_t *ahead_next = nullptr;
    const uint8_t *ahead_end = nullptr;
    uint8_t *ahead = nullptr;  // the read-ahead buffer

    // The decoders' state; every strip starts it afresh.
    int32_t run_count = 0;  // PackBits: literal bytes (> 0) or repeats (< 0) still to give
    uint8_t repeat_byte = 0;
    uint64_t bit_buffer = 0;  // LZW: code bits, the next one at the top
    int bits_held = 0;
    int code_width = 9;
    int next_code = 0;
    size_t history_end = 0;   // bytes decoded since the last clear code
    size_t history_read = 0;  // of which handed out
    LzwEntry *table = nullptr;
    uint8_t *history = nullptr;

    void *buffers = nullptr;  // the one block behind row, ahead, table and history
};

// Opens `path` and reads its header and tags, its description and its strip
// tables' places, and takes the buffers its rows need. On failure the input
// is closed again.
Message open_tiff_input(TiffInput *in, const char *path);

// Reads the next row into in->row.
Message read_tiff_row(TiffInput *in);

// Reads the rows not read yet for their errors only: strips are decoded and
// checked, samples are not unpacked.
Message skip_tiff_rows(TiffInput *in);

// Closes the file and releases everything the input holds.
void close_tiff_input(TiffInput *in);

// The whole image at `path` in a grid (for tests and tools). `bits` and
// `description` may be null; a returned description belongs to the caller.
Message load_tiff_image(const char *path, SampleGrid *grid, uint32_t *bits, char **description);
