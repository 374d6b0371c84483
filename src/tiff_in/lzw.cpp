// LZW strips as TIFF writes them: codes of 9 to 12 bits, most significant bit
// first; 256 clears the table, 257 ends the strip, 258 and up are table
// entries. The width grows one code early ("early change"): when the next
// entry would be 511, 1023 or 2047.
//
// The decoder is strict: a strip must open with a clear code, a clear code
// must be followed by a single-byte code, the table must not overflow, and
// the strip must close with the end code right where its bytes end. The
// leniencies at the end of a strip are named in reader.h.
//
// Decoded bytes go to a history of everything decoded since the last clear
// code, and rows are copied out of it. Every code's string stands in the
// history already, so a table entry is just a place and a length, and the
// entry that the next code makes is known as soon as a string is placed:
// that string extended by one byte, the first byte of whatever follows it.
// It is written at once, as the pending entry at next_code, which also
// serves a code that refers to it (a string followed by its own first byte).
// Single bytes have entries too, pointing at a copy of every byte value at
// the history's start, so that all strings take the same path.

#include <cstring>

#include "tiff_in/reader.h"

namespace {

constexpr int CLEAR_CODE = 256;
constexpr int END_CODE = 257;
constexpr int FIRST_ENTRY = 258;
constexpr int TABLE_SIZE = 4096;
constexpr int FAILED = -1;  // in place of a code: the failure is in the state
// The history opens with every single byte, which their entries point at.
constexpr size_t LITERALS = 256 + 16;
// Then the strings of one table: the k-th data code after a clear code
// gives at most k bytes, and a table takes 3839 data codes; then slack for
// copies in 8-byte blocks. Pages of it are touched only as they are used.
constexpr size_t HISTORY_BYTES = LITERALS + size_t{3839} * 3840 / 2 + 16;

struct LzwEntry {
    uint32_t offset;  // in the history
    uint32_t length;
};

// The decoder's state. An operation works on a copy, so that the compiler
// can keep it in registers: stores of decoded bytes could otherwise alias
// it and force it back to memory. For the same reason it is passed by value
// to the functions that are not inlined. While an operation runs, the
// strip's stored bytes not yet loaded into the bit buffer are those of the
// read-ahead from `next` to the source's end, and the source's budget more.
// The end is not copied in: the compiler would keep the two pointers as one
// vector register, and pack and unpack them for every code.
struct LzwState {
    uint64_t bits;  // the next code's bits at the top; below `held`, the bits that
                    // follow them or zeros
    int held;
    int width;
    int next_code;
    size_t end;   // of the history
    size_t read;  // of the history, handed out
    const uint8_t *next;
    Message failure;  // met while reading codes
};

struct LzwCodec {
    LzwState state;
    LzwEntry table[TABLE_SIZE + 1];  // and the pending entry when the table is full
    uint8_t history[HISTORY_BYTES];
};

LzwState take_state(const LzwCodec *c, const StripSource *source)
{
    LzwState s = c->state;
    s.next = source->next;
    return s;
}

// Whole bytes loaded ahead into the bit buffer go back to the read-ahead
// (they came from it, since a refill happens only with less than a code
// held), so that the strip's bytes left are exactly those whose bits no
// code has taken.
void save_state(LzwCodec *c, StripSource *source, LzwState s)
{
    int bytes = s.held / 8;
    s.next -= bytes;
    s.held -= 8 * bytes;
    s.bits = s.held == 0 ? 0 : s.bits & (~uint64_t{0} << (64 - s.held));
    source->next = s.next;
    c->state = s;
}

// Loads stored bytes one at a time, with the checks that the strip and the
// file hold another; a failure is noted in the state.
LzwState load_bytes_slowly(StripSource *source, LzwState s)
{
    while (s.held < s.width) {
        if (s.next == source->end) {
            if (source->budget == 0) {
                s.failure = MSG_LZW_TOO_FEW;
                return s;
            }
            source->next = s.next;
            if (!refill_strip_source(source)) {
                s.failure = MSG_LZW_END_OF_FILE;
                return s;
            }
            s.next = source->next;
        }
        s.bits |= uint64_t{*s.next++} << (56 - s.held);
        s.held += 8;
    }
    return s;
}

// The next code, or FAILED with the failure in the state. Where 8 stored
// bytes are at hand the bit buffer is topped up to 56 bits or more, without
// a branch on how many it held; the bits this loads below `held` are those
// of the stream's next byte, which a later load puts in the same place
// again.
inline int read_code(StripSource *source, LzwState &s)
{
    if (source->end - s.next >= 8) {
        uint64_t eight = 0;
        for (int i = 0; i < 8; ++i)
            eight = eight << 8 | s.next[i];
        s.bits |= eight >> s.held;
        s.next += (63 - s.held) >> 3;
        s.held |= 56;
    } else if (s.held < s.width) {
        s = load_bytes_slowly(source, s);
        if (s.failure != MSG_NONE)
            return FAILED;
    }
    int code = static_cast<int>(s.bits >> (64 - s.width));
    s.bits <<= s.width;
    s.held -= s.width;
    return code;
}

// Puts a code read at the current width back in front of the bit buffer.
void unread_code(LzwState &s, int code)
{
    s.bits = (s.bits >> s.width) | (uint64_t(code) << (64 - s.width));
    s.held += s.width;
}

// Copies a string of the history that ends at or before dst. Strings of up
// to 8 bytes go as one 8-byte load and store, longer ones 8 bytes at a time;
// either may write up to 7 bytes past the string (the history has slack for
// them).
inline void copy_string(uint8_t *dst, const uint8_t *src, uint32_t length)
{
    uint64_t eight;
    std::memcpy(&eight, src, 8);
    std::memcpy(dst, &eight, 8);
    for (uint32_t i = 8; i < length; i += 8)
        std::memcpy(dst + i, src + i, 8);
}

// Makes the pending entry a table entry, and widens the codes when the next
// entry needs it: at 511, 1023 and 2047, the values one below a power of two.
// False when the table is full.
inline bool take_pending_entry(LzwState &s)
{
    if (s.next_code == TABLE_SIZE)
        return false;
    ++s.next_code;
    if (((s.next_code + 1) & s.next_code) == 0 && s.next_code < TABLE_SIZE - 1)
        ++s.width;
    return true;
}

// After a clear code, whose bytes before it have all been handed out: the
// single-byte code that must follow, which makes no entry and begins the
// history afresh. A failure is noted in the state.
LzwState restart_table(StripSource *source, LzwCodec *c, LzwState s)
{
    s.width = 9;
    s.next_code = FIRST_ENTRY;
    int code = read_code(source, s);
    if (code == FAILED)
        return s;
    if (code >= CLEAR_CODE) {
        s.failure = code == END_CODE ? MSG_LZW_EARLY_END : MSG_LZW_BAD_CODE_AFTER_CLEAR;
        return s;
    }
    c->history[LITERALS] = static_cast<uint8_t>(code);
    c->table[FIRST_ENTRY] = LzwEntry{static_cast<uint32_t>(LITERALS), 2};
    s.read = LITERALS;
    s.end = LITERALS + 1;
    return s;
}

size_t lzw_state_bytes(uint64_t)
{
    return sizeof(LzwCodec);
}

Message lzw_begin_strip(StripSource *source, void *state, uint64_t)
{
    LzwCodec *c = static_cast<LzwCodec *>(state);
    for (uint32_t byte = 0; byte < CLEAR_CODE; ++byte) {
        c->history[byte] = static_cast<uint8_t>(byte);
        c->table[byte] = LzwEntry{byte, 1};
    }
    c->state = LzwState{0, 0, 9, FIRST_ENTRY, LITERALS, LITERALS, nullptr, MSG_NONE};
    LzwState s = take_state(c, source);
    int code = read_code(source, s);
    if (code == FAILED)
        return s.failure;
    if (code != CLEAR_CODE)
        return MSG_LZW_NO_FIRST_CLEAR;
    // Leave the clear code unread, so that the first byte asked for starts
    // the table through the clear-code path.
    unread_code(s, code);
    save_state(c, source, s);
    return MSG_NONE;
}

// Codes are read only as far as the bytes asked for need them, so that a
// fault after the rows' last code is met where the strip ends.
Message lzw_next_bytes(StripSource *source, void *state, uint8_t *dst, size_t count)
{
    LzwCodec *c = static_cast<LzwCodec *>(state);
    LzwState s = take_state(c, source);
    LzwEntry *table = c->table;
    uint8_t *history = c->history;
    size_t want = s.read + count;
    while (s.end < want) {
        int code = read_code(source, s);
        if ((static_cast<unsigned>(code) <= static_cast<unsigned>(s.next_code)) & ((code | 1) != END_CODE)) {
            LzwEntry entry = table[code];
            bool overlapping = code == s.next_code;
            if (!take_pending_entry(s))
                return MSG_LZW_TABLE_OVERFLOW;
            if (!overlapping) {
                copy_string(history + s.end, history + entry.offset, entry.length);
            } else {
                // The pending entry's last byte is the first one copied here.
                for (size_t i = 0; i < entry.length; ++i)
                    history[s.end + i] = history[entry.offset + i];
            }
            table[s.next_code] = LzwEntry{static_cast<uint32_t>(s.end), entry.length + 1};
            s.end += entry.length;
        } else if (code == FAILED) {
            return s.failure;
        } else if (code > s.next_code) {
            return MSG_LZW_TOO_LARGE_CODE;
        } else if (code == END_CODE) {
            return MSG_LZW_EARLY_END;
        } else {
            // A clear code. Every byte decoded so far is asked for: hand
            // them out, so that the history holds one table's strings only.
            size_t decoded = s.end - s.read;
            std::memcpy(dst, history + s.read, decoded);
            dst += decoded;
            count -= decoded;
            s = restart_table(source, c, s);
            if (s.failure != MSG_NONE)
                return s.failure;
            want = s.read + count;
        }
    }
    std::memcpy(dst, history + s.read, count);
    s.read += count;
    save_state(c, source, s);
    return MSG_NONE;
}

// The next code where an end code may stand, or FAILED. Where the last
// entry raised the width, older writers put the end code at the narrower
// width, libtiff since 2017 and the writers built on it at the wider one.
// At the narrower width 256 and 257 begin with a 1 bit, at the wider with a
// 0 bit, so read narrow first and, failing that, the same bits again at the
// wider width.
int read_closing_code(StripSource *source, LzwState &s)
{
    if (s.next_code != (1 << (s.width - 1)) - 1)
        return read_code(source, s);
    s.width = s.width - 1;
    int code = read_code(source, s);
    if (!ACCEPT_LZW_END_CODE_AT_EITHER_WIDTH || code == FAILED || code == CLEAR_CODE || code == END_CODE)
        return code;
    unread_code(s, code);
    s.width = s.width + 1;
    return read_code(source, s);
}

// Whether the bits left in the state, at the end of the strip's data, are
// fewer than a code at `width` and begin the end code.
bool begins_end_code(const LzwState &s, int width)
{
    if (s.held >= width)
        return false;
    return s.held == 0 || (s.bits >> (64 - s.held)) == static_cast<uint64_t>(END_CODE >> (width - s.held));
}

// After a strip's rows: the end code, possibly behind a clear code, then
// nothing but zero bytes. Adobe Photoshop decodes one byte more than the
// rows before its end code: the last string's one unused byte, or one more
// single-byte code (whose entry is made as usual). That byte is dropped;
// anything else keeps the message of the strict reading.
Message lzw_end_strip(StripSource *source, void *state, uint32_t, size_t)
{
    LzwCodec *c = static_cast<LzwCodec *>(state);
    LzwState s = take_state(c, source);
    size_t unread = s.end - s.read;
    bool extra_code = false;
    int width = s.width;
    bool narrower = s.next_code == (1 << (width - 1)) - 1;  // as read_closing_code reads
    int code = read_closing_code(source, s);
    if (code == FAILED) {
        // The strip's data ends inside the end code, with the rows complete.
        bool cut_off = ACCEPT_LZW_END_CODE_CUT_OFF && s.failure == MSG_LZW_TOO_FEW && unread == 0 &&
                       (narrower ? begins_end_code(s, width - 1) ||
                                       (ACCEPT_LZW_END_CODE_AT_EITHER_WIDTH && begins_end_code(s, width))
                                 : begins_end_code(s, width));
        return cut_off ? MSG_NONE : s.failure;
    }
    if (ACCEPT_LZW_EXTRA_BYTE && code < CLEAR_CODE && unread == 0) {
        extra_code = true;
        if (!take_pending_entry(s))
            return MSG_LZW_NO_END;
        code = read_closing_code(source, s);
    }
    if (code == CLEAR_CODE) {
        s.width = 9;
        code = read_code(source, s);
    }
    if (code == FAILED && !extra_code)
        return s.failure;
    if (code != END_CODE)
        return MSG_LZW_NO_END;
    if (unread > (ACCEPT_LZW_EXTRA_BYTE ? 1u : 0u))
        return MSG_LZW_TOO_MANY;
    save_state(c, source, s);
    return check_padding(source, ACCEPT_LZW_ZERO_PADDING, MSG_LZW_TOO_MANY, MSG_LZW_END_OF_FILE);
}

}  // namespace

const StripDecoder lzw_decoder = {lzw_state_bytes, lzw_begin_strip, lzw_next_bytes, lzw_end_strip};
