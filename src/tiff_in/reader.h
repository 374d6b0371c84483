// Shared only inside src/tiff_in: the state of the TIFF input being read,
// directory access and the strip decoders.
#pragma once

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
    // Maps each stored strip byte before a decoder sees it: identity for
    // FillOrder 1, bit reversal for FillOrder 2.
    const uint8_t *strip_byte_map = nullptr;
    // Stored bytes of the current strip not yet consumed.
    uint32_t strip_bytes_left = 0;
};

extern ReaderState reader;

[[noreturn]] void report_input_error(const char *message);

// The next stored byte of the current strip, mapped by the fill order, or -1
// at the end of the file. Does not touch strip_bytes_left.
int read_strip_byte();

// Positions the input stream at a file offset; false when that fails.
bool seek_input(uint32_t offset);

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
int get_tag_array(uint32_t ifd, uint16_t tag, uint32_t expected_count,
                  uint32_t *values);

// How the loader reads one strip's decoded bytes.
struct StripDecoder {
    void (*begin_strip)(uint32_t offset, uint32_t byte_count);
    int (*next_byte)();  // 0 to 255
    void (*end_strip)();
};

extern const StripDecoder uncompressed_decoder;
extern const StripDecoder packbits_decoder;
extern const StripDecoder lzw_decoder;
