// LZW strips as TIFF writes them: codes of 9 to 12 bits, most significant bit
// first; 256 clears the table, 257 ends the strip, 258 and up are table
// entries. The width grows one code early ("early change"): when the next
// entry would be 511, 1023 or 2047.
//
// The decoder is strict: a strip must open with a clear code, a clear code
// must be followed by a single-byte code, the table must not overflow, and
// the strip must close with the end code right where its bytes end. It
// accepts what mainstream writers produce at the end of a strip: an end code
// (or a clear code before it) at either width when the last entry raised the
// width, and zero bytes after the byte that holds the end code.
#include "tiff_in/reader.h"

namespace {

constexpr int CLEAR_CODE = 256;
constexpr int END_CODE = 257;
constexpr int FIRST_ENTRY = 258;
constexpr int TABLE_SIZE = 4096;
constexpr int MAX_STRING = 4097;

uint32_t bit_buffer = 0;  // bytes enter at the low end
int bits_held = 0;        // unconsumed low bits of bit_buffer
int code_width = 9;
int code_mask = 511;
int next_code = FIRST_ENTRY;
int prev_code = 0;
int stack_depth = 0;  // bytes of the current string not yet handed out

// Entry k's string is prefix_code[k]'s string followed by suffix_byte[k].
// Slots at and above next_code are leftovers and never read.
uint16_t prefix_code[TABLE_SIZE];
uint8_t suffix_byte[TABLE_SIZE];
// The current string, last byte at index 0.
uint8_t byte_stack[MAX_STRING];

void set_width(int width)
{
    code_width = width;
    code_mask = (1 << width) - 1;
}

// Takes a byte only when the bits held cannot make up a code, so fewer than 8
// bits are left over after every code.
int read_code()
{
    while (bits_held < code_width) {
        if (reader.strip_bytes_left == 0)
            report_input_error("LZW too few codes.");
        --reader.strip_bytes_left;
        int c = read_strip_byte();
        if (c < 0)
            report_input_error("LZW unexpected end of file.");
        bit_buffer = (bit_buffer << 8) | static_cast<uint32_t>(c);
        bits_held += 8;
    }
    bits_held -= code_width;
    return static_cast<int>(bit_buffer >> bits_held) & code_mask;
}

void lzw_begin_strip(uint32_t offset, uint32_t byte_count)
{
    seek_input(offset);
    reader.strip_bytes_left = byte_count;
    set_width(9);
    bits_held = 0;
    if (read_code() != CLEAR_CODE)
        report_input_error("LZW missing first clear code.");
    next_code = FIRST_ENTRY;
    stack_depth = 0;
    // Leave the clear code unread, still in bit_buffer, so that the first
    // next_byte starts the table through the clear-code path.
    bits_held += code_width;
}

int lzw_next_byte()
{
    if (stack_depth > 0)
        return byte_stack[--stack_depth];

    int code = read_code();
    if (code == END_CODE)
        report_input_error("LZW unexpected end of code.");
    if (code == CLEAR_CODE) {
        set_width(9);
        next_code = FIRST_ENTRY;
        code = read_code();
        if (code < CLEAR_CODE) {
            prev_code = code;
            return code;
        }
        if (code == END_CODE)
            report_input_error("LZW unexpected end of code.");
        report_input_error("LZW unknown code after clear code.");
    }
    if (code > next_code)
        report_input_error("LZW too large code.");

    // Place the code's string on byte_stack, last byte first, in one walk of
    // its prefix chain. The code just about to be made (code == next_code) is
    // prev_code's string followed by that string's own first byte.
    int n = code < next_code ? 0 : 1;
    int c = code < next_code ? code : prev_code;
    while (c >= FIRST_ENTRY) {
        byte_stack[n++] = suffix_byte[c];
        if (n == MAX_STRING)
            report_input_error("LZW too long string.");
        c = prefix_code[c];
    }
    byte_stack[n++] = static_cast<uint8_t>(c);
    if (code == next_code)
        byte_stack[0] = static_cast<uint8_t>(c);

    if (next_code == TABLE_SIZE)
        report_input_error("LZW code table overflow.");
    prefix_code[next_code] = static_cast<uint16_t>(prev_code);
    suffix_byte[next_code] = byte_stack[n - 1];
    ++next_code;
    if (next_code == code_mask && code_width < 12)
        set_width(code_width + 1);

    prev_code = code;
    stack_depth = n - 1;
    return byte_stack[n - 1];
}

void lzw_end_strip()
{
    int code;
    if (next_code == (1 << (code_width - 1)) - 1) {
        // The entry for the last data code raised the width. Older writers
        // put the next code at the narrower width, libtiff since 2017 and the
        // writers built on it at the wider one. At the narrower width 256 and
        // 257 begin with a 1 bit, at the wider with a 0 bit, so read narrow
        // first and, failing that, the same bits again at the wider width.
        set_width(code_width - 1);
        code = read_code();
        if (code != CLEAR_CODE && code != END_CODE) {
            bits_held += code_width;
            set_width(code_width + 1);
            code = read_code();
        }
    } else {
        code = read_code();
    }
    if (code == CLEAR_CODE) {
        set_width(9);
        code = read_code();
    }
    if (code != END_CODE)
        report_input_error("LZW missing end of codes.");
    if (stack_depth != 0)
        report_input_error("LZW too many codes.");
    // Some writers pad the strip with zero bytes after the end code.
    while (reader.strip_bytes_left != 0) {
        --reader.strip_bytes_left;
        int c = read_strip_byte();
        if (c < 0)
            report_input_error("LZW unexpected end of file.");
        if (c != 0)
            report_input_error("LZW too many codes.");
    }
}

}  // namespace

const StripDecoder lzw_decoder = {lzw_begin_strip, lzw_next_byte, lzw_end_strip};
