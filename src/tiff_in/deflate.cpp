// Deflate strips (Compression 8 and 32946): one zlib stream per strip, a
// 2-byte header, Deflate blocks (stored, fixed or dynamic Huffman codes), and
// the Adler-32 of the decoded bytes. Bits are packed least significant bit
// first; Huffman codes are stored most significant bit first within them.
//
// The decoder is strict, as the LZW one is: the first fault met in stream
// order decides the message, and the stream must end, checksum included,
// right where the strip's rows do; only zero bytes may follow it.
//
// Decoded bytes go to a history that keeps the last 32 KiB, which matches
// copy from, and room to decode ahead; rows are copied out of it. Codes are
// looked up in two-level tables: a first level indexed by the next bits, and
// for longer codes a second level behind it.
#include <cstring>

#include "tiff_in/reader.h"

namespace {

constexpr size_t WINDOW = 32768;
constexpr size_t ROOM = 65536;     // decoded ahead of the window before it slides
constexpr size_t MAX_MATCH = 258;
constexpr size_t HISTORY_BYTES = WINDOW + ROOM + MAX_MATCH + 16;
constexpr int MAX_BITS = 15;
constexpr int LITLEN_ROOT = 10;
constexpr int DIST_ROOT = 8;
constexpr int LENGTHS_ROOT = 7;
// A first level, and a second level of 2^(15 - root) entries for each code
// longer than the root (at most one per symbol).
constexpr size_t LITLEN_ENTRIES = (size_t{1} << LITLEN_ROOT) + 288 * (size_t{1} << (MAX_BITS - LITLEN_ROOT));
constexpr size_t DIST_ENTRIES = (size_t{1} << DIST_ROOT) + 32 * (size_t{1} << (MAX_BITS - DIST_ROOT));
constexpr size_t LENGTHS_ENTRIES = size_t{1} << LENGTHS_ROOT;

enum Kind : uint8_t { LITERAL, LENGTH, DISTANCE, END_OF_BLOCK, SECOND_LEVEL, NO_CODE, REPEAT };

// value: the literal, the base length or distance, the code length, or the
// second level's place; bits: those the code takes at this level; extra: the
// extra bits after it, or the second level's index bits.
struct Entry {
    uint16_t value;
    uint8_t bits;
    uint8_t kind;
    uint8_t extra;
};

const uint16_t length_base[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                  31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
const uint8_t length_extra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
const uint16_t distance_base[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
                                    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
const uint8_t distance_extra[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
// The order in which a dynamic block gives the code lengths' code lengths.
const uint8_t lengths_order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

enum Phase : uint8_t { BLOCK_HEADER, STORED, CODED, CHECKSUM, DONE };

struct DeflateState {
    uint64_t bits;  // the next bits at the bottom; `held` of them
    int held;
    Phase phase;
    bool last_block;
    uint32_t stored_left;  // bytes of the stored block still to copy
    size_t end;            // of the history
    size_t read;           // of the history, handed out
    size_t summed;         // of the history, in the checksum
    uint64_t decoded;      // bytes the strip's stream has given
    uint32_t adler_a, adler_b;
    const uint8_t *next;   // of the read-ahead, while an operation runs
    Message starved;       // why no more bytes could be loaded
};

struct DeflateCodec {
    DeflateState state;
    Entry litlen[LITLEN_ENTRIES];
    Entry dist[DIST_ENTRIES];
    uint8_t history[HISTORY_BYTES];
};

// ---- bits ----

// Tops the bit buffer up to 56 bits or more from 8 stored bytes, without a
// branch on how many it held; the bits this loads above `held` are those of
// the next byte, which a later load puts in the same place again.
inline void load_eight(uint64_t &bits, int &held, const uint8_t *&next)
{
    uint64_t eight = 0;
    for (int i = 7; i >= 0; --i)
        eight = eight << 8 | next[i];
    bits |= eight << held;
    next += (63 - held) >> 3;
    held |= 56;
}

// Loads stored bytes into the bit buffer, 8 at once where they are at hand,
// else one at a time; where the strip or the file has no more, notes which.
inline void load_bits(StripSource *source, DeflateState &s)
{
    if (source->end - s.next >= 8) {
        load_eight(s.bits, s.held, s.next);
        return;
    }
    while (s.held <= 56) {
        if (s.next == source->end) {
            if (source->budget == 0) {
                s.starved = MSG_DEFLATE_TOO_FEW;
                return;
            }
            bool refilled = refill_strip_source(source);
            s.next = source->next;
            if (!refilled) {
                s.starved = MSG_DEFLATE_END_OF_FILE;
                return;
            }
        }
        s.bits |= uint64_t{*s.next++} << s.held;
        s.held += 8;
    }
}

// Takes n bits (at most 32), loading them where needed; false, with the
// reason in s.starved, when the strip holds fewer.
inline bool take_bits(StripSource *source, DeflateState &s, int n, uint32_t *value)
{
    if (s.held < n)
        load_bits(source, s);
    if (s.held < n)
        return false;
    *value = static_cast<uint32_t>(s.bits & ((uint64_t{1} << n) - 1));
    s.bits >>= n;
    s.held -= n;
    return true;
}

// The next code's entry in a two-level table, its bits taken; false when the
// strip ends inside it.
inline bool decode(StripSource *source, DeflateState &s, const Entry *table, int root, Entry *found)
{
    if (s.held < MAX_BITS)
        load_bits(source, s);
    Entry e = table[s.bits & ((1u << root) - 1)];
    int taken = 0;
    if (e.kind == SECOND_LEVEL) {
        taken = root;
        e = table[e.value + ((s.bits >> root) & ((1u << e.extra) - 1))];
    }
    if (taken + e.bits > s.held)
        return false;
    s.bits >>= taken + e.bits;
    s.held -= taken + e.bits;
    *found = e;
    return true;
}

// ---- tables ----

uint32_t reverse_bits(uint32_t code, int length)
{
    uint32_t r = 0;
    for (int i = 0; i < length; ++i, code >>= 1)
        r = (r << 1) | (code & 1);
    return r;
}

// What symbol `symbol` of a code means.
using Meaning = Entry (*)(int symbol);

Entry literal_or_length(int symbol)
{
    if (symbol < 256)
        return Entry{static_cast<uint16_t>(symbol), 0, LITERAL, 0};
    if (symbol == 256)
        return Entry{0, 0, END_OF_BLOCK, 0};
    if (symbol < 286)
        return Entry{length_base[symbol - 257], 0, LENGTH, length_extra[symbol - 257]};
    return Entry{0, 0, NO_CODE, 0};
}

Entry distance(int symbol)
{
    if (symbol < 30)
        return Entry{distance_base[symbol], 0, DISTANCE, distance_extra[symbol]};
    return Entry{0, 0, NO_CODE, 0};
}

Entry code_length(int symbol)
{
    return Entry{static_cast<uint16_t>(symbol), 0, REPEAT, 0};
}

enum Completeness { COMPLETE_ONLY, AS_ZLIB_ALLOWS };

// Builds the table of a canonical code from its code lengths. False when the
// lengths make no code: over-subscribed, or incomplete beyond what zlib
// accepts (a single code of one bit, or no code at all).
bool build_table(const uint8_t *lengths, int n, Meaning meaning, int root, Entry *table, size_t capacity,
                 Completeness completeness)
{
    int count[MAX_BITS + 1] = {};
    for (int i = 0; i < n; ++i)
        ++count[lengths[i]];
    count[0] = 0;
    int left = 1, codes = 0, longest = 0;
    for (int len = 1; len <= MAX_BITS; ++len) {
        left = 2 * left - count[len];
        if (left < 0)
            return false;
        codes += count[len];
        if (count[len] != 0)
            longest = len;
    }
    if (left > 0 && (completeness == COMPLETE_ONLY || !(codes == 0 || (codes == 1 && longest == 1))))
        return false;
    for (size_t i = 0; i < (size_t{1} << root); ++i)
        table[i] = Entry{0, 1, NO_CODE, 0};
    uint32_t next_code[MAX_BITS + 2] = {};
    for (int len = 1; len <= MAX_BITS; ++len)
        next_code[len + 1] = (next_code[len] + static_cast<uint32_t>(count[len])) << 1;
    size_t used = size_t{1} << root;
    int second_bits = longest > root ? longest - root : 0;
    for (int symbol = 0; symbol < n; ++symbol) {
        int len = lengths[symbol];
        if (len == 0)
            continue;
        uint32_t code = reverse_bits(next_code[len]++, len);
        Entry e = meaning(symbol);
        if (len <= root) {
            e.bits = static_cast<uint8_t>(len);
            for (uint32_t i = code; i < (1u << root); i += 1u << len)
                table[i] = e;
            continue;
        }
        Entry &first = table[code & ((1u << root) - 1)];
        if (first.kind != SECOND_LEVEL) {
            if (used + (size_t{1} << second_bits) > capacity)
                return false;
            first = Entry{static_cast<uint16_t>(used), static_cast<uint8_t>(root), SECOND_LEVEL,
                          static_cast<uint8_t>(second_bits)};
            for (size_t i = 0; i < (size_t{1} << second_bits); ++i)
                table[used + i] = Entry{0, static_cast<uint8_t>(second_bits), NO_CODE, 0};
            used += size_t{1} << second_bits;
        }
        e.bits = static_cast<uint8_t>(len - root);
        for (uint32_t i = code >> root; i < (1u << second_bits); i += 1u << (len - root))
            table[first.value + i] = e;
    }
    return true;
}

void build_fixed_tables(DeflateCodec *c)
{
    uint8_t lengths[288 + 32];
    for (int i = 0; i < 288; ++i)
        lengths[i] = i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8;
    for (int i = 0; i < 32; ++i)
        lengths[288 + i] = 5;
    build_table(lengths, 288, literal_or_length, LITLEN_ROOT, c->litlen, LITLEN_ENTRIES, COMPLETE_ONLY);
    build_table(lengths + 288, 32, distance, DIST_ROOT, c->dist, DIST_ENTRIES, COMPLETE_ONLY);
}

// A dynamic block's code lengths and its two tables.
Message read_dynamic_tables(StripSource *source, DeflateCodec *c, DeflateState &s)
{
    uint32_t hlit, hdist, hclen;
    if (!take_bits(source, s, 5, &hlit) || !take_bits(source, s, 5, &hdist) || !take_bits(source, s, 4, &hclen))
        return s.starved;
    int litlen_count = static_cast<int>(hlit) + 257, dist_count = static_cast<int>(hdist) + 1;
    if (litlen_count > 286 || dist_count > 30)
        return MSG_DEFLATE_BAD_CODE_LENGTHS;
    uint8_t code_lengths[19] = {};
    for (uint32_t i = 0; i < hclen + 4; ++i) {
        uint32_t len;
        if (!take_bits(source, s, 3, &len))
            return s.starved;
        code_lengths[lengths_order[i]] = static_cast<uint8_t>(len);
    }
    Entry lengths_table[LENGTHS_ENTRIES];
    if (!build_table(code_lengths, 19, code_length, LENGTHS_ROOT, lengths_table, LENGTHS_ENTRIES, COMPLETE_ONLY))
        return MSG_DEFLATE_BAD_CODE_LENGTHS;
    uint8_t lengths[286 + 30];
    int total = litlen_count + dist_count;
    for (int i = 0; i < total;) {
        Entry e;
        if (!decode(source, s, lengths_table, LENGTHS_ROOT, &e))
            return s.starved;
        if (e.kind == NO_CODE)
            return MSG_DEFLATE_BAD_CODE_LENGTHS;
        if (e.value < 16) {
            lengths[i++] = static_cast<uint8_t>(e.value);
            continue;
        }
        uint32_t repeat, value = 0;
        if (e.value == 16) {
            if (i == 0)
                return MSG_DEFLATE_BAD_CODE_LENGTHS;
            value = lengths[i - 1];
            if (!take_bits(source, s, 2, &repeat))
                return s.starved;
            repeat += 3;
        } else if (e.value == 17) {
            if (!take_bits(source, s, 3, &repeat))
                return s.starved;
            repeat += 3;
        } else {
            if (!take_bits(source, s, 7, &repeat))
                return s.starved;
            repeat += 11;
        }
        if (repeat > static_cast<uint32_t>(total - i))
            return MSG_DEFLATE_BAD_CODE_LENGTHS;
        std::memset(lengths + i, static_cast<int>(value), repeat);
        i += static_cast<int>(repeat);
    }
    if (lengths[256] == 0)
        return MSG_DEFLATE_BAD_CODE_LENGTHS;
    if (!build_table(lengths, litlen_count, literal_or_length, LITLEN_ROOT, c->litlen, LITLEN_ENTRIES,
                     AS_ZLIB_ALLOWS) ||
        !build_table(lengths + litlen_count, dist_count, distance, DIST_ROOT, c->dist, DIST_ENTRIES,
                     AS_ZLIB_ALLOWS))
        return MSG_DEFLATE_BAD_CODE_LENGTHS;
    return MSG_NONE;
}

// ---- the stream ----

// Adler-32 over the history's bytes not summed yet. In 32 lanes, over 32
// bytes at a time: `column` sums each lane's bytes, `before` adds the
// column sums before each step, which is what b gathers from a's growth;
// both are plain vertical sums that a compiler vectorises. A block of up to
// 5536 bytes is then folded into a and b (in 64 bits) and reduced; the
// result is that of a byte at a time.
void add_to_checksum(DeflateCodec *c, DeflateState &s)
{
    uint32_t a = s.adler_a, b = s.adler_b;
    const uint8_t *p = c->history + s.summed;
    size_t n = s.end - s.summed;
    while (n > 0) {
        size_t steps = (n < 5536 ? n : 5536) / 32;
        if (steps != 0) {
            uint32_t column[32] = {}, before[32] = {};
            for (size_t j = 0; j < steps; ++j, p += 32)
                for (int k = 0; k < 32; ++k) {
                    before[k] += column[k];
                    column[k] += p[k];
                }
            uint64_t sum = 0, weighted = 0, earlier = 0;
            for (int k = 0; k < 32; ++k) {
                sum += column[k];
                weighted += uint64_t{32 - static_cast<uint32_t>(k)} * column[k];
                earlier += before[k];
            }
            b = static_cast<uint32_t>((b + 32 * steps * a + 32 * earlier + weighted) % 65521);
            a = static_cast<uint32_t>((a + sum) % 65521);
            n -= 32 * steps;
        }
        // Fewer than 32 bytes are left only at the end.
        size_t tail = n < 32 ? n : 0;
        for (size_t i = 0; i < tail; ++i) {
            a += p[i];
            b += a;
        }
        a %= 65521;
        b %= 65521;
        p += tail;
        n -= tail;
    }
    s.adler_a = a;
    s.adler_b = b;
    s.summed = s.end;
}

// Keeps the window and the bytes not handed out yet at the history's start,
// once there is no room for another match.
void slide(DeflateCodec *c, DeflateState &s)
{
    add_to_checksum(c, s);
    size_t keep_from = s.end - WINDOW < s.read ? s.end - WINDOW : s.read;
    std::memmove(c->history, c->history + keep_from, s.end - keep_from);
    s.end -= keep_from;
    s.read -= keep_from;
    s.summed = s.end;
}

// A block's header: its type, and for stored blocks their length, for
// dynamic ones their tables.
Message begin_block(StripSource *source, DeflateCodec *c, DeflateState &s)
{
    uint32_t last, type;
    if (!take_bits(source, s, 1, &last) || !take_bits(source, s, 2, &type))
        return s.starved;
    s.last_block = last != 0;
    if (type == 0) {
        uint32_t drop = static_cast<uint32_t>(s.held & 7), length, complement;
        take_bits(source, s, static_cast<int>(drop), &length);
        if (!take_bits(source, s, 16, &length) || !take_bits(source, s, 16, &complement))
            return s.starved;
        if ((length ^ complement) != 0xFFFF)
            return MSG_DEFLATE_BAD_STORED_LENGTH;
        s.stored_left = length;
        s.phase = STORED;
        return MSG_NONE;
    }
    if (type == 3)
        return MSG_DEFLATE_BAD_BLOCK_TYPE;
    if (type == 1)
        build_fixed_tables(c);
    else if (Message failure = read_dynamic_tables(source, c, s); failure != MSG_NONE)
        return failure;
    s.phase = CODED;
    return MSG_NONE;
}

// After the last block: the Adler-32, big-endian, from the next byte on.
Message check_checksum(StripSource *source, DeflateCodec *c, DeflateState &s)
{
    add_to_checksum(c, s);
    uint32_t drop = static_cast<uint32_t>(s.held & 7), value = 0;
    take_bits(source, s, static_cast<int>(drop), &value);
    uint32_t stored = 0;
    for (int i = 0; i < 4; ++i) {
        if (!take_bits(source, s, 8, &value))
            return s.starved;
        stored = stored << 8 | value;
    }
    s.phase = DONE;
    return stored == (s.adler_b << 16 | s.adler_a) ? MSG_NONE : MSG_DEFLATE_BAD_CHECKSUM;
}

// Copies a match whose bytes may overlap its source, in 8-byte blocks that
// may write up to 7 bytes past the match (the history has slack for them).
// A block never reads bytes not yet written: it starts `far` bytes, or 8,
// after the one before, so for a distance below 8 the blocks overlap and
// repeat the pattern. Matches are mostly short: the first block is taken
// without a test.
inline void copy_match(uint8_t *to, const uint8_t *from, uint32_t length, uint32_t far)
{
    if (far == 1) {
        std::memset(to, *from, length);
        return;
    }
    uint32_t step = far < 8 ? far : 8;
    uint32_t i = 0;
    do {
        uint64_t block;  // loaded whole before it is stored: the two may overlap
        std::memcpy(&block, from + i, 8);
        std::memcpy(to + i, &block, 8);
        i += step;
    } while (i < length);
}

// A coded block's literals and matches while 8 stored bytes are at hand,
// there is room for a match, and bytes are wanted: one load of the bit
// buffer then holds a whole length and distance (at most 48 bits), or two
// literals and a third code, so nothing can run short. Stops before an
// end-of-block code or bits that no code has, which the careful path takes.
// Works on copies of the state, which stores into the history could
// otherwise alias.
inline Message decode_fast(StripSource *source, DeflateCodec *c, DeflateState &state, size_t want)
{
    uint8_t *history = c->history;
    const Entry *litlen = c->litlen, *dist = c->dist;
    uint64_t bits = state.bits;
    int held = state.held;
    const uint8_t *next = state.next;
    const uint8_t *last_load = source->end - 8;
    size_t end = state.end;
    uint64_t decoded_less_end = state.decoded - state.end;
    size_t stop = state.read + want < HISTORY_BYTES - 16 - MAX_MATCH ? state.read + want : HISTORY_BYTES - 16 - MAX_MATCH;
    Message failure = MSG_NONE;
    constexpr uint32_t ROOT_MASK = (1u << LITLEN_ROOT) - 1;
    while (end < stop && next <= last_load) {
        load_eight(bits, held, next);
        Entry e = litlen[bits & ROOT_MASK];
        if (e.kind == LITERAL) {
            // Literals of the first level take at most 10 bits each: three
            // of them leave 26 or more, which the next load tops up.
            for (int k = 0; k < 3 && e.kind == LITERAL && end < stop; ++k) {
                bits >>= e.bits;
                held -= e.bits;
                history[end++] = static_cast<uint8_t>(e.value);
                e = litlen[bits & ROOT_MASK];
            }
            continue;
        }
        if (e.kind == SECOND_LEVEL) {
            // A longer code: the root's bits, then the second level's.
            // Bits are taken only for codes decoded here; the careful path
            // decodes the others afresh.
            Entry second = litlen[e.value + ((bits >> LITLEN_ROOT) & ((1u << e.extra) - 1))];
            if (second.kind != LITERAL && second.kind != LENGTH)
                break;
            bits >>= LITLEN_ROOT;
            held -= LITLEN_ROOT;
            e = second;
            if (e.kind == LITERAL) {
                bits >>= e.bits;
                held -= e.bits;
                history[end++] = static_cast<uint8_t>(e.value);
                continue;
            }
        }
        if (e.kind != LENGTH)
            break;
        bits >>= e.bits;
        held -= e.bits;
        uint32_t length = e.value + static_cast<uint32_t>(bits & ((1u << e.extra) - 1));
        bits >>= e.extra;
        held -= e.extra;
        Entry d = dist[bits & ((1u << DIST_ROOT) - 1)];
        if (d.kind == SECOND_LEVEL) {
            d = dist[d.value + ((bits >> DIST_ROOT) & ((1u << d.extra) - 1))];
            bits >>= DIST_ROOT;
            held -= DIST_ROOT;
        }
        bits >>= d.bits;
        held -= d.bits;
        if (d.kind != DISTANCE) {
            failure = MSG_DEFLATE_BAD_CODE;
            break;
        }
        uint32_t far = d.value + static_cast<uint32_t>(bits & ((1u << d.extra) - 1));
        bits >>= d.extra;
        held -= d.extra;
        // Literals are counted once the loop ends: all bytes so far, less
        // what the state counted already (modulo 2^64, exactly).
        if (far > end + decoded_less_end) {
            failure = MSG_DEFLATE_TOO_FAR;
            break;
        }
        copy_match(history + end, history + end - far, length, far);
        end += length;
    }
    state.bits = bits;
    state.held = held;
    state.next = next;
    state.decoded = end + decoded_less_end;
    state.end = end;
    return failure;
}

// Decodes until the history holds `want` bytes beyond what was handed out,
// or, with `want` 0, until the stream ends: any byte it then gives is one
// the rows do not take.
Message inflate(StripSource *source, DeflateCodec *c, DeflateState &s, size_t want)
{
    uint8_t *history = c->history;
    while (want == 0 || s.end - s.read < want) {
        if (s.end + MAX_MATCH > HISTORY_BYTES - 16)
            slide(c, s);
        if (s.phase == BLOCK_HEADER) {
            if (Message failure = begin_block(source, c, s); failure != MSG_NONE)
                return failure;
        } else if (s.phase == STORED) {
            if (s.stored_left == 0) {
                s.phase = s.last_block ? CHECKSUM : BLOCK_HEADER;
                continue;
            }
            if (want == 0)
                return MSG_DEFLATE_NO_END;
            uint32_t byte;
            if (!take_bits(source, s, 8, &byte))
                return s.starved;
            history[s.end++] = static_cast<uint8_t>(byte);
            --s.stored_left;
            ++s.decoded;
        } else if (s.phase == CODED) {
            if (want != 0) {
                if (Message failure = decode_fast(source, c, s, want); failure != MSG_NONE)
                    return failure;
                if (s.end - s.read >= want)
                    break;
                if (s.end + MAX_MATCH > HISTORY_BYTES - 16)
                    continue;
            }
            Entry e;
            if (!decode(source, s, c->litlen, LITLEN_ROOT, &e))
                return s.starved;
            if (e.kind == LITERAL) {
                if (want == 0)
                    return MSG_DEFLATE_NO_END;
                history[s.end++] = static_cast<uint8_t>(e.value);
                ++s.decoded;
            } else if (e.kind == LENGTH) {
                uint32_t extra = 0, length, far;
                if (!take_bits(source, s, e.extra, &extra))
                    return s.starved;
                length = e.value + extra;
                Entry d;
                if (!decode(source, s, c->dist, DIST_ROOT, &d))
                    return s.starved;
                if (d.kind != DISTANCE)
                    return MSG_DEFLATE_BAD_CODE;
                if (!take_bits(source, s, d.extra, &extra))
                    return s.starved;
                far = d.value + extra;
                if (far > s.decoded)
                    return MSG_DEFLATE_TOO_FAR;
                if (want == 0)
                    return MSG_DEFLATE_NO_END;
                copy_match(history + s.end, history + s.end - far, length, far);
                s.end += length;
                s.decoded += length;
            } else if (e.kind == END_OF_BLOCK) {
                s.phase = s.last_block ? CHECKSUM : BLOCK_HEADER;
            } else {
                return MSG_DEFLATE_BAD_CODE;
            }
        } else if (s.phase == CHECKSUM) {
            if (want != 0)
                return MSG_DEFLATE_EARLY_END;
            return check_checksum(source, c, s);
        } else {
            return want != 0 ? MSG_DEFLATE_EARLY_END : MSG_NONE;
        }
    }
    return MSG_NONE;
}

DeflateState take_state(const DeflateCodec *c, const StripSource *source)
{
    DeflateState s = c->state;
    s.next = source->next;
    return s;
}

// The bit buffer keeps the bytes loaded into it (they may come from an
// earlier block of the read-ahead); bits above those held, loaded ahead of
// need, are dropped.
void save_state(DeflateCodec *c, StripSource *source, DeflateState s)
{
    if (s.held < 64)
        s.bits &= (uint64_t{1} << s.held) - 1;
    source->next = s.next;
    c->state = s;
}

Message deflate_begin_strip(StripSource *source, void *state)
{
    DeflateCodec *c = static_cast<DeflateCodec *>(state);
    c->state = DeflateState{};
    c->state.adler_a = 1;
    DeflateState s = take_state(c, source);
    uint32_t cmf, flg;
    if (!take_bits(source, s, 8, &cmf) || !take_bits(source, s, 8, &flg))
        return s.starved;
    if ((cmf & 15) != 8 || (cmf >> 4) > 7 || (cmf << 8 | flg) % 31 != 0 || (flg & 32) != 0)
        return MSG_DEFLATE_BAD_HEADER;
    save_state(c, source, s);
    return MSG_NONE;
}

Message deflate_next_bytes(StripSource *source, void *state, uint8_t *dst, size_t count)
{
    DeflateCodec *c = static_cast<DeflateCodec *>(state);
    DeflateState s = take_state(c, source);
    while (count > 0) {
        // Rows longer than the room are handed out a room at a time.
        size_t want = count < ROOM ? count : ROOM;
        if (Message failure = inflate(source, c, s, want); failure != MSG_NONE)
            return failure;
        std::memcpy(dst, c->history + s.read, want);
        s.read += want;
        dst += want;
        count -= want;
    }
    save_state(c, source, s);
    return MSG_NONE;
}

// After the strip's rows: the rest of the stream must give no byte, then
// the checksum, then nothing but zero bytes, in the bit buffer and after.
Message deflate_end_strip(StripSource *source, void *state)
{
    DeflateCodec *c = static_cast<DeflateCodec *>(state);
    DeflateState s = take_state(c, source);
    if (s.end != s.read)
        return MSG_DEFLATE_NO_END;
    if (Message failure = inflate(source, c, s, 0); failure != MSG_NONE)
        return failure;
    if (s.held < 64 && (s.bits & ((uint64_t{1} << s.held) - 1)) != 0)
        return MSG_DEFLATE_TOO_MANY;
    save_state(c, source, s);
    return check_padding(source, true, MSG_DEFLATE_TOO_MANY, MSG_DEFLATE_END_OF_FILE);
}

}  // namespace

const StripDecoder deflate_decoder = {sizeof(DeflateCodec), deflate_begin_strip, deflate_next_bytes,
                                      deflate_end_strip};
