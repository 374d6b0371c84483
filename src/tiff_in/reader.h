// Shared only inside src/tiff_in: the reader's state, the strip decoders
// behind it, the reader's leniencies, and what the page's description
// (page.cpp) hands to the rows (reader.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

#include "tiff_in/directory.h"
#include "tiff_in/strip_source.h"
#include "tiff_in/tiff_in.h"

// What the reader accepts beyond the letter of the format, because real
// writers produce it. Each is named here once and used where it applies;
// false there would give the strict reading.
//
// SamplesPerPixel 0, read as one sample.
constexpr bool ACCEPT_NO_SAMPLES_PER_PIXEL = true;
// PlanarConfiguration 2 with one sample per pixel, where it means nothing.
constexpr bool ACCEPT_PLANAR_2_WITH_ONE_SAMPLE = true;
// A BitsPerSample of another count than 1 (one value per sample, where
// SamplesPerPixel says 0 or 1) reads as missing: 1 bit per sample.
constexpr bool ACCEPT_BITS_PER_SAMPLE_ARRAY_AS_MISSING = true;
// Predictor 2 at any depth, not only 8, 16 and 32 bits: differences are
// summed modulo 2 to the power of the depth. Floating-point samples take it
// as libtiff does, on their bit patterns.
constexpr bool ACCEPT_PREDICTOR_AT_ANY_DEPTH = true;
// Tile offsets and byte counts under StripOffsets and StripByteCounts
// where the tile tags are absent: an old tiled layout (libtiff keeps both
// pairs of tags in one table). Where both are present, the tile tags win.
constexpr bool ACCEPT_TILES_IN_STRIP_TAGS = true;
// A Deflate last strip whose stream goes on past the image's last row by
// whole rows, up to RowsPerStrip (GDAL writes such strips): those rows are
// decoded and dropped, and the stream must end right after them. The other
// decoders give their messages for any byte past the rows.
constexpr bool ACCEPT_DEFLATE_ROWS_PAST_THE_IMAGE = true;
// An LZW end code (or a clear code before it) at either width where the
// last table entry raised the width: older writers use the old width,
// libtiff since 2017 the new one.
constexpr bool ACCEPT_LZW_END_CODE_AT_EITHER_WIDTH = true;
// Zero bytes after the byte that holds an LZW strip's end code (the LZW
// encoder behind tifffile pads some strips so).
constexpr bool ACCEPT_LZW_ZERO_PADDING = true;
// Adobe Photoshop's extra byte at the end of an LZW strip: one decoded byte
// beyond the strip's rows just before the end code, dropped.
constexpr bool ACCEPT_LZW_EXTRA_BYTE = true;
// An LZW strip that ends inside its end code once its rows are complete:
// the bits left (none, or fewer than a code) begin the end code, at either
// width where that is accepted (libtiff's own lzw-single-strip.tiff).
constexpr bool ACCEPT_LZW_END_CODE_CUT_OFF = true;

// ---- Strip decoders ----

constexpr size_t ROW_SLACK = 16;

// The three operations through which a strip's decoded bytes are taken:
// begin_strip once the source stands at the strip, whose rows take `bytes`
// decoded bytes; next_bytes for the bytes its rows need, `bytes` in all;
// end_strip after its last row (which checks that the stored data was used
// up exactly; where the last strip is shorter than its RowsPerStrip,
// `spare_rows` rows of `row_bytes` may be decoded first and dropped, by a
// decoder that takes them). next_bytes may write up to ROW_SLACK bytes past
// the `count` it is asked for. Each decoder keeps its state, buffers
// included, in the bytes that state_bytes gives for the page's largest
// strip or tile, taken by the reader once the page's layout is known;
// every strip starts it afresh. A tile is decoded as a strip.
struct StripDecoder {
    size_t (*state_bytes)(uint64_t largest_strip_bytes);
    Message (*begin_strip)(StripSource *source, void *state, uint64_t bytes);
    Message (*next_bytes)(StripSource *source, void *state, uint8_t *dst, size_t count);
    Message (*end_strip)(StripSource *source, void *state, uint32_t spare_rows, size_t row_bytes);
};

extern const StripDecoder uncompressed_decoder;  // uncompressed.cpp
extern const StripDecoder packbits_decoder;      // packbits.cpp
extern const StripDecoder lzw_decoder;           // lzw.cpp
extern const StripDecoder deflate_decoder;       // deflate.cpp

