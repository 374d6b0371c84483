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
// Symbols a dynamic block's codes may have: HLIT and HDIST reach beyond
// them, so they are checked before any length is read.
constexpr int MAX_LITLEN_SYMBOLS = 286;
constexpr int MAX_DIST_SYMBOLS = 30;
static_assert(257 + 31 > MAX_LITLEN_SYMBOLS && 1 + 31 > MAX_DIST_SYMBOLS, "HLIT and HDIST need their checks");

// The most entries a table of a complete code of `symbols` symbols takes:
// its first level, and subtables sized one by one. A subtable of b bits
// holds a complete code that is not complete at b - 1 bits, so it takes at
// least b + 1 symbols; the first level's other entries take at least as
// many codes as the binary digits of their number. Of every count of
// subtables, the sizes that those symbols allow and that give the most
// entries are found by dynamic programming (entries[j][c]: the most of j
// subtables taking c symbols).
constexpr size_t table_bound(int symbols, int root)
{
    constexpr int most = MAX_LITLEN_SYMBOLS;
    long entries[2][most + 1] = {};
    for (int c = 1; c <= symbols; ++c)
        entries[0][c] = -1;
    long best = 0;
    for (int k = 1; k <= symbols && k <= (1 << root); ++k) {
        long *now = entries[k & 1], *before = entries[(k - 1) & 1];
        int others = 0;
        for (int rest = (1 << root) - k; rest != 0; rest &= rest - 1)
            ++others;
        for (int c = 0; c <= symbols; ++c) {
            now[c] = -1;
            for (int b = 1; b <= MAX_BITS - root && b + 1 <= c; ++b)
                if (before[c - b - 1] >= 0 && before[c - b - 1] + (1L << b) > now[c])
                    now[c] = before[c - b - 1] + (1L << b);
            if (c <= symbols - others && now[c] > best)
                best = now[c];
        }
    }
    return (size_t{1} << root) + static_cast<size_t>(best);
}

constexpr size_t LITLEN_ENTRIES = table_bound(MAX_LITLEN_SYMBOLS, LITLEN_ROOT);
constexpr size_t DIST_ENTRIES = table_bound(MAX_DIST_SYMBOLS, DIST_ROOT);
constexpr size_t LENGTHS_ENTRIES = size_t{1} << LENGTHS_ROOT;  // codes of at most 7 bits
// 2504 and 576 entries; a subtable's place must fit an entry's value.
static_assert(LITLEN_ENTRIES <= 65535 && DIST_ENTRIES <= 65535, "subtable places take 16 bits");

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

