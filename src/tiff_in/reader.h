// Shared only inside src/tiff_in: the reader's own state, nested by concern
// (directory access, the strip layout, the stored-byte source, the codec),
// the functions of each, the strip decoders and the reader's leniencies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

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
// Predictor 2 at any depth, not only 8 and 16 bits: differences are summed
// modulo 2 to the power of the depth.
constexpr bool ACCEPT_PREDICTOR_AT_ANY_DEPTH = true;
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

// ---- Directory access ----

// The file in its byte order and the directory being read. The directory
// and every value the reader takes from outside its entry are checked to lie
// in the file; past its end, bytes read as all ones. A BigTIFF differs only
// in its widths: 8-byte entry counts, value counts, value fields and
// offsets, so 20-byte entries.
struct TiffDirectory {
    std::FILE *stream = nullptr;
    uint64_t file_size = 0;
    uint32_t (*read_u16)(std::FILE *) = nullptr;
    uint32_t (*read_u32)(std::FILE *) = nullptr;
    uint64_t (*read_u64)(std::FILE *) = nullptr;
    bool big = false;  // BigTIFF
    uint64_t ifd = 0;  // the directory's file offset
};

// A value count, a value field's offset or a directory offset: 4 bytes, or
// 8 in a BigTIFF.
inline uint64_t read_wide(TiffDirectory *dir)
{
    return dir->big ? dir->read_u64(dir->stream) : dir->read_u32(dir->stream);
}
// The bytes of an entry's value field.
inline uint32_t value_field_bytes(const TiffDirectory *dir)
{
    return dir->big ? 8 : 4;
}

// Positions a stream at a file offset, in steps that a long holds: a
// number of steps that grows with the offset, so only for offsets in the
// file. False when that fails.
bool seek_file(std::FILE *stream, uint64_t offset);
// The size of the file behind a stream; 0 where it cannot be told.
uint64_t stream_size(std::FILE *stream);
// Whether `count` bytes from `offset` on lie in the file.
inline bool in_file(const TiffDirectory *dir, uint64_t offset, uint64_t count)
{
    return offset <= dir->file_size && count <= dir->file_size - offset;
}
// MSG_END_OF_FILE unless the directory's entry count, its entries and its
// next-directory offset all lie in the file.
Message check_directory_in_file(TiffDirectory *dir);

// The file's directories are a chain from the header's offset on. It ends
// at a next-directory offset of 0, at one at or beyond the end of the file,
// after a directory that does not lie in the file, or where it comes back
// to a directory already met.
//
// The offset of the directory after the one at `ifd`, or 0 where the chain
// ends there.
uint64_t next_directory(TiffDirectory *dir, uint64_t ifd);
// The number of directories in the chain that starts at `first`.
uint32_t chain_length(TiffDirectory *dir, uint64_t first);
// Whether the directory at `ifd` after the first is a page: not one of a
// reduced-resolution image or a transparency mask (NewSubfileType bit 0 or
// 2), such as thumbnails, previews, masks and pyramid levels.
bool is_page(TiffDirectory *dir, uint64_t ifd);

// Byte-order readers; 16-bit results are 0 to 65535.
uint32_t read_u16_le(std::FILE *stream);
uint32_t read_u32_le(std::FILE *stream);
uint32_t read_u16_be(std::FILE *stream);
uint32_t read_u32_be(std::FILE *stream);
uint64_t read_u64_le(std::FILE *stream);
uint64_t read_u64_be(std::FILE *stream);

// Lookups in the directory. Each scans it afresh. find_tag returns the
// entry's field type (0 when missing) and leaves the stream at the entry's
// value count. get_tag_integer takes a single BYTE, SHORT or LONG value;
// any other type or count gives the default.
uint16_t find_tag(TiffDirectory *dir, uint16_t tag);
uint32_t get_tag_integer(TiffDirectory *dir, uint16_t tag, uint32_t default_value);

// A table of SHORT, LONG or (in a BigTIFF) LONG8 values, strip or tile
// offsets or byte counts, read from the file a window of entries at a time
// as the strips are reached.
struct StripTable {
    uint16_t type = 0;
    uint64_t count = 0;      // entries in the table
    uint64_t values_at = 0;  // file offset of entry 0
    uint64_t *window = nullptr;
    uint32_t capacity = 0;  // entries the window holds
    uint64_t first = 0;     // entry number of window[0]
    uint32_t filled = 0;    // entries of the window read
};

// Locates a table of `count` values: 0 on success, 1 when missing or of
// another type, 2 when the entry's count differs, 3 when the values do not
// all lie in the file.
int find_tag_table(TiffDirectory *dir, uint16_t tag, uint64_t count, StripTable *table);
// Entry `index` of a located table, read with the window around it.
uint64_t strip_table_entry(TiffDirectory *dir, StripTable *table, uint64_t index);

