// Shared only inside src/tiff_in: the open file, and access to its
// directories in the file's byte order.
#pragma once

#include <cstdint>
#include <cstdio>

#include "common/common.h"

// The input's stream and its size: one per open input, owned by the reader
// and read through by the directory access and the strip source.
struct TiffFile {
    std::FILE *stream = nullptr;
    uint64_t size = 0;
};

// Positions a stream at a file offset, in steps that a long holds: a
// number of steps that grows with the offset, so only for offsets in the
// file. False when that fails.
bool seek_file(std::FILE *stream, uint64_t offset);
// The size of the file behind a stream; 0 where it cannot be told.
uint64_t stream_size(std::FILE *stream);

// Byte-order readers; 16-bit results are 0 to 65535.
uint32_t read_u16_le(std::FILE *stream);
uint32_t read_u32_le(std::FILE *stream);
uint32_t read_u16_be(std::FILE *stream);
uint32_t read_u32_be(std::FILE *stream);
uint64_t read_u64_le(std::FILE *stream);
uint64_t read_u64_be(std::FILE *stream);

// The file in its byte order and the directory being read. The directory
// and every value the reader takes from outside its entry are checked to lie
// in the file; past its end, bytes read as all ones. A BigTIFF differs only
// in its widths: 8-byte entry counts, value counts, value fields and
// offsets, so 20-byte entries.
struct TiffDirectory {
    TiffFile *file = nullptr;
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
    return dir->big ? dir->read_u64(dir->file->stream) : dir->read_u32(dir->file->stream);
}
// The bytes of an entry's value field.
inline uint32_t value_field_bytes(const TiffDirectory *dir)
{
    return dir->big ? 8 : 4;
}
// Whether `count` bytes from `offset` on lie in the file.
inline bool in_file(const TiffDirectory *dir, uint64_t offset, uint64_t count)
{
    return offset <= dir->file->size && count <= dir->file->size - offset;
}
// MSG_END_OF_FILE unless the directory's entry count, its entries and its
// next-directory offset all lie in the file.
Message check_directory_in_file(TiffDirectory *dir);

// The file's directories are a chain from the header's offset on. It ends
// at a next-directory offset of 0, after a directory that does not lie in
// the file, or where it comes back to a directory already met. An offset at
// or beyond the end of the file is a directory that the file was cut
// before: it counts as a page, refused when read.
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
