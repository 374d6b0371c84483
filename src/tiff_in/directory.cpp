// Byte-order aware integer reads and IFD lookups. Nothing is cached: every
// lookup scans the directory from its start. Reads past the end of the file
// give all-ones bytes, so a directory beyond the end reads as 65535 entries
// of tag 65535 and every lookup finds nothing.
#include <cstdlib>

#include "common/common.h"
#include "tiff_in/reader.h"

ReaderState reader;

void report_input_error(const char *message)
{
    fatal_path_message(reader.path, message);
}

bool seek_input(uint32_t offset)
{
    // A long may be only 32 bits wide: move in steps that always fit one.
    constexpr uint32_t step = 0x40000000;
    int origin = SEEK_SET;
    bool ok = true;
    for (; offset > step; offset -= step, origin = SEEK_CUR)
        ok = std::fseek(reader.stream, static_cast<long>(step), origin) == 0 && ok;
    return std::fseek(reader.stream, static_cast<long>(offset), origin) == 0 && ok;
}

int read_strip_byte()
{
    int c = std::getc(reader.stream);
    return c < 0 ? -1 : reader.strip_byte_map[c];
}

namespace {

// getc's -1 at the end of the file becomes all 32 bits set, so it fills every
// bit of the value it is combined into.
uint32_t read_raw_byte()
{
    return static_cast<uint32_t>(std::getc(reader.stream));
}

void skip_bytes(long count)
{
    std::fseek(reader.stream, count, SEEK_CUR);
}

}  // namespace

uint32_t read_u16_le()
{
    uint32_t b0 = read_raw_byte();
    uint32_t b1 = read_raw_byte();
    return (b0 | (b1 << 8)) & 0xFFFF;
}

uint32_t read_u32_le()
{
    uint32_t lo = read_u16_le();
    uint32_t hi = read_u16_le();
    return lo | (hi << 16);
}

uint32_t read_u16_be()
{
    uint32_t b0 = read_raw_byte();
    uint32_t b1 = read_raw_byte();
    return ((b0 << 8) | b1) & 0xFFFF;
}

uint32_t read_u32_be()
{
    uint32_t hi = read_u16_be();
    uint32_t lo = read_u16_be();
    return (hi << 16) | lo;
}

uint16_t find_tag(uint32_t ifd, uint16_t tag)
{
    seek_input(ifd);
    uint32_t entries = reader.read_u16();
    for (uint32_t i = 0; i < entries; ++i) {
        if (reader.read_u16() == tag)
            return static_cast<uint16_t>(reader.read_u16());
        skip_bytes(10);
    }
    return 0;
}

uint32_t get_tag_integer(uint32_t ifd, uint16_t tag, uint32_t default_value)
{
    uint16_t type = find_tag(ifd, tag);
    if (type != 3 && type != 4)
        return default_value;
    if (reader.read_u32() != 1)
        return default_value;
    return type == 3 ? reader.read_u16() : reader.read_u32();
}

uint16_t get_tag_short(uint32_t ifd, uint16_t tag, uint16_t default_value)
{
    if (find_tag(ifd, tag) != 3 || reader.read_u32() != 1)
        return default_value;
    return static_cast<uint16_t>(reader.read_u16());
}

int get_tag_array(uint32_t ifd, uint16_t tag, uint32_t expected_count,
                  uint32_t *values)
{
    uint16_t type = find_tag(ifd, tag);
    if (type != 3 && type != 4)
        return 1;
    if (reader.read_u32() != expected_count)
        return 2;
    // Values fit in the 4-byte field up to 2 SHORTs or 1 LONG; else the field
    // holds their offset.
    uint32_t inline_limit = type == 3 ? 2 : 1;
    if (expected_count > inline_limit)
        seek_input(reader.read_u32());
    uint32_t (*read_value)() = type == 3 ? reader.read_u16 : reader.read_u32;
    for (uint32_t i = 0; i < expected_count; ++i) {
        values[i] = read_value();
        if (std::feof(reader.stream)) {
            // Past the end every further value reads as all ones; fill them
            // in rather than reading a huge count one byte at a time.
            uint32_t all_ones = type == 3 ? 0xFFFF : 0xFFFFFFFF;
            for (++i; i < expected_count; ++i)
                values[i] = all_ones;
        }
    }
    return 0;
}