// ---- Strip layout ----

// Where the strips or tiles are, and the one place that decides where a
// strip begins and ends: the rows of the current strip still to be read.
// A tiled page is read a row of tiles (a band) at a time: each tile is
// decoded as a strip of tile_length rows of tile_width samples, and the
// part inside the image kept in `band`; rows_left then counts the band's.
struct StripLayout {
    uint32_t rows_per_strip = 0;  // tile_length for tiles
    StripTable offsets, byte_counts;
    uint64_t next = 0;       // the strip or tile to begin next
    uint32_t rows_left = 0;  // of the current strip or band; 0 between them
    // Tiled pages only:
    uint32_t tile_width = 0;  // 0 for strips
    uint32_t tiles_across = 0;
    uint64_t tile_row_bytes = 0;  // of a whole tile row, padding included
    uint8_t *band = nullptr;    // the band's rows inside the image, tile after tile
};

// ---- The stored-byte source ----

// The current strip's stored bytes, read ahead in blocks and mapped by the
// fill order before a decoder sees them: those read ahead, from `next` to
// `end`, and `budget` more still in the file.
struct StripSource {
    std::FILE *stream = nullptr;
    uint64_t file_size = 0;
    bool reverse_bits = false;  // FillOrder 2
    uint8_t *ahead = nullptr;   // AHEAD_BYTES
    const uint8_t *next = nullptr;
    const uint8_t *end = nullptr;
    uint64_t budget = 0;
};

constexpr size_t AHEAD_BYTES = size_t{1} << 16;

// Positions the source at a strip of byte_count stored bytes, with nothing
// read ahead.
void begin_strip_source(StripSource *source, uint64_t offset, uint64_t byte_count);
// Stored bytes of the strip not yet taken.
inline uint64_t strip_bytes_left(const StripSource *source)
{
    return source->budget + static_cast<uint64_t>(source->end - source->next);
}
// Reads the next block ahead; false when the strip or the file has no more.
bool refill_strip_source(StripSource *source);
// The next stored byte, or -1 at the end of the file.
inline int read_strip_byte(StripSource *source)
{
    if (source->next == source->end && !refill_strip_source(source))
        return -1;
    return *source->next++;
}
// Takes `count` stored bytes into dst: fails with `too_few` when the
// strip's byte count runs out first, with `end_of_file` when the file does.
Message take_strip_bytes(StripSource *source, uint8_t *dst, size_t count, Message too_few, Message end_of_file);
// The strip's stored bytes left after a compressed stream: `too_many` at
// the first that is not zero (or at any, where zeros are not allowed),
// `end_of_file` where the file ends first.
Message check_padding(StripSource *source, bool zeros_allowed, Message too_many, Message end_of_file);

// ---- Strip decoders ----

constexpr size_t ROW_SLACK = 16;

// The three operations through which a strip's decoded bytes are taken:
// begin_strip once the source stands at the strip, next_bytes for the bytes
// its rows need, end_strip after its last row (which checks that the stored
// data was used up exactly). next_bytes may write up to ROW_SLACK bytes
// past the `count` it is asked for. Each decoder keeps its state, buffers
// included, in `state_bytes` that the reader takes with the input's other
// buffers; every strip starts it afresh.
struct StripDecoder {
    size_t state_bytes;
    Message (*begin_strip)(StripSource *source, void *state);
    Message (*next_bytes)(StripSource *source, void *state, uint8_t *dst, size_t count);
    Message (*end_strip)(StripSource *source, void *state);
};

extern const StripDecoder uncompressed_decoder;  // uncompressed.cpp
extern const StripDecoder packbits_decoder;      // packbits.cpp
extern const StripDecoder lzw_decoder;           // lzw.cpp
extern const StripDecoder deflate_decoder;       // deflate.cpp

// ---- The reader ----

struct TiffReader {
    TiffDirectory directory;
    StripLayout strips;
    StripSource source;
    const StripDecoder *decoder = nullptr;
    void *codec = nullptr;  // the decoder's state
    // How a row's decoded bytes become samples.
    size_t bytes_per_row = 0;
    bool swap_bytes = false;  // 16-bit samples stored in the other byte order than the host's
    uint16_t difference_mask = 0;
    uint32_t next_row = 0;
    void *buffers = nullptr;  // the one block behind the row, the read-ahead and the codec
    size_t buffers_size = 0;  // kept from page to page while large enough
    uint16_t *zero_row = nullptr;  // the row of 0-bit images, once one is read
};
