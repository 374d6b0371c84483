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

// The decoder's state between calls. Each operation works on a local copy,
// which the compiler keeps in registers: stores of decoded bytes could
// otherwise alias it and force it back to memory after every byte.
struct LzwState {
    uint64_t bit_buffer = 0;  // bytes enter at the low end
    int bits_held = 0;        // unconsumed low bits of bit_buffer
    int code_width = 9;
    int code_mask = 511;
    int next_code = FIRST_ENTRY;
    int prev_code = 0;
    int stack_depth = 0;  // bytes of the current string not yet handed out
};

LzwState saved;

// Entry k's string is entries[k].prefix's string followed by
// entries[k].suffix, entries[k].length bytes long. Slots at and above
// next_code are leftovers and never read; the single-byte codes below 256
// have only their length, 1.
struct Entry {
    uint16_t prefix;
    uint16_t length;
    uint8_t suffix;
};

struct StringTable {
    Entry entries[TABLE_SIZE];
};

constexpr StringTable make_string_table()
{
    StringTable table{};
    for (int c = 0; c < FIRST_ENTRY; ++c)
        table.entries[c].length = 1;
    return table;
}

StringTable table = make_string_table();

// A string only partly handed out, its last byte at index 0.
uint8_t byte_stack[MAX_STRING];

// The strip's stored bytes, taken from the reader's read-ahead into locals
// for the same reason. `left` counts the bytes not yet loaded into the bit
// buffer.
struct Input {
    uint32_t left;
    const uint8_t *next;
    const uint8_t *end;
};

Input take_input()
{
    return {reader.strip_bytes_left, reader.ahead_next, reader.ahead_end};
}

void sync_input(const Input &in)
{
    reader.strip_bytes_left = in.left;
    reader.ahead_next = in.next;
}

// Whole bytes loaded ahead into the bit buffer go back to the read-ahead
// (they came from it, since a refill happens only with less than a byte
// held), so that strip_bytes_left counts exactly the bytes whose bits a code
// has taken.
void give_back(LzwState &s, Input &in)
{
    int bytes = s.bits_held / 8;
    in.next -= bytes;
    in.left += static_cast<uint32_t>(bytes);
    s.bits_held -= 8 * bytes;
    s.bit_buffer >>= 8 * bytes;
    sync_input(in);
}

void set_width(LzwState &s, int width)
{
    s.code_width = width;
    s.code_mask = (1 << width) - 1;
}

// Loads bytes only when the bits held cannot make up a code. With four
// bytes at hand it loads them at once; otherwise one at a time, with the
// checks that a byte is left in the strip and in the file.
inline int read_code(LzwState &s, Input &in)
{
    if (s.bits_held < s.code_width) {
        if (in.left >= 4 && in.end - in.next >= 4) {
            uint32_t four = static_cast<uint32_t>(in.next[0]) << 24 | static_cast<uint32_t>(in.next[1]) << 16 |
                            static_cast<uint32_t>(in.next[2]) << 8 | in.next[3];
            s.bit_buffer = (s.bit_buffer << 32) | four;
            s.bits_held += 32;
            in.next += 4;
            in.left -= 4;
        } else {
            while (s.bits_held < s.code_width) {
                if (in.left == 0)
                    report_input_error("LZW too few codes.");
                if (in.next == in.end) {
                    sync_input(in);
                    if (!refill_strip_input())
                        report_input_error("LZW unexpected end of file.");
                    in = take_input();
                }
                --in.left;
                s.bit_buffer = (s.bit_buffer << 8) | *in.next++;
                s.bits_held += 8;
            }
        }
    }
    s.bits_held -= s.code_width;
    return static_cast<int>(s.bit_buffer >> s.bits_held) & s.code_mask;
}

// Both walk the prefix chain of `code` once, from the string's last byte to
// its first: write_string puts the string in order at out[0 .. length),
// stack_string in reverse, as byte_stack holds it.
inline void write_string(int code, uint8_t *out, int length)
{
    for (int i = length - 1; i > 0; --i) {
        out[i] = table.entries[code].suffix;
        code = table.entries[code].prefix;
    }
    out[0] = static_cast<uint8_t>(code);
}

void stack_string(int code, uint8_t *stack, int length)
{
    for (int i = 0; i < length - 1; ++i) {
        stack[i] = table.entries[code].suffix;
        code = table.entries[code].prefix;
    }
    stack[length - 1] = static_cast<uint8_t>(code);
}

