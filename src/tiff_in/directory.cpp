// Byte-order aware integer reads and IFD lookups. Nothing is cached: every
// lookup scans the directory from its start. The directory is checked to
// lie in the file before any lookup; values beyond the end that a lookup
// still meets (those of tags the reader does not use) read as all-ones bytes.
#if defined(__unix__) || defined(__APPLE__)
#include <sys/stat.h>
#endif

#include "tiff_in/directory.h"

bool seek_file(std::FILE *stream, uint64_t offset)
{
    // A long may be only 32 bits wide: move in steps that always fit one.
    constexpr uint64_t step = 0x40000000;
    int origin = SEEK_SET;
    bool ok = true;
    for (; offset > step; offset -= step, origin = SEEK_CUR)
        ok = std::fseek(stream, static_cast<long>(step), origin) == 0 && ok;
    return std::fseek(stream, static_cast<long>(offset), origin) == 0 && ok;
}

uint64_t stream_size(std::FILE *stream)
{
#if defined(__unix__) || defined(__APPLE__)
    struct stat st;
    if (fstat(fileno(stream), &st) == 0 && S_ISREG(st.st_mode))
        return static_cast<uint64_t>(st.st_size);
    return 0;
#else
    long here = std::ftell(stream);
    if (here < 0 || std::fseek(stream, 0, SEEK_END) != 0)
        return 0;
    long end = std::ftell(stream);
    std::fseek(stream, here, SEEK_SET);
    return end < 0 ? 0 : static_cast<uint64_t>(end);
#endif
}

namespace {

// getc's -1 at the end of the file becomes all 32 bits set, so it fills every
// bit of the value it is combined into.
uint32_t read_raw_byte(std::FILE *stream)
{
    return static_cast<uint32_t>(std::getc(stream));
}

// Reading past the bytes costs no system call, unlike a relative seek; past
// the end of the file both leave every later read at -1.
void skip_bytes(std::FILE *stream, size_t count)
{
    unsigned char scratch[32];
    size_t got = std::fread(scratch, 1, count, stream);
    (void)got;
}

}  // namespace

uint32_t read_u16_le(std::FILE *stream)
{
    uint32_t b0 = read_raw_byte(stream);
    uint32_t b1 = read_raw_byte(stream);
    return (b0 | (b1 << 8)) & 0xFFFF;
}

uint32_t read_u32_le(std::FILE *stream)
{
    uint32_t lo = read_u16_le(stream);
    uint32_t hi = read_u16_le(stream);
    return lo | (hi << 16);
}

uint32_t read_u16_be(std::FILE *stream)
{
    uint32_t b0 = read_raw_byte(stream);
    uint32_t b1 = read_raw_byte(stream);
    return ((b0 << 8) | b1) & 0xFFFF;
}

uint32_t read_u32_be(std::FILE *stream)
{
    uint32_t hi = read_u16_be(stream);
    uint32_t lo = read_u16_be(stream);
    return (hi << 16) | lo;
}

uint64_t read_u64_le(std::FILE *stream)
{
    uint64_t lo = read_u32_le(stream);
    return lo | (uint64_t{read_u32_le(stream)} << 32);
}

uint64_t read_u64_be(std::FILE *stream)
{
    uint64_t hi = read_u32_be(stream);
    return (hi << 32) | read_u32_be(stream);
}

namespace {

// A directory's entry count, where the stream stands at it: 2 bytes, or 8
// in a BigTIFF.
uint64_t read_entry_count(TiffDirectory *dir)
{
    return dir->big ? dir->read_u64(dir->file->stream) : dir->read_u16(dir->file->stream);
}

// Where the next-directory offset of the directory at `ifd` stands, or 0
// when the directory (entry count, entries, that offset) is not all in the
// file.
uint64_t next_offset_field(TiffDirectory *dir, uint64_t ifd)
{
    uint32_t count_bytes = dir->big ? 8 : 2, entry_bytes = dir->big ? 20 : 12;
    if (!in_file(dir, ifd, count_bytes))
        return 0;
    seek_file(dir->file->stream, ifd);
    uint64_t entries = read_entry_count(dir);
    if (entries > dir->file->size / entry_bytes)
        return 0;
    uint64_t field = ifd + count_bytes + entry_bytes * entries;
    return in_file(dir, field, value_field_bytes(dir)) ? field : 0;
}

}  // namespace

Message check_directory_in_file(TiffDirectory *dir)
{
    return next_offset_field(dir, dir->ifd) != 0 ? MSG_NONE : MSG_END_OF_FILE;
}

uint64_t next_directory(TiffDirectory *dir, uint64_t ifd)
{
    uint64_t next_at = ifd == 0 ? 0 : next_offset_field(dir, ifd);
    if (next_at == 0)
        return 0;
    seek_file(dir->file->stream, next_at);
    return read_wide(dir);
}

