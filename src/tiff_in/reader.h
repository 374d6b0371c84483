// Shared only inside src/tiff_in: the state of the TIFF input being read,
// directory access, the strip byte source and the strip decoders.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// The one input being read. Every call of load_tiff_image starts it afresh.
struct ReaderState {
    const char *path = nullptr;  // named by every input message
    std::FILE *stream = nullptr;
    // Byte-order readers, installed once the header's mark is known. Bytes
    // beyond the end of the file read as all ones.
    uint32_t (*read_u16)() = nullptr;
    uint32_t (*read_u32)() = nullptr;
    // Maps each stored strip byte before a decoder sees it: null for
    // FillOrder 1, the bit-reversal table for FillOrder 2.
    const uint8_t *strip_byte_map = nullptr;
    // Stored bytes of the current strip not yet consumed.
    uint32_t strip_bytes_left = 0;
    // Stored strip bytes read ahead of the decoder, already mapped.
    const uint8_t *ahead_next = nullptr;
    const uint8_t *ahead_end = nullptr;
    uint32_t ahead_budget = 0;  // bytes of the strip not yet read ahead
};

extern ReaderState reader;

[[noreturn]] void report_input_error(const char *message);

// Positions the input stream at a file offset; false when that fails.
bool seek_input(uint64_t offset);

// Byte-order readers; 16-bit results are 0 to 65535.
uint32_t read_u16_le();
uint32_t read_u32_le();
uint32_t read_u16_be();
uint32_t read_u32_be();

// Directory lookups in the IFD at `ifd`. Each scans the directory afresh.
// find_tag returns the entry's field type (0 when missing) and leaves the
// stream at the entry's value count.
uint16_t find_tag(uint32_t ifd, uint16_t tag);
uint32_t get_tag_integer(uint32_t ifd, uint16_t tag, uint32_t default_value);
uint16_t get_tag_short(uint32_t ifd, uint16_t tag, uint16_t default_value);
// 0 on success, 1 when missing or not SHORT/LONG, 2 when the count differs
// from expected_count (values untouched then).
int get_tag_array(uint32_t ifd, uint16_t tag, uint32_t expected_count, uint32_t *values);

// Where the values of a SHORT or LONG array entry stand in the file, so that
// they can be read piecewise, as they are needed.
struct TagArray {
    uint16_t type = 0;
    uint64_t values_at = 0;
};
// As get_tag_array, but only locates the values.
int find_tag_array(uint32_t ifd, uint16_t tag, uint32_t expected_count, TagArray *array);
// Reads values first .. first + count - 1 of a located array.
void read_tag_array(const TagArray &array, uint32_t first, uint32_t count, uint32_t *values);

// The strip byte source. begin_strip_input positions the stream at a strip
// of byte_count stored bytes; the reads below take its bytes in order, mapped
// by the fill order, and do not count strip_bytes_left (the decoders do).
void begin_strip_input(uint32_t offset, uint32_t byte_count);
bool refill_strip_input();
// The next stored byte, or -1 at the end of the file.
inline int read_strip_byte()
{
    if (reader.ahead_next == reader.ahead_end && !refill_strip_input())
        return -1;
    return *reader.ahead_next++;
}
// Copies up to n stored bytes to dst; returns how many the file held.
size_t read_strip_block(uint8_t *dst, size_t n);
// Takes `count` stored bytes into dst and counts them off strip_bytes_left,
// as if one by one: ends the load with `too_few` when the strip's byte count
// runs out first, with `end_of_file` when the file ends first.
void take_strip_bytes(uint8_t *dst, size_t count, const char *too_few, const char *end_of_file);

// How the loader reads one strip's decoded bytes: begin_strip before its
// first row, next_bytes for the bytes of every row, end_strip after its last
// row (which checks that the strip's stored data was used up exactly). Every
// fault ends the process with the decoder's message.
struct StripDecoder {
    void (*begin_strip)(uint32_t offset, uint32_t byte_count);
    void (*next_bytes)(uint8_t *dst, size_t count);
    void (*end_strip)();
};

extern const StripDecoder uncompressed_decoder;
extern const StripDecoder packbits_decoder;
extern const StripDecoder lzw_decoder;
