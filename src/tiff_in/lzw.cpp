// LZW strips as TIFF writes them: codes of 9 to 12 bits, most significant bit
// first; 256 clears the table, 257 ends the strip, 258 and up are table
// entries. The width grows one code early ("early change"): when the next
// entry would be 511, 1023 or 2047.
//
// The decoder is strict: a strip must open with a clear code, a clear code
// must be followed by a single-byte code, the table must not overflow, and
// the strip must close with the end code right where its bytes end. The
// leniencies at the end of a strip are named in reader.h.
#include "tiff_in/reader.h"

// Entry k's string is entries[k].prefix's string followed by
// entries[k].suffix, entries[k].length bytes long. Slots at and above
// next_code are leftovers and never read; the single-byte codes below 256
// have only their length, 1.
struct LzwEntry {
    uint16_t prefix;
    uint16_t length;
    uint8_t suffix;
};

namespace {

constexpr int CLEAR_CODE = 256;
constexpr int END_CODE = 257;
constexpr int FIRST_ENTRY = 258;
constexpr int TABLE_SIZE = 4096;
constexpr int MAX_STRING = 4097;
static_assert(TABLE_SIZE * sizeof(LzwEntry) <= LZW_TABLE_BYTES, "the table's block is too small");
static_assert(MAX_STRING <= LZW_STACK_BYTES, "the stack's block is too small");

// The decoder's state, copied out of the TiffInput for the length of one
// operation so that the compiler keeps it in registers: stores of decoded
// bytes could otherwise alias it and force it back to memory after every
// byte. The strip's stored bytes likewise: `left` counts those not yet
// loaded into the bit buffer.
struct LzwState {
    uint64_t bit_buffer;
    int bits_held;
    int code_width;
    int code_mask;
    int next_code;
    int prev_code;
    int stack_depth;
    uint32_t left;
    const uint8_t *next;
    const uint8_t *end;
};

void set_width(LzwState &s, int width)
{
    s.code_width = width;
    s.code_mask = (1 << width) - 1;
}

LzwState take_state(const TiffInput *in)
{
    LzwState s{in->bit_buffer, in->bits_held, 0, 0, in->next_code, in->prev_code, in->stack_depth,
               in->left, in->ahead_next, in->ahead_end};
    set_width(s, in->code_width);
    return s;
}

void sync_input(TiffInput *in, const LzwState &s)
{
    in->left = s.left;
    in->ahead_next = s.next;
}

// Whole bytes loaded ahead into the bit buffer go back to the read-ahead
// (they came from it, since a refill happens only with less than a byte
// held), so that in->left counts exactly the bytes whose bits a code has
// taken.
void save_state(TiffInput *in, LzwState &s)
{
    int bytes = s.bits_held / 8;
    s.next -= bytes;
    s.left += static_cast<uint32_t>(bytes);
    s.bits_held -= 8 * bytes;
    s.bit_buffer >>= 8 * bytes;
    sync_input(in, s);
    in->bit_buffer = s.bit_buffer;
    in->bits_held = s.bits_held;
    in->code_width = s.code_width;
    in->next_code = s.next_code;
    in->prev_code = s.prev_code;
    in->stack_depth = s.stack_depth;
}

// The next code, or minus the failure. Loads bytes only when the bits held
// cannot make up a code: four at once when at hand, otherwise one at a
// time, with the checks that a byte is left in the strip and in the file.
inline int read_code(TiffInput *in, LzwState &s)
{
    if (s.bits_held < s.code_width) {
        if (s.left >= 4 && s.end - s.next >= 4) {
            uint32_t four = static_cast<uint32_t>(s.next[0]) << 24 | static_cast<uint32_t>(s.next[1]) << 16 |
                            static_cast<uint32_t>(s.next[2]) << 8 | s.next[3];
            s.bit_buffer = (s.bit_buffer << 32) | four;
            s.bits_held += 32;
            s.next += 4;
            s.left -= 4;
        } else {
            while (s.bits_held < s.code_width) {
                if (s.left == 0)
                    return -MSG_LZW_TOO_FEW;
                if (s.next == s.end) {
                    sync_input(in, s);
                    if (!refill_strip_input(in))
                        return -MSG_LZW_END_OF_FILE;
                    s.next = in->ahead_next;
                    s.end = in->ahead_end;
                }
                --s.left;
                s.bit_buffer = (s.bit_buffer << 8) | *s.next++;
                s.bits_held += 8;
            }
        }
    }
    s.bits_held -= s.code_width;
    return static_cast<int>(s.bit_buffer >> s.bits_held) & s.code_mask;
}

// Both walk the prefix chain of `code` once, from the string's last byte to
// its first: write_string puts the string in order at out[0 .. length),
// stack_string in reverse, as the stack holds it.
inline void write_string(const LzwEntry *table, int code, uint8_t *out, int length)
{
    for (int i = length - 1; i > 0; --i) {
        out[i] = table[code].suffix;
        code = table[code].prefix;
    }
    out[0] = static_cast<uint8_t>(code);
}

void stack_string(const LzwEntry *table, int code, uint8_t *stack, int length)
{
    for (int i = 0; i < length - 1; ++i) {
        stack[i] = table[code].suffix;
        code = table[code].prefix;
    }
    stack[length - 1] = static_cast<uint8_t>(code);
}

// Adds the entry "prev_code's string + first_byte", `length` bytes long,
// and widens the codes when the next entry needs it.
inline Message add_entry(LzwEntry *table, LzwState &s, uint8_t first_byte, int length)
{
    if (s.next_code == TABLE_SIZE)
        return MSG_LZW_TABLE_OVERFLOW;
    table[s.next_code] = LzwEntry{static_cast<uint16_t>(s.prev_code), static_cast<uint16_t>(length), first_byte};
    ++s.next_code;
    if (s.next_code == s.code_mask && s.code_width < 12)
        set_width(s, s.code_width + 1);
    return MSG_NONE;
}

Message lzw_begin_strip(TiffInput *in, uint32_t offset, uint32_t byte_count)
{
    begin_strip_input(in, offset, byte_count);
    for (int c = 0; c < CLEAR_CODE; ++c)
        in->table[c] = LzwEntry{0, 1, 0};
    in->bits_held = 0;
    in->code_width = 9;
    LzwState s = take_state(in);
    int code = read_code(in, s);
    if (code < 0)
        return static_cast<Message>(-code);
    if (code != CLEAR_CODE)
        return MSG_LZW_NO_FIRST_CLEAR;
    s.next_code = FIRST_ENTRY;
    s.stack_depth = 0;
    // Leave the clear code unread, still in the bit buffer, so that the
    // first byte asked for starts the table through the clear-code path.
    s.bits_held += s.code_width;
    save_state(in, s);
    return MSG_NONE;
}

// Reads one code and places its string at `out` when it fits in `room`
// bytes, else on the stack, handing out what fits. *placed gets the number
// of bytes placed at `out`.
inline Message decode_code(TiffInput *in, LzwState &s, LzwEntry *table, uint8_t *stack, uint8_t *out,
                           size_t room, size_t *placed)
{
    int code = read_code(in, s);
    if (code < 0)
        return static_cast<Message>(-code);
    if (code == END_CODE)
        return MSG_LZW_EARLY_END;
    if (code == CLEAR_CODE) {
        set_width(s, 9);
        s.next_code = FIRST_ENTRY;
        code = read_code(in, s);
        if (code < 0)
            return static_cast<Message>(-code);
        if (code == END_CODE)
            return MSG_LZW_EARLY_END;
        if (code >= CLEAR_CODE)
            return MSG_LZW_BAD_CODE_AFTER_CLEAR;
        s.prev_code = code;
        *out = static_cast<uint8_t>(code);
        *placed = 1;
        return MSG_NONE;
    }
    if (code > s.next_code)
        return MSG_LZW_TOO_LARGE_CODE;

    // The code just about to be made (code == next_code) is prev_code's
    // string followed by that string's own first byte.
    bool pending_entry = code == s.next_code;
    int prev_length = table[s.prev_code].length;
    int length = pending_entry ? prev_length + 1 : table[code].length;
    if (length > MAX_STRING)
        return MSG_LZW_TOO_LONG_STRING;
    // Strings that fit go straight to the output; a longer one waits on the
    // stack for the rest to be asked for.
    bool fits = static_cast<size_t>(length) <= room;
    uint8_t first_byte;
    if (fits) {
        if (pending_entry) {
            write_string(table, s.prev_code, out, length - 1);
            out[length - 1] = out[0];
        } else {
            write_string(table, code, out, length);
        }
        first_byte = out[0];
    } else {
        if (pending_entry) {
            stack_string(table, s.prev_code, stack + 1, length - 1);
            stack[0] = stack[length - 1];
        } else {
            stack_string(table, code, stack, length);
        }
        first_byte = stack[length - 1];
    }
    Message failure = add_entry(table, s, first_byte, prev_length + 1);
    if (failure != MSG_NONE)
        return failure;
    s.prev_code = code;

    if (fits) {
        *placed = static_cast<size_t>(length);
        return MSG_NONE;
    }
    for (size_t i = 0; i < room; ++i)
        out[i] = stack[length - 1 - static_cast<int>(i)];
    s.stack_depth = length - static_cast<int>(room);
    *placed = room;
    return MSG_NONE;
}

Message lzw_next_bytes(TiffInput *in, uint8_t *dst, size_t count)
{
    LzwState s = take_state(in);
    LzwEntry *table = in->table;
    uint8_t *stack = in->stack;
    while (count > 0 && s.stack_depth > 0) {
        *dst++ = stack[--s.stack_depth];
        --count;
    }
    while (count > 0) {
        size_t n = 0;
        Message failure = decode_code(in, s, table, stack, dst, count, &n);
        if (failure != MSG_NONE)
            return failure;
        dst += n;
        count -= n;
    }
    save_state(in, s);
    return MSG_NONE;
}

// The next code where an end code may stand, or minus the failure. Where
// the last entry raised the width, older writers put the end code at the
// narrower width, libtiff since 2017 and the writers built on it at the
// wider one. At the narrower width 256 and 257 begin with a 1 bit, at the
// wider with a 0 bit, so read narrow first and, failing that, the same bits
// again at the wider width.
int read_closing_code(TiffInput *in, LzwState &s)
{
    if (s.next_code != (1 << (s.code_width - 1)) - 1)
        return read_code(in, s);
    set_width(s, s.code_width - 1);
    int code = read_code(in, s);
    if (code < 0 || code == CLEAR_CODE || code == END_CODE)
        return code;
    s.bits_held += s.code_width;
    set_width(s, s.code_width + 1);
    return read_code(in, s);
}

// After a strip's rows: the end code, possibly behind a clear code, then
// nothing but zero bytes. Adobe Photoshop decodes one byte more than the
// rows before its end code: the last string's one unused byte, or one more
// single-byte code (whose entry is made as usual). That byte is dropped;
// anything else keeps the message of the strict reading.
Message lzw_end_strip(TiffInput *in)
{
    LzwState s = take_state(in);
    bool extra_code = false;
    int code = read_closing_code(in, s);
    if (code < 0)
        return static_cast<Message>(-code);
    if (code < CLEAR_CODE && s.stack_depth == 0) {
        extra_code = true;
        if (add_entry(in->table, s, static_cast<uint8_t>(code), in->table[s.prev_code].length + 1) != MSG_NONE)
            return MSG_LZW_NO_END;
        s.prev_code = code;
        code = read_closing_code(in, s);
    }
    if (code == CLEAR_CODE) {
        set_width(s, 9);
        code = read_code(in, s);
    }
    if (code < 0 && !extra_code)
        return static_cast<Message>(-code);
    if (code != END_CODE)
        return MSG_LZW_NO_END;
    if (s.stack_depth > 1)
        return MSG_LZW_TOO_MANY;
    s.stack_depth = 0;
    save_state(in, s);
    // Some writers pad the strip with zero bytes after the end code.
    while (in->left != 0) {
        --in->left;
        int c = read_strip_byte(in);
        if (c < 0)
            return MSG_LZW_END_OF_FILE;
        if (c != 0)
            return MSG_LZW_TOO_MANY;
    }
    return MSG_NONE;
}

}  // namespace

const StripDecoder lzw_decoder = {lzw_begin_strip, lzw_next_bytes, lzw_end_strip};