uint32_t chain_length(TiffDirectory *dir, uint64_t first)
{
    // Brent's cycle finding, in constant memory and time bounded by the
    // chain's length: 0, which ends the chain, is its own successor.
    if (first == 0)
        return 1;
    auto step = [dir](uint64_t ifd) { return next_directory(dir, ifd); };
    uint32_t power = 1, cycle = 1;
    uint64_t tortoise = first, hare = step(first);
    while (tortoise != hare) {
        if (power == cycle) {
            tortoise = hare;
            power *= 2;
            cycle = 0;
        }
        hare = step(hare);
        ++cycle;
    }
    // The first directory met again is `cycle` directories after itself.
    tortoise = hare = first;
    for (uint32_t i = 0; i < cycle; ++i)
        hare = step(hare);
    uint32_t before_cycle = 0;
    while (tortoise != hare) {
        tortoise = step(tortoise);
        hare = step(hare);
        ++before_cycle;
    }
    return tortoise == 0 ? before_cycle : before_cycle + cycle;
}

bool is_page(TiffDirectory *dir, uint64_t ifd)
{
    uint64_t current = dir->ifd;
    dir->ifd = ifd;
    // A directory not in the file is read as a page, and refused as one.
    bool page = check_directory_in_file(dir) != MSG_NONE || (get_tag_integer(dir, TAG_NEW_SUBFILE_TYPE, 0) & 5) == 0;
    dir->ifd = current;
    return page;
}

uint16_t find_tag(TiffDirectory *dir, uint16_t tag)
{
    seek_file(dir->file->stream, dir->ifd);
    uint64_t entries = read_entry_count(dir);
    for (uint64_t i = 0; i < entries; ++i) {
        if (dir->read_u16(dir->file->stream) == tag)
            return static_cast<uint16_t>(dir->read_u16(dir->file->stream));
        // Past the end every entry reads as tag 65535: no other tag can follow.
        if (std::feof(dir->file->stream) && tag != 0xFFFF)
            return 0;
        skip_bytes(dir->file->stream, dir->big ? 18 : 10);
    }
    return 0;
}

uint32_t get_tag_integer(TiffDirectory *dir, uint16_t tag, uint32_t default_value)
{
    uint16_t type = find_tag(dir, tag);
    if (type != TYPE_BYTE && type != TYPE_SHORT && type != TYPE_LONG)
        return default_value;
    if (read_wide(dir) != 1)
        return default_value;
    // A single value stands at the start of the value field.
    if (type == TYPE_BYTE)
        return static_cast<uint32_t>(std::getc(dir->file->stream)) & 0xFF;
    return type == TYPE_SHORT ? dir->read_u16(dir->file->stream) : dir->read_u32(dir->file->stream);
}

namespace {

uint32_t table_value_bytes(uint16_t type)
{
    return type == TYPE_SHORT ? 2 : type == TYPE_LONG ? 4 : 8;
}

}  // namespace

int find_tag_table(TiffDirectory *dir, uint16_t tag, uint64_t count, StripTable *table)
{
    uint16_t type = find_tag(dir, tag);
    if (type != TYPE_SHORT && type != TYPE_LONG && !(type == TYPE_LONG8 && dir->big))
        return 1;
    if (read_wide(dir) != count)
        return 2;
    // Values that fit in the value field stand in it; else the field holds
    // their offset.
    table->type = type;
    table->count = count;
    uint32_t value_bytes = table_value_bytes(type);
    if (count > value_field_bytes(dir) / value_bytes)
        table->values_at = read_wide(dir);
    else
        table->values_at = static_cast<uint64_t>(std::ftell(dir->file->stream));
    // The whole table, though it is read a window at a time. A count that
    // large is beyond any file.
    if (count > dir->file->size)
        return 3;
    return in_file(dir, table->values_at, count * value_bytes) ? 0 : 3;
}

uint64_t strip_table_entry(TiffDirectory *dir, StripTable *table, uint64_t index)
{
    if (index - table->first >= table->filled) {
        uint32_t value_bytes = table_value_bytes(table->type);
        uint64_t wanted = table->count - index < table->capacity ? table->count - index : table->capacity;
        table->first = index;
        table->filled = 0;
        seek_file(dir->file->stream, table->values_at + value_bytes * index);
        // Past the end of the file every further value reads as all ones.
        while (table->filled < wanted && !std::feof(dir->file->stream)) {
            uint64_t value = value_bytes == 2   ? dir->read_u16(dir->file->stream)
                             : value_bytes == 4 ? dir->read_u32(dir->file->stream)
                                                : dir->read_u64(dir->file->stream);
            table->window[table->filled++] = value;
        }
        while (table->filled < wanted)
            table->window[table->filled++] = UINT64_MAX >> (64 - 8 * value_bytes);
    }
    return table->window[index - table->first];
}
