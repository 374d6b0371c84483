// PackBits strips: a header byte h opens each run. 0..127: h + 1 literal
// bytes follow; 129..255: one byte follows, repeated 257 - h times; 128: no
// operation. Runs may cross rows but never strips.
#include "tiff_in/reader.h"

namespace {

// 0: at a header; k > 0: k literal bytes still to copy; -k: k copies still
// to give of repeat_byte.
int32_t run_count = 0;
int repeat_byte = 0;

int read_code_byte()
{
    if (reader.strip_bytes_left == 0)
        report_input_error("MPB too few codes.");
    --reader.strip_bytes_left;
    int c = read_strip_byte();
    if (c < 0)
        report_input_error("MPB unexpected end of file.");
    return c;
}

void packbits_begin_strip(uint32_t offset, uint32_t byte_count)
{
    seek_input(offset);
    run_count = 0;
    reader.strip_bytes_left = byte_count;
}

int packbits_next_byte()
{
    if (run_count > 0) {
        --run_count;
        return read_code_byte();
    }
    if (run_count < 0) {
        ++run_count;
        return repeat_byte;
    }
    int header = read_code_byte();
    while (header == 128)
        header = read_code_byte();
    if (header < 128) {
        run_count = header;
        return read_code_byte();
    }
    run_count = header - 256;
    repeat_byte = read_code_byte();
    return repeat_byte;
}

void packbits_end_strip()
{
    // An open run and unread compressed bytes are the same fault.
    if (run_count != 0 || reader.strip_bytes_left != 0)
        report_input_error("MPB too many codes.");
}

}  // namespace

const StripDecoder packbits_decoder = {packbits_begin_strip, packbits_next_byte,
                                       packbits_end_strip};
