// PackBits strips: a header byte h opens each run. 0..127: h + 1 literal
// bytes follow; 129..255: one byte follows, repeated 257 - h times; 128: no
// operation. Runs may cross rows but never strips.
#include <cstring>

#include "tiff_in/reader.h"

namespace {

// 0: at a header; k > 0: k literal bytes still to copy; -k: k copies still
// to give of repeat_byte.
int32_t run_count = 0;
uint8_t repeat_byte = 0;

// Headers and repeated bytes are taken one at a time, literal runs as blocks,
// with the same checks.
uint8_t read_code_byte()
{
    if (reader.strip_bytes_left == 0)
        report_input_error("MPB too few codes.");
    --reader.strip_bytes_left;
    int c = read_strip_byte();
    if (c < 0)
        report_input_error("MPB unexpected end of file.");
    return static_cast<uint8_t>(c);
}

void take_literal_bytes(uint8_t *dst, size_t count)
{
    take_strip_bytes(dst, count, "MPB too few codes.", "MPB unexpected end of file.");
}

void packbits_begin_strip(uint32_t offset, uint32_t byte_count)
{
    begin_strip_input(offset, byte_count);
    run_count = 0;
    reader.strip_bytes_left = byte_count;
}

void packbits_next_bytes(uint8_t *dst, size_t count)
{
    while (count > 0) {
        if (run_count == 0) {
            uint8_t header = read_code_byte();
            while (header == 128)
                header = read_code_byte();
            if (header < 128) {
                run_count = header + 1;
            } else {
                repeat_byte = read_code_byte();
                run_count = header - 257;
            }
        }
        size_t run = static_cast<size_t>(run_count > 0 ? run_count : -run_count);
        size_t n = run < count ? run : count;
        if (run_count > 0) {
            take_literal_bytes(dst, n);
            run_count -= static_cast<int32_t>(n);
        } else {
            std::memset(dst, repeat_byte, n);
            run_count += static_cast<int32_t>(n);
        }
        dst += n;
        count -= n;
    }
}

void packbits_end_strip()
{
    // An open run and unread compressed bytes are the same fault.
    if (run_count != 0 || reader.strip_bytes_left != 0)
        report_input_error("MPB too many codes.");
}

}  // namespace

const StripDecoder packbits_decoder = {packbits_begin_strip, packbits_next_bytes, packbits_end_strip};
