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

bool seek_input(uint64_t offset)
{
    // A long may be only 32 bits wide: move in steps that always fit one.
    constexpr uint64_t step = 0x40000000;
    int origin = SEEK_SET;
    bool ok = true;
    for (; offset > step; offset -= step, origin = SEEK_CUR)
        ok = std::fseek(reader.stream, static_cast<long>(step), origin) == 0 && ok;
    reader.ahead_next = reader.ahead_end = nullptr;
    return std::fseek(reader.stream, static_cast<long>(offset), origin) == 0 && ok;
}

namespace {

// getc's -1 at the end of the file becomes all 32 bits set, so it fills every
// bit of the value it is combined into.
uint32_t read_raw_byte()
{
    return static_cast<uint32_t>(std::getc(reader.stream));
}

// Reading past the bytes costs no system call, unlike a relative seek; past
// the end of the file both leave every later read at -1.
void skip_bytes(size_t count)
{
    unsigned char scratch[16];
    size_t got = std::fread(scratch, 1, count, reader.stream);
    (void)got;
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
        // Past the end every entry reads as tag 65535: no other tag can follow.
        if (std::feof(reader.stream) && tag != 0xFFFF)
            return 0;
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

int find_tag_array(uint32_t ifd, uint16_t tag, uint32_t expected_count, TagArray *array)
{
    uint16_t type = find_tag(ifd, tag);
    if (type != 3 && type != 4)
        return 1;
    if (reader.read_u32() != expected_count)
        return 2;
    // Values fit in the 4-byte field up to 2 SHORTs or 1 LONG; else the field
    // holds their offset.
    array->type = type;
    if (expected_count > (type == 3 ? 2u : 1u))
        array->values_at = reader.read_u32();
    else
        array->values_at = static_cast<uint64_t>(std::ftell(reader.stream));
    return 0;
}

void read_tag_array(const TagArray &array, uint32_t first, uint32_t count, uint32_t *values)
{
    uint64_t size = array.type == 3 ? 2 : 4;
    seek_input(array.values_at + size * first);
    uint32_t (*read_value)() = array.type == 3 ? reader.read_u16 : reader.read_u32;
    for (uint32_t i = 0; i < count; ++i) {
        values[i] = read_value();
        if (std::feof(reader.stream)) {
            // Past the end every further value reads as all ones; fill them
            // in rather than reading a huge count one byte at a time.
            uint32_t all_ones = array.type == 3 ? 0xFFFF : 0xFFFFFFFF;
            for (++i; i < count; ++i)
                values[i] = all_ones;
        }
    }
}

int get_tag_array(uint32_t ifd, uint16_t tag, uint32_t expected_count, uint32_t *values)
{
    TagArray array;
    int result = find_tag_array(ifd, tag, expected_count, &array);
    if (result == 0)
        read_tag_array(array, 0, expected_count, values);
    return result;
}
