// Shared only inside src/tiff_in: directory access, the strip byte source
// and the strip decoders, all working on one input's TiffInput.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tiff_in/tiff_in.h"

// What the reader accepts beyond the letter of the format, because real
// writers produce it:
// - PlanarConfiguration 2 with one sample per pixel, where it means nothing;
// - an LZW end code (or a clear code before it) at either width when the
//   last table entry raised the width: older writers use the old width,
//   libtiff since 2017 the new one;
// - zero bytes after the byte that holds an LZW strip's end code;
// - Adobe Photoshop's extra byte at the end of an LZW strip: one decoded
//   byte beyond the strip's rows just before the end code, dropped.

// Positions the input stream at a file offset; false when that fails.
bool seek_input(TiffInput *in, uint64_t offset);

// Byte-order readers; 16-bit results are 0 to 65535.
uint32_t read_u16_le(std::FILE *stream);
uint32_t read_u32_le(std::FILE *stream);
uint32_t read_u16_be(std::FILE *stream);
uint32_t read_u32_be(std::FILE *stream);

// Directory lookups in the input's IFD. Each scans the directory afresh.
// find_tag returns the entry's field type (0 when missing) and leaves the
// stream at the entry's value count.
uint16_t find_tag(TiffInput *in, uint16_t tag);
uint32_t get_tag_integer(TiffInput *in, uint16_t tag, uint32_t default_value);
uint16_t get_tag_short(TiffInput *in, uint16_t tag, uint16_t default_value);
// Locates a SHORT or LONG array of expected_count values: 0 on success, 1
// when missing or of another type, 2 when the count differs.
int find_tag_array(TiffInput *in, uint16_t tag, uint32_t expected_count, StripTable *table);
// Entry `index` of a located table, read with the window around it.
uint32_t strip_table_entry(TiffInput *in, StripTable *table, uint32_t index);

// The strip byte source. begin_strip_input positions the stream at a strip
// of byte_count stored bytes; the reads below take its bytes in order,
// mapped by the fill order.
void begin_strip_input(TiffInput *in, uint32_t offset, uint32_t byte_count);
// Stored bytes of the strip not yet taken.
inline uint32_t strip_bytes_left(const TiffInput *in)
{
    return in->budget + static_cast<uint32_t>(in->ahead_end - in->ahead_next);
}
bool refill_strip_input(TiffInput *in);
// The next stored byte, or -1 at the end of the file.
inline int read_strip_byte(TiffInput *in)
{
    if (in->ahead_next == in->ahead_end && !refill_strip_input(in))
        return -1;
    return *in->ahead_next++;
}
// Takes `count` stored bytes into dst: fails with `too_few` when the
// strip's byte count runs out first, with `end_of_file` when the file does.
Message take_strip_bytes(TiffInput *in, uint8_t *dst, size_t count, Message too_few, Message end_of_file);

constexpr size_t AHEAD_BYTES = size_t{1} << 16;
constexpr size_t LZW_TABLE_BYTES = 4097 * 8;
// The bytes decoded since the last clear code, which the table's strings
// point into: after the 256 single bytes (and slack), at most one string's
// bytes not yet handed out and the 3839 strings of one table, of at most 1
// to 3839 bytes, and slack for copies in 8-byte blocks. Pages of it are
// touched only as they are used.
constexpr size_t LZW_HISTORY_BYTES = 256 + 16 + size_t{3839} * 3840 / 2 + 3840 + 64;

extern const StripDecoder uncompressed_decoder;
extern const StripDecoder packbits_decoder;
extern const StripDecoder lzw_decoder;