// ---- The reader ----

// Decoded bytes that no row keeps (tile padding, rows only checked) go
// through a scratch of this size, a piece at a time.
constexpr size_t DROP_BYTES = size_t{1} << 14;

// The page's image and how it is stored, fixed when the page opens. Its
// segments are strips of segment_rows rows, or bands: a row of tiles, each
// tile segment_rows rows of tile_width samples.
struct PageGeometry {
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t bits = 0;
    RowKind kind = ROW_SAMPLES;
    size_t bytes_per_row = 0;   // decoded bytes of an image row
    uint32_t segment_rows = 0;  // RowsPerStrip, or TileLength
    uint32_t tile_width = 0;    // 0 for strips
    uint32_t tiles_across = 0;
    uint64_t tile_row_bytes = 0;  // of a whole tile row, padding included
};

// Where the reading of the page stands: the next row, the next strip or
// tile to begin, and the rows of the open segment not read yet (0 between
// segments).
struct RowCursor {
    uint32_t row = 0;
    uint64_t next_block = 0;
    uint32_t rows_left = 0;
};

// Turns `count` samples' decoded bytes into samples, in place where
// `bytes` is the samples' own memory.
using UnpackRow = void (*)(const uint8_t *bytes, uint16_t *samples, uint32_t count, uint32_t bits);
// Turns `count` samples' decoded bytes, at the front of `values`, into
// their values: their bytes reversed first where `swap`, their differences
// summed where `differenced`.
using UnpackValues = void (*)(double *values, uint32_t count, bool swap, bool differenced);

struct TiffReader {
    TiffFile file;
    TiffDirectory directory;
    StripSource source;
    const StripDecoder *decoder = nullptr;
    void *codec = nullptr;  // the decoder's state, kept from page to page while large enough
    size_t codec_size = 0;
    PageGeometry page;
    StripTable offsets, byte_counts;  // of the strips or tiles
    RowCursor cursor;
    // How a row's decoded bytes become samples or values.
    bool swap_bytes = false;  // samples stored in the other byte order than the host's
    uint32_t predictor = 1;   // 1 none, 2 differencing, 3 floating-point byte planes
    UnpackRow unpack = nullptr;          // ROW_SAMPLES
    uint16_t difference_mask = 0;        // ROW_SAMPLES with predictor 2
    UnpackValues unpack_values = nullptr;  // ROW_VALUES
    // The row: width samples or values, whose front also takes the row's
    // decoded bytes.
    uint16_t *row = nullptr;
    double *values = nullptr;
    uint8_t *planes = nullptr;     // predictor 3: a row's (or tile row's) byte planes, as decoded
    uint8_t *band = nullptr;       // tiled pages: the band's rows inside the image, tile after tile
    uint8_t *scratch = nullptr;    // DROP_BYTES and slack, for bytes no row keeps
    uint16_t *zero_row = nullptr;  // the row of 0-bit images, once one is read
    void *buffers = nullptr;  // the one block behind the row, the scratch and the read-ahead
    size_t buffers_size = 0;  // kept from page to page while large enough
};

// ---- Unpacking (unpack.cpp) ----

// How samples of up to 16 bits are unpacked.
UnpackRow choose_unpack(uint32_t bits, bool swap_bytes);
// How samples of a format read as values are unpacked; null for a format
// not read.
UnpackValues choose_unpack_values(uint32_t format, uint32_t bits);
// Each sample was stored as its difference from the one on its left.
void undo_differencing(uint16_t *row, uint32_t width, uint16_t mask);
// Floating-point predictor: a row of `samples` samples of `size` bytes
// stored as byte planes, the most significant first, differenced byte by
// byte along the whole row. Sums the planes in place and puts the first
// `kept` samples into `dst` in the file's byte order.
void undo_float_predictor(uint8_t *planes, uint32_t samples, uint32_t size, uint8_t *dst, uint32_t kept,
                          bool big_endian);

// ---- The page's description (page.cpp) ----

// Reads the header and counts the pages, with the file open in r->file.
Message open_file(TiffReader *r, uint32_t *pages);
// Reads the page whose directory is r->directory.ifd: its tags, its
// description (*description, or null), its buffers and its strip or tile
// tables, with the cursor at the first row.
Message read_page(TiffReader *r, char **description);
// Releases what a page holds but the buffers, which the next may use.
void release_page(TiffReader *r);