constexpr uint16_t length_base[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                      31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t length_extra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint16_t distance_base[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
                                        193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr uint8_t distance_extra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                        6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
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
    uint64_t spare;        // bytes that end_strip may still drop: whole rows past the image
    size_t row_bytes;      // of those rows
    const uint8_t *next;   // of the read-ahead, while an operation runs
    Message starved;       // why no more bytes could be loaded
};

struct DeflateCodec {
    DeflateState state;
    const Entry *litlen, *dist;  // the current block's tables: the fixed ones or those below
    Entry dynamic_litlen[LITLEN_ENTRIES];
    Entry dynamic_dist[DIST_ENTRIES];
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

constexpr uint32_t reverse_bits(uint32_t code, int length)
{
    uint32_t r = 0;
    for (int i = 0; i < length; ++i, code >>= 1)
        r = (r << 1) | (code & 1);
    return r;
}

// What symbol `symbol` of a code means.
using Meaning = Entry (*)(int symbol);

constexpr Entry literal_or_length(int symbol)
{
    if (symbol < 256)
        return Entry{static_cast<uint16_t>(symbol), 0, LITERAL, 0};
    if (symbol == 256)
        return Entry{0, 0, END_OF_BLOCK, 0};
    if (symbol < 286)
        return Entry{length_base[symbol - 257], 0, LENGTH, length_extra[symbol - 257]};
    return Entry{0, 0, NO_CODE, 0};
}

constexpr Entry distance(int symbol)
{
    if (symbol < 30)
        return Entry{distance_base[symbol], 0, DISTANCE, distance_extra[symbol]};
    return Entry{0, 0, NO_CODE, 0};
}

constexpr Entry code_length(int symbol)
{
    return Entry{static_cast<uint16_t>(symbol), 0, REPEAT, 0};
}

enum Completeness { COMPLETE_ONLY, AS_ZLIB_ALLOWS };

// Builds the table of a canonical code from its code lengths. False when the
// lengths make no code: over-subscribed, or incomplete beyond what zlib
// accepts (a single code of one bit, or no code at all); neither takes a
// subtable. Codes are placed in canonical order, shortest first, so the
// longer codes under one first-level entry come one after another: the
// first of them opens their subtable, of as many bits as the codes still to
// be placed need to fill it.
constexpr bool build_table(const uint8_t *lengths, int n, Meaning meaning, int root, Entry *table, size_t capacity,
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
    // The symbols in canonical order: by length, then by value.
    int sorted[288] = {}, end[MAX_BITS + 1] = {};
    for (int len = 1; len < MAX_BITS; ++len)
        end[len + 1] = end[len] + count[len];
    for (int symbol = 0; symbol < n; ++symbol)
        if (lengths[symbol] != 0)
            sorted[end[lengths[symbol]]++] = symbol;
    const uint32_t root_mask = (1u << root) - 1;
    for (size_t i = 0; i <= root_mask; ++i)
        table[i] = Entry{0, 1, NO_CODE, 0};
    size_t used = size_t{1} << root;
    uint32_t next = 0;    // the next code, most significant bit first
    uint32_t open = ~0u;  // the first-level entry of the open subtable
    size_t sub_at = 0;    // where the open subtable starts
    int sub_bits = 0;
    for (int len = 1, i = 0; len <= MAX_BITS; next <<= 1, ++len) {
        for (; i < end[len]; ++i, --count[len]) {
            uint32_t code = reverse_bits(next++, len);
            Entry e = meaning(sorted[i]);
            if (len <= root) {
                e.bits = static_cast<uint8_t>(len);
                for (uint32_t k = code; k <= root_mask; k += 1u << len)
                    table[k] = e;
                continue;
            }
            if ((code & root_mask) != open) {
                open = code & root_mask;
                sub_bits = len - root;
                for (int slots = 1 << sub_bits; root + sub_bits < MAX_BITS; ++sub_bits, slots <<= 1) {
                    slots -= count[root + sub_bits];
                    if (slots <= 0)
                        break;
                }
                // Within the bound for complete codes; a wrong bound fails safe.
                if (used + (size_t{1} << sub_bits) > capacity)
                    return false;
                table[open] = Entry{static_cast<uint16_t>(used), static_cast<uint8_t>(root), SECOND_LEVEL,
                                    static_cast<uint8_t>(sub_bits)};
                sub_at = used;
                used += size_t{1} << sub_bits;
            }
            e.bits = static_cast<uint8_t>(len - root);
            for (uint32_t k = code >> root; k < (1u << sub_bits); k += 1u << (len - root))
                table[sub_at + k] = e;
        }
    }
    return true;
}

// The fixed code's tables, built once: no code is longer than the first level.
struct FixedTables {
    Entry litlen[size_t{1} << LITLEN_ROOT];
    Entry dist[size_t{1} << DIST_ROOT];
};

constexpr FixedTables make_fixed_tables()
{
    FixedTables t{};
    uint8_t lengths[288 + 32] = {};
    for (int i = 0; i < 288; ++i)
        lengths[i] = i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8;
    for (int i = 0; i < 32; ++i)
        lengths[288 + i] = 5;
    build_table(lengths, 288, literal_or_length, LITLEN_ROOT, t.litlen, size_t{1} << LITLEN_ROOT, COMPLETE_ONLY);
    build_table(lengths + 288, 32, distance, DIST_ROOT, t.dist, size_t{1} << DIST_ROOT, COMPLETE_ONLY);
    return t;
}

constexpr FixedTables fixed_tables = make_fixed_tables();

// A dynamic block's code lengths and its two tables.
Message read_dynamic_tables(StripSource *source, DeflateCodec *c, DeflateState &s)
{
    uint32_t hlit, hdist, hclen;
    if (!take_bits(source, s, 5, &hlit) || !take_bits(source, s, 5, &hdist) || !take_bits(source, s, 4, &hclen))
        return s.starved;
    int litlen_count = static_cast<int>(hlit) + 257, dist_count = static_cast<int>(hdist) + 1;
    if (litlen_count > MAX_LITLEN_SYMBOLS || dist_count > MAX_DIST_SYMBOLS)
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
    uint8_t lengths[MAX_LITLEN_SYMBOLS + MAX_DIST_SYMBOLS];
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
    if (!build_table(lengths, litlen_count, literal_or_length, LITLEN_ROOT, c->dynamic_litlen, LITLEN_ENTRIES,
                     AS_ZLIB_ALLOWS) ||
        !build_table(lengths + litlen_count, dist_count, distance, DIST_ROOT, c->dynamic_dist, DIST_ENTRIES,
                     AS_ZLIB_ALLOWS))
        return MSG_DEFLATE_BAD_CODE_LENGTHS;
    c->litlen = c->dynamic_litlen;
    c->dist = c->dynamic_dist;
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
    if (type == 1) {
        c->litlen = fixed_tables.litlen;
        c->dist = fixed_tables.dist;
    } else if (Message failure = read_dynamic_tables(source, c, s); failure != MSG_NONE)
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

// A match after its length code's entry `e`, whose bits are taken: the
// length's extra bits, the distance code and its extra bits, from `bits` of
// which `held` are loaded; `decoded` is how many bytes the stream has given.
// The fast loop has loaded enough bits for a whole match and tests none;
// the careful path tests each part and says MATCH_SHORT where the bits
// loaded end first.
enum MatchStep { MATCH, MATCH_SHORT, MATCH_BAD_CODE, MATCH_TOO_FAR };

template <bool careful>
inline MatchStep decode_match(uint64_t &bits, int &held, Entry e, const Entry *dist, uint64_t decoded,
                              uint32_t *length, uint32_t *far)
{
    if (careful && held < e.extra)
        return MATCH_SHORT;
    *length = e.value + static_cast<uint32_t>(bits & ((1u << e.extra) - 1));
    bits >>= e.extra;
    held -= e.extra;
    Entry d = dist[bits & ((1u << DIST_ROOT) - 1)];
    int taken = 0;
    if (d.kind == SECOND_LEVEL) {
        taken = DIST_ROOT;
        d = dist[d.value + ((bits >> DIST_ROOT) & ((1u << d.extra) - 1))];
    }
    if (careful && taken + d.bits > held)
        return MATCH_SHORT;
    bits >>= taken + d.bits;
    held -= taken + d.bits;
    if (d.kind != DISTANCE)
        return MATCH_BAD_CODE;
    if (careful && held < d.extra)
        return MATCH_SHORT;
    *far = d.value + static_cast<uint32_t>(bits & ((1u << d.extra) - 1));
    bits >>= d.extra;
    held -= d.extra;
    return *far > decoded ? MATCH_TOO_FAR : MATCH;
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
        // Literals are counted once the loop ends: all bytes so far are
        // those the state counted, less its end, plus this end (modulo
        // 2^64, exactly).
        uint32_t length = 0, far = 0;
        MatchStep step = decode_match<false>(bits, held, e, dist, end + decoded_less_end, &length, &far);
        if (step != MATCH) {
            failure = step == MATCH_BAD_CODE ? MSG_DEFLATE_BAD_CODE : MSG_DEFLATE_TOO_FAR;
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

// With `want` 0, `n` bytes that the rows do not take are about to be
// decoded: dropped, as handed out, while spare rows allow them.
inline bool drop_spare(DeflateState &s, uint32_t n)
{
    if (n > s.spare)
        return false;
    s.spare -= n;
    s.read = s.end + n;
    return true;
}

// Decodes until the history holds `want` bytes beyond what was handed out,
// or, with `want` 0, until the stream ends: any byte it then gives is one
// the rows do not take, and must be one of a spare row.
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
            if (want == 0 && !drop_spare(s, 1))
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
                if (want == 0 && !drop_spare(s, 1))
                    return MSG_DEFLATE_NO_END;
                history[s.end++] = static_cast<uint8_t>(e.value);
                ++s.decoded;
            } else if (e.kind == LENGTH) {
                // A whole match takes at most 33 bits, which one load gives
                // unless the strip ends first.
                if (s.held < 33)
                    load_bits(source, s);
                uint32_t length = 0, far = 0;
                switch (decode_match<true>(s.bits, s.held, e, c->dist, s.decoded, &length, &far)) {
                case MATCH: break;
                case MATCH_SHORT: return s.starved;
                case MATCH_BAD_CODE: return MSG_DEFLATE_BAD_CODE;
                case MATCH_TOO_FAR: return MSG_DEFLATE_TOO_FAR;
                }
                if (want == 0 && !drop_spare(s, length))
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
            // Spare rows are dropped whole or not at all.
            if (s.spare % s.row_bytes != 0)
                return MSG_DEFLATE_NO_END;
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
Message deflate_end_strip(StripSource *source, void *state, uint32_t spare_rows, size_t row_bytes)
{
    DeflateCodec *c = static_cast<DeflateCodec *>(state);
    DeflateState s = take_state(c, source);
    // Fewer than 2^32 rows of at most 2^32 bytes (a width below 2^31 of at
    // most 64 bits): the product fits. Rows of 0 bytes spare none. Bytes
    // already decoded past the rows, by a match that crossed their end,
    // are the first spared.
    uint64_t spare = spare_rows * uint64_t{row_bytes};
    if (s.end - s.read > spare)
        return MSG_DEFLATE_NO_END;
    s.spare = spare - (s.end - s.read);
    s.read = s.end;
    s.row_bytes = row_bytes != 0 ? row_bytes : 1;
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