void lzw_begin_strip(uint32_t offset, uint32_t byte_count)
{
    begin_strip_input(offset, byte_count);
    reader.strip_bytes_left = byte_count;
    LzwState s = saved;
    Input in = take_input();
    set_width(s, 9);
    s.bits_held = 0;
    if (read_code(s, in) != CLEAR_CODE)
        report_input_error("LZW missing first clear code.");
    s.next_code = FIRST_ENTRY;
    s.stack_depth = 0;
    // Leave the clear code unread, still in bit_buffer, so that the first
    // byte asked for starts the table through the clear-code path.
    s.bits_held += s.code_width;
    give_back(s, in);
    saved = s;
}

// Reads one code and places its string at `out` when it fits in `room`
// bytes, else on byte_stack, handing out what fits. Returns the number of
// bytes placed at `out`.
inline size_t decode_code(LzwState &s, Input &in, uint8_t *out, size_t room)
{
    int code = read_code(s, in);
    if (code == END_CODE)
        report_input_error("LZW unexpected end of code.");
    if (code == CLEAR_CODE) {
        set_width(s, 9);
        s.next_code = FIRST_ENTRY;
        code = read_code(s, in);
        if (code == END_CODE)
            report_input_error("LZW unexpected end of code.");
        if (code >= CLEAR_CODE)
            report_input_error("LZW unknown code after clear code.");
        s.prev_code = code;
        *out = static_cast<uint8_t>(code);
        return 1;
    }
    if (code > s.next_code)
        report_input_error("LZW too large code.");

    // The code just about to be made (code == next_code) is prev_code's
    // string followed by that string's own first byte.
    bool pending_entry = code == s.next_code;
    int prev_length = table.entries[s.prev_code].length;
    int length = pending_entry ? prev_length + 1 : table.entries[code].length;
    if (length > MAX_STRING)
        report_input_error("LZW too long string.");
    // Strings that fit go straight to the output; a longer one waits on
    // byte_stack for the rest to be asked for.
    bool fits = static_cast<size_t>(length) <= room;
    uint8_t first_byte;
    if (fits) {
        if (pending_entry) {
            write_string(s.prev_code, out, length - 1);
            out[length - 1] = out[0];
        } else {
            write_string(code, out, length);
        }
        first_byte = out[0];
    } else {
        if (pending_entry) {
            stack_string(s.prev_code, byte_stack + 1, length - 1);
            byte_stack[0] = byte_stack[length - 1];
        } else {
            stack_string(code, byte_stack, length);
        }
        first_byte = byte_stack[length - 1];
    }

    if (s.next_code == TABLE_SIZE)
        report_input_error("LZW code table overflow.");
    table.entries[s.next_code] = Entry{static_cast<uint16_t>(s.prev_code), static_cast<uint16_t>(prev_length + 1),
                                       first_byte};
    ++s.next_code;
    if (s.next_code == s.code_mask && s.code_width < 12)
        set_width(s, s.code_width + 1);
    s.prev_code = code;

    if (fits)
        return static_cast<size_t>(length);
    for (size_t i = 0; i < room; ++i)
        out[i] = byte_stack[length - 1 - static_cast<int>(i)];
    s.stack_depth = length - static_cast<int>(room);
    return room;
}

void lzw_next_bytes(uint8_t *dst, size_t count)
{
    LzwState s = saved;
    Input in = take_input();
    while (count > 0 && s.stack_depth > 0) {
        *dst++ = byte_stack[--s.stack_depth];
        --count;
    }
    while (count > 0) {
        size_t n = decode_code(s, in, dst, count);
        dst += n;
        count -= n;
    }
    give_back(s, in);
    saved = s;
}

void lzw_end_strip()
{
    LzwState s = saved;
    Input in = take_input();
    int code;
    if (s.next_code == (1 << (s.code_width - 1)) - 1) {
        // The entry for the last data code raised the width. Older writers
        // put the next code at the narrower width, libtiff since 2017 and the
        // writers built on it at the wider one. At the narrower width 256 and
        // 257 begin with a 1 bit, at the wider with a 0 bit, so read narrow
        // first and, failing that, the same bits again at the wider width.
        set_width(s, s.code_width - 1);
        code = read_code(s, in);
        if (code != CLEAR_CODE && code != END_CODE) {
            s.bits_held += s.code_width;
            set_width(s, s.code_width + 1);
            code = read_code(s, in);
        }
    } else {
        code = read_code(s, in);
    }
    if (code == CLEAR_CODE) {
        set_width(s, 9);
        code = read_code(s, in);
    }
    if (code != END_CODE)
        report_input_error("LZW missing end of codes.");
    if (s.stack_depth != 0)
        report_input_error("LZW too many codes.");
    give_back(s, in);
    saved = s;
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

const StripDecoder lzw_decoder = {lzw_begin_strip, lzw_next_bytes, lzw_end_strip};
