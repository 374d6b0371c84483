// Deflate strips (Compression 8 and 32946): one zlib stream per strip, a
// 2-byte header, Deflate blocks (stored, fixed or dynamic Huffman codes), and
// the Adler-32 of the decoded bytes. Bits are packed least significant bit
// first; Huffman codes are stored most significant bit first within them.
//
// The decoder is strict, as the LZW one is: the first fault met in stream
// order decides the message, and the stream must end, checksum included,
// right where the strip's rows do; only zero bytes may follow it.
//
// A strip or tile of up to 1 MiB decoded is decoded whole, at its start, into
// a history that holds it all: matches copy from the strip's own bytes and
// nothing stops at row ends. A larger one is decoded as its rows ask, into a
// history that keeps the last 32 KiB, which matches copy from, and room to
// decode ahead, sliding when the room is used up. Rows are copied out of the
// history either way. Codes are looked up in two-level tables: a first level
// indexed by the next bits, and for longer codes a second level behind it.
// Where a short length code and the distance code after it fit the first
// level together, its entry gives the whole match.
#include <algorithm>
#include <cstring>

#include "tiff_in/reader.h"

namespace {

constexpr size_t WINDOW = 32768;
constexpr size_t ROOM = 65536;     // decoded ahead of the window before it slides
constexpr size_t MAX_MATCH = 258;
constexpr size_t TAIL = 2 * MAX_MATCH + 32;  // past the last byte wanted: a match begun before it, and slack
constexpr size_t HISTORY_BYTES = WINDOW + ROOM + TAIL;
constexpr size_t WHOLE_BYTES = size_t{1} << 20;  // strips and tiles up to this are decoded whole
// The fast loop stops this far before the history's end: a round begun
// before it writes at most two literals and a match, in 8-byte blocks
// (2 + 264 bytes). A strip decoded whole ends before it.
constexpr size_t FAST_TAIL = MAX_MATCH + 64;
static_assert(FAST_TAIL >= 2 + 264 && TAIL >= FAST_TAIL, "the fast loop's writes stay in the history");
constexpr int MAX_BITS = 15;
constexpr int LITLEN_ROOT = 11;  // first-level bits; longer codes take a second level
constexpr int DIST_ROOT = 8;
constexpr int LENGTHS_ROOT = 7;
static_assert(DIST_ROOT <= LITLEN_ROOT && LENGTHS_ROOT <= LITLEN_ROOT, "first levels are placed by one table");
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
// 2944 and 576 entries; a subtable's place must fit an entry's value, and
// in a literal/length table stay below a literal's bits (see below).
static_assert(LITLEN_ENTRIES < 4096 && DIST_ENTRIES <= 65535, "subtable places take 12 and 16 bits");

// A short match is a length code and the distance code after it in one
// first-level entry of a literal/length table (see add_short_matches).
enum Kind : uint32_t { LITERAL, LENGTH, DISTANCE, END_OF_BLOCK, SECOND_LEVEL, NO_CODE, REPEAT, SHORT_MATCH };

// A table entry in one word, so that a lookup is one load:
//   bits 0-5    the bits it takes: its code's at this level and its extra
//               bits, so that one shift takes a whole length or distance
//               (for a second level, the first level's bits; for a short
//               match, both codes' and the distance's extra bits)
//   bits 8-11   its code's bits at this level; for a second level, its
//               index bits; for a short match, both codes' bits
//   bits 12-14  its kind
//   bit 15      set for literals and distances, so that one test tells the
//               fast loop's common case in either table
//   bits 16-31  its value: the literal, the base length, the distance's
//               symbol, the code length, or the second level's place; for
//               a short match, its length in bits 16-19 and its distance's
//               symbol in bits 20-24
//   bits 28-31  for a literal, its bits again: every other entry of a
//               literal/length table has a value below 4096, so these give
//               the bits a literal takes and 0 for any other entry
struct Entry {
    uint32_t word;
};

constexpr uint32_t COMMON = 1u << 15;

constexpr Entry make_entry(uint32_t value, Kind kind, uint32_t code_bits, uint32_t extra)
{
    uint32_t common = kind == LITERAL || kind == DISTANCE ? COMMON : 0;
    return Entry{value << 16 | common | kind << 12 | code_bits << 8 | (code_bits + extra)};
}
// The entry with its code's length at this level set.
constexpr Entry with_code_bits(Entry e, uint32_t code_bits)
{
    uint32_t literal_bits = (e.word & 0x7000) == LITERAL << 12 ? code_bits << 28 : 0;
    return Entry{e.word + literal_bits + (code_bits << 8) + code_bits};
}
// A literal in a literal/length table, a distance in a distance table.
constexpr bool is_common(Entry e)
{
    return (e.word & COMMON) != 0;
}
constexpr bool has_kind(Entry e, Kind kind)
{
    return (e.word & 0x7000) == kind << 12;
}
constexpr uint32_t value_of(Entry e)
{
    return e.word >> 16;
}
constexpr uint8_t literal_of(Entry e)
{
    return static_cast<uint8_t>(e.word >> 16);
}
constexpr int code_bits_of(Entry e)
{
    return static_cast<int>((e.word >> 8) & 15);
}
constexpr int taken_of(Entry e)
{
    return static_cast<int>(e.word & 63);
}
// In a literal/length table: the bits a literal takes, 0 for other entries.
constexpr int literal_bits_of(Entry e)
{
    return static_cast<int>(e.word >> 28);
}
// The extra bits that follow the code in `bits` (those from before the
// entry's bits were taken).
inline size_t extra_of(Entry e, uint64_t bits)
{
    // In 64 bits and by the low byte (bits 6 and 7 are clear), so that the
    // compiler may make the mask one instruction (bzhi) where the processor
    // has BMI2; GCC does so for some of its uses.
    uint64_t with_extra = bits & ((uint64_t{1} << static_cast<uint8_t>(e.word)) - 1);
    return static_cast<size_t>(with_extra >> code_bits_of(e));
}

constexpr uint16_t length_base[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                      31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t length_extra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint16_t distance_base[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
                                        193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr uint8_t distance_extra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                        6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
// A distance's base, and a short match's length and distance's base.
constexpr uint32_t distance_base_of(Entry d)
{
    return distance_base[value_of(d)];
}
constexpr uint32_t short_length_of(Entry e)
{
    return (e.word >> 16) & 15;
}
constexpr uint32_t short_distance_base_of(Entry e)
{
    return distance_base[(e.word >> 20) & 31];
}
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
    size_t capacity;       // of the history
    const uint8_t *next;   // of the read-ahead, while an operation runs
    Message starved;       // why no more bytes could be loaded
};

// The codec's bytes are followed by its history, of the capacity that
// history_capacity gives for the largest strip of the page.
struct DeflateCodec {
    DeflateState state;
    const Entry *litlen, *dist;  // the current block's tables: the fixed ones or those below
    Entry dynamic_litlen[LITLEN_ENTRIES];
    Entry dynamic_dist[DIST_ENTRIES];
};

uint8_t *history_of(DeflateCodec *c)
{
    return reinterpret_cast<uint8_t *>(c + 1);
}

// A strip of `bytes` decoded: whole, where it fits the bound, else a window
// and room at a time. Grows with `bytes` up to the bound, so a history for
// the page's largest strip (or the bound) holds that of every other.
size_t history_capacity(uint64_t bytes)
{
    bool whole = bytes <= WHOLE_BYTES && bytes + TAIL > HISTORY_BYTES;
    return whole ? static_cast<size_t>(bytes) + TAIL : HISTORY_BYTES;
}

// ---- bits ----

// Tops the bit buffer up to 56 bits or more from 8 stored bytes, without a
// branch on how many it held; the bits this loads above `held` are those of
// the next byte, which a later load puts in the same place again. Only the
// low 6 bits of `held` are read (the fast loop's count has more).
template <typename Held>
inline void load_eight(uint64_t &bits, Held &held, const uint8_t *&next)
{
    uint64_t eight = 0;
    // One load where the host is little-endian: compilers make one of the
    // loop below only when they unroll it, which -O2 does not.
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    std::memcpy(&eight, next, 8);
#else
    for (int i = 7; i >= 0; --i)
        eight = eight << 8 | next[i];
#endif
    bits |= eight << (held & 63);
    next += 7;
    next -= (static_cast<uint32_t>(held) >> 3) & 7;  // the bits held are 0 to 63
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
    while (s.held < 56) {  // at most 63, as load_eight needs
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
    if (has_kind(e, SECOND_LEVEL)) {
        taken = root;
        e = table[value_of(e) + ((s.bits >> root) & ((1u << code_bits_of(e)) - 1))];
    }
    if (taken + code_bits_of(e) > s.held)
        return false;
    s.bits >>= taken + code_bits_of(e);
    s.held -= taken + code_bits_of(e);
    *found = e;
    return true;
}

// ---- tables ----

// The next code of `length` bits after `code`, both stored least
// significant bit first, as the stream gives them: one added at the top.
constexpr uint32_t next_reversed(uint32_t code, int length)
{
    uint32_t bit = 1u << (length - 1);
    while ((code & bit) != 0)
        bit >>= 1;
    return (code & (bit - 1)) | bit;
}

// A code of `length` bits, most significant bit first, as the stream gives
// it: least significant bit first.
constexpr uint32_t reversed(uint32_t code, int length)
{
    uint32_t r = 0;
    for (int bit = 0; bit < length; ++bit)
        r |= (code >> bit & 1) << (length - 1 - bit);
    return r;
}

// Every first-level index (of at most LITLEN_ROOT bits) reversed.
struct Reversals {
    uint16_t of[size_t{1} << LITLEN_ROOT];
};

constexpr Reversals make_reversals()
{
    Reversals r{};
    for (uint32_t i = 0; i < (1u << LITLEN_ROOT); ++i)
        r.of[i] = static_cast<uint16_t>(reversed(i, LITLEN_ROOT));
    return r;
}

constexpr Reversals reversals = make_reversals();

// Copies the first `span` entries on until `to` are filled; gives `to`.
constexpr size_t widen(Entry *table, size_t span, size_t to)
{
    constexpr size_t BLOCK = 16;
    for (; span < to && span < BLOCK; span *= 2)
        for (size_t k = 0; k < span; ++k)
            table[span + k] = table[k];
    // Then a block at a time, each loaded whole before it is stored, so
    // that the compiler may copy it in vectors.
    for (; span < to; span *= 2)
        for (size_t k = 0; k < span; k += BLOCK) {
            Entry block[BLOCK] = {};
            for (size_t j = 0; j < BLOCK; ++j)
                block[j] = table[k + j];
            for (size_t j = 0; j < BLOCK; ++j)
                table[span + k + j] = block[j];
        }
    return span;
}

// What symbol `symbol` of a code means.
constexpr Entry literal_or_length(int symbol)
{
    if (symbol < 256)
        return make_entry(static_cast<uint32_t>(symbol), LITERAL, 0, 0);
    if (symbol == 256)
        return make_entry(0, END_OF_BLOCK, 0, 0);
    if (symbol < 286)
        return make_entry(length_base[symbol - 257], LENGTH, 0, length_extra[symbol - 257]);
    return make_entry(0, NO_CODE, 0, 0);
}

constexpr Entry distance(int symbol)
{
    if (symbol < 30)
        return make_entry(static_cast<uint32_t>(symbol), DISTANCE, 0, distance_extra[symbol]);
    return make_entry(0, NO_CODE, 0, 0);
}

constexpr Entry code_length(int symbol)
{
    return make_entry(static_cast<uint32_t>(symbol), REPEAT, 0, 0);
}

// Every symbol's meaning in each code, looked up as tables are built.
struct Meanings {
    Entry litlen[288];
    Entry dist[32];
    Entry lengths[19];
};

constexpr Meanings make_meanings()
{
    Meanings m{};
    for (int i = 0; i < 288; ++i)
        m.litlen[i] = literal_or_length(i);
    for (int i = 0; i < 32; ++i)
        m.dist[i] = distance(i);
    for (int i = 0; i < 19; ++i)
        m.lengths[i] = code_length(i);
    return m;
}

constexpr Meanings meanings = make_meanings();

enum Completeness { COMPLETE_ONLY, AS_ZLIB_ALLOWS };

// Builds the table of a canonical code from its code lengths. False when the
// lengths make no code: over-subscribed, or incomplete beyond what zlib
// accepts (a single code of one bit, or no code at all); neither takes a
// subtable. Codes are placed in canonical order, shortest first, so the
// longer codes under one first-level entry come one after another: the
// first of them opens their subtable, of as many bits as the codes still to
// be placed need to fill it. Where `places` is given, the place of each
// first-level code's symbol goes there.
constexpr bool build_table(const uint8_t *lengths, int n, const Entry *meaning, int root, Entry *table, size_t capacity,
                           Completeness completeness, uint16_t *places = nullptr)
{
    // Counted and sorted in groups of symbols, a quarter each and the few
    // left over, so that the adds to the same length's count or place
    // from symbols next to each other do not wait for one another.
    constexpr int GROUPS = 4;
    const int quarter = n / GROUPS;
    int count_in[GROUPS + 1][MAX_BITS + 1] = {};
    for (int i = 0; i < quarter; ++i)
        for (int g = 0; g < GROUPS; ++g)
            ++count_in[g][lengths[g * quarter + i]];
    for (int i = GROUPS * quarter; i < n; ++i)
        ++count_in[GROUPS][lengths[i]];
    int count[MAX_BITS + 1] = {};
    for (int len = 0; len <= MAX_BITS; ++len)
        for (int g = 0; g <= GROUPS; ++g)
            count[len] += count_in[g][len];
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
    // The symbols in canonical order: by length, then by value; those
    // without a code first.
    uint16_t sorted[288] = {};
    int at[GROUPS + 1][MAX_BITS + 1] = {};
    for (int len = 0, start = 0; len <= MAX_BITS; ++len)
        for (int g = 0; g <= GROUPS; ++g) {
            at[g][len] = start;
            start += count_in[g][len];
        }
    for (int i = 0; i < quarter; ++i)
        for (int g = 0; g < GROUPS; ++g)
            sorted[at[g][lengths[g * quarter + i]]++] = static_cast<uint16_t>(g * quarter + i);
    for (int i = GROUPS * quarter; i < n; ++i)
        sorted[at[GROUPS][lengths[i]]++] = static_cast<uint16_t>(i);
    const int *end = at[GROUPS];  // of each length's symbols
    // The first level is filled one code length at a time: a code of len
    // bits takes one place among the first 2^len, and what those hold
    // repeats every 2^len places, so they are copied on before longer codes
    // are placed. From one place with no code, which an incomplete code
    // leaves where it has none.
    table[0] = make_entry(0, NO_CODE, 1, 0);
    size_t span = 1;
    // The next code, most significant bit first: counted up, and followed
    // by a zero for the next length; placed where its bits reversed, as the
    // stream gives them, point.
    uint32_t canonical = 0;
    int i = count[0];
    int len = 1;
    for (; len <= root; ++len, canonical <<= 1) {
        span = widen(table, span, size_t{1} << len);
        for (int k = count[len]; k > 0; --k, ++canonical, ++i) {
            uint16_t place = reversals.of[canonical << (LITLEN_ROOT - len)];
            table[place] = with_code_bits(meaning[sorted[i]], static_cast<uint32_t>(len));
            if (places != nullptr)
                places[sorted[i]] = place;
        }
    }
    // Longer codes are few: counted up least significant bit first.
    uint32_t code = reversed(canonical, len);
    const uint32_t root_mask = (1u << root) - 1;
    uint32_t open = ~0u;  // the first-level entry of the open subtable
    size_t used = size_t{1} << root;
    size_t sub_at = 0;    // where the open subtable starts
    int sub_bits = 0;
    for (; len <= MAX_BITS; ++len) {
        for (; i < end[len]; ++i, --count[len], code = next_reversed(code, len)) {
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
                table[open] = make_entry(static_cast<uint32_t>(used), SECOND_LEVEL, static_cast<uint32_t>(sub_bits),
                                         static_cast<uint32_t>(root - sub_bits));
                sub_at = used;
                used += size_t{1} << sub_bits;
            }
            Entry e = with_code_bits(meaning[sorted[i]], static_cast<uint32_t>(len - root));
            for (uint32_t k = code >> root; k < (1u << sub_bits); k += 1u << (len - root))
                table[sub_at + k] = e;
        }
    }
    return true;
}

// A short match takes at most this many bits: then a round's two literals,
// a short match and the next code's lookup take no more than a load gives.
constexpr int SHORT_MATCH_BITS = 22;
static_assert(3 * LITLEN_ROOT + SHORT_MATCH_BITS <= 56, "a round needs no second load for a short match");

// Turns the first-level entries of length codes without extra bits
// (lengths 3 to 10) into short matches, wherever the distance code after
// them fits the first level's bits too and the match takes at most
// SHORT_MATCH_BITS: the fast loop then finds a whole match in one lookup,
// not two, on its chain of loads that wait on one another. Such a length
// code of c bits, at `places[symbol]`, repeats every 2^c entries; the
// bits above its c are the distance code's.
constexpr void add_short_matches(const uint8_t *lengths, const uint16_t *places, int n, Entry *litlen,
                                 const Entry *dist)
{
    constexpr int FIRST = 257, END = 265;  // the symbols of lengths 3 to 10
    int shortest = LITLEN_ROOT;
    for (int symbol = FIRST; symbol < END && symbol < n; ++symbol)
        if (lengths[symbol] != 0)
            shortest = std::min(shortest, static_cast<int>(lengths[symbol]));
    // The first-level distance entries that may follow one, each as a
    // short match's part, and the longest length code it may follow.
    uint32_t distances = 1u << std::min(LITLEN_ROOT - shortest, DIST_ROOT);
    Entry part[1u << DIST_ROOT] = {};
    int longest[1u << DIST_ROOT] = {};
    for (uint32_t k = 0; k < distances; ++k) {
        Entry d = dist[k];
        if (!has_kind(d, DISTANCE))
            continue;
        part[k] = Entry{value_of(d) << 20 | SHORT_MATCH << 12 | (d.word & 0xFFF)};
        longest[k] = std::min(LITLEN_ROOT - code_bits_of(d), SHORT_MATCH_BITS - taken_of(d));
    }
    for (int symbol = FIRST; symbol < END && symbol < n; ++symbol) {
        int c = lengths[symbol];
        if (c == 0 || c >= LITLEN_ROOT)
            continue;
        // The length and its code's bits, added to the distance's part.
        uint32_t length_part = static_cast<uint32_t>(symbol - FIRST + 3) << 16 | static_cast<uint32_t>(c) << 8 |
                               static_cast<uint32_t>(c);
        uint32_t place = places[symbol], repeats = 1u << (LITLEN_ROOT - c);
        for (uint32_t k = 0; k < repeats; ++k) {
            uint32_t j = k & (distances - 1);
            if (c <= longest[j])
                litlen[place | k << c] = Entry{part[j].word + length_part};
        }
    }
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
    uint16_t places[288] = {};
    build_table(lengths, 288, meanings.litlen, LITLEN_ROOT, t.litlen, size_t{1} << LITLEN_ROOT, COMPLETE_ONLY, places);
    build_table(lengths + 288, 32, meanings.dist, DIST_ROOT, t.dist, size_t{1} << DIST_ROOT, COMPLETE_ONLY);
    add_short_matches(lengths, places, 288, t.litlen, t.dist);  // none: 7-bit length codes and 5-bit distance codes
    return t;
}

constexpr FixedTables fixed_tables = make_fixed_tables();

// A dynamic block's code lengths and its two tables.
Message read_tables(StripSource *source, DeflateCodec *c, DeflateState &s)
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
    if (!build_table(code_lengths, 19, meanings.lengths, LENGTHS_ROOT, lengths_table, LENGTHS_ENTRIES, COMPLETE_ONLY))
        return MSG_DEFLATE_BAD_CODE_LENGTHS;
    uint8_t lengths[MAX_LITLEN_SYMBOLS + MAX_DIST_SYMBOLS];
    int total = litlen_count + dist_count;
    // Their code is complete and of at most LENGTHS_ROOT bits: every entry
    // is a code's, of one level.
    for (int i = 0; i < total;) {
        if (s.held < LENGTHS_ROOT)
            load_bits(source, s);
        Entry e = lengths_table[s.bits & (LENGTHS_ENTRIES - 1)];
        if (code_bits_of(e) > s.held)
            return s.starved;
        s.bits >>= code_bits_of(e);
        s.held -= code_bits_of(e);
        uint32_t symbol = value_of(e);
        if (symbol < 16) {
            lengths[i++] = static_cast<uint8_t>(symbol);
            continue;
        }
        uint32_t repeat, value = 0;
        if (symbol == 16) {
            if (i == 0)
                return MSG_DEFLATE_BAD_CODE_LENGTHS;
            value = lengths[i - 1];
            if (!take_bits(source, s, 2, &repeat))
                return s.starved;
            repeat += 3;
        } else if (symbol == 17) {
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
    uint16_t places[MAX_LITLEN_SYMBOLS];
    if (!build_table(lengths, litlen_count, meanings.litlen, LITLEN_ROOT, c->dynamic_litlen, LITLEN_ENTRIES,
                     AS_ZLIB_ALLOWS, places) ||
        !build_table(lengths + litlen_count, dist_count, meanings.dist, DIST_ROOT, c->dynamic_dist, DIST_ENTRIES,
                     AS_ZLIB_ALLOWS))
        return MSG_DEFLATE_BAD_CODE_LENGTHS;
    add_short_matches(lengths, places, litlen_count, c->dynamic_litlen, c->dynamic_dist);
    c->litlen = c->dynamic_litlen;
    c->dist = c->dynamic_dist;
    return MSG_NONE;
}

// On a copy of the state, which the compiler keeps in registers: the bytes
// stored into the lengths could otherwise alias it.
Message read_dynamic_tables(StripSource *source, DeflateCodec *c, DeflateState &state)
{
    DeflateState s = state;
    Message failure = read_tables(source, c, s);
    state = s;
    return failure;
}

// ---- the stream ----

// Adler-32 (a and b) carried over `n` more bytes. In 32 lanes, over 32
// bytes at a time: `column` sums each lane's bytes, `before` adds the
// column sums before each step, which is what b gathers from a's growth;
// both are plain vertical sums that a compiler vectorises, in 16 bits over
// groups of up to 16 steps (at most 120 times 255 in `before`). Of `before`
// only the sum over the lanes is needed: a group adds its own, and its
// steps times the columns of the groups before it. A block of up to 5536
// bytes is then folded into a and b (in 64 bits) and reduced; the result is
// that of a byte at a time.
ALWAYS_INLINE void adler32(uint32_t *adler_a, uint32_t *adler_b, const uint8_t *p, size_t n)
{
    uint32_t a = *adler_a, b = *adler_b;
    while (n > 0) {
        size_t steps = (n < 5536 ? n : 5536) / 32;
        if (steps != 0) {
            uint32_t column[32] = {};
            uint64_t sum = 0, earlier = 0;
            for (size_t group = 0; group < steps; group += 16) {
                size_t m = steps - group < 16 ? steps - group : 16;
                uint16_t column16[32] = {}, before16[32] = {};
                for (size_t j = 0; j < m; ++j, p += 32)
                    for (int k = 0; k < 32; ++k) {
                        before16[k] = static_cast<uint16_t>(before16[k] + column16[k]);
                        column16[k] = static_cast<uint16_t>(column16[k] + p[k]);
                    }
                uint32_t group_before = 0, group_sum = 0;
                for (int k = 0; k < 32; ++k) {
                    group_before += before16[k];
                    group_sum += column16[k];
                    column[k] += column16[k];
                }
                earlier += group_before + m * sum;
                sum += group_sum;
            }
            uint64_t weighted = 0;
            for (int k = 0; k < 32; ++k)
                weighted += uint64_t{32 - static_cast<uint32_t>(k)} * column[k];
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
    *adler_a = a;
    *adler_b = b;
}

using Adler32Function = void (*)(uint32_t *, uint32_t *, const uint8_t *, size_t);

void adler32_generic(uint32_t *a, uint32_t *b, const uint8_t *p, size_t n)
{
    adler32(a, b, p, n);
}

// Where the processor has AVX2, the lanes are summed 16 at once, not 8.
BUILT_FOR("avx2") void adler32_avx2(uint32_t *a, uint32_t *b, const uint8_t *p, size_t n)
{
    adler32(a, b, p, n);
}

const Adler32Function adler32_of = host_features().avx2 ? adler32_avx2 : adler32_generic;

// The history's bytes not summed yet go into the checksum.
void add_to_checksum(DeflateCodec *c, DeflateState &s)
{
    adler32_of(&s.adler_a, &s.adler_b, history_of(c) + s.summed, s.end - s.summed);
    s.summed = s.end;
}

// Keeps the window and the bytes not handed out yet at the history's start,
// once there is no room for another match.
void slide(DeflateCodec *c, DeflateState &s)
{
    add_to_checksum(c, s);
    size_t keep_from = s.end - WINDOW < s.read ? s.end - WINDOW : s.read;
    std::memmove(history_of(c), history_of(c) + keep_from, s.end - keep_from);
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
// repeat the pattern. Matches are mostly short: from 8 bytes back on, the
// first three blocks (24 bytes) are copied without a test.
inline void copy_match(uint8_t *to, const uint8_t *from, size_t length, size_t far)
{
    uint64_t block;  // loaded whole before it is stored: the two may overlap
    if (far >= 8) {
        for (size_t i = 0; i < 24; i += 8) {
            std::memcpy(&block, from + i, 8);
            std::memcpy(to + i, &block, 8);
        }
        for (size_t i = 24; i < length; i += 8) {
            std::memcpy(&block, from + i, 8);
            std::memcpy(to + i, &block, 8);
        }
        return;
    }
    if (far == 1) {
        block = *from * uint64_t{0x0101010101010101};
        for (size_t i = 0; i < length; i += 8)
            std::memcpy(to + i, &block, 8);
        return;
    }
    size_t i = 0;
    do {
        std::memcpy(&block, from + i, 8);
        std::memcpy(to + i, &block, 8);
        i += far;
    } while (i < length);
}

// A match after its length code's entry `e`, or a short match's, whose code
// bits are taken: the length's extra bits, the distance code and its extra
// bits, each tested against the bits loaded, from `bits` of which `held` are
// loaded; `decoded` is how many bytes the stream has given. MATCH_SHORT
// where the bits loaded end first.
enum MatchStep { MATCH, MATCH_SHORT, MATCH_BAD_CODE, MATCH_TOO_FAR };

inline MatchStep decode_match(uint64_t &bits, int &held, Entry e, const Entry *dist, uint64_t decoded,
                              uint32_t *length, uint32_t *far)
{
    int extra = taken_of(e) - code_bits_of(e);
    if (held < extra)
        return MATCH_SHORT;
    uint32_t distance_base = 0;
    if (has_kind(e, SHORT_MATCH)) {
        // Both codes are taken: only the distance's extra bits are left.
        *length = short_length_of(e);
        distance_base = short_distance_base_of(e);
    } else {
        *length = value_of(e) + static_cast<uint32_t>(bits & ((1u << extra) - 1));
        bits >>= extra;
        held -= extra;
        Entry d = dist[bits & ((1u << DIST_ROOT) - 1)];
        int taken = 0;
        if (has_kind(d, SECOND_LEVEL)) {
            taken = DIST_ROOT;
            d = dist[value_of(d) + ((bits >> DIST_ROOT) & ((1u << code_bits_of(d)) - 1))];
        }
        if (taken + code_bits_of(d) > held)
            return MATCH_SHORT;
        bits >>= taken + code_bits_of(d);
        held -= taken + code_bits_of(d);
        if (!has_kind(d, DISTANCE))
            return MATCH_BAD_CODE;
        extra = taken_of(d) - code_bits_of(d);
        if (held < extra)
            return MATCH_SHORT;
        distance_base = distance_base_of(d);
    }
    *far = distance_base + static_cast<uint32_t>(bits & ((1u << extra) - 1));
    bits >>= extra;
    held -= extra;
    return *far > decoded ? MATCH_TOO_FAR : MATCH;
}

// Takes entry e's bits: its code's and its extra bits, which its low byte
// counts; the whole entry is taken from `held`, whose low byte alone counts.
inline void take_entry(uint64_t &bits, uint32_t &held, Entry e)
{
    bits >>= taken_of(e);
    held -= e.word;
}

// The fast loop's registers.
struct FastLoop {
    uint64_t bits;
    uint32_t held;  // in its low byte; the bits above it mean nothing (see take_entry)
    const uint8_t *next;
    size_t end;
    Entry next_entry;  // the next code's, looked up ahead
};

// Copies a match of the fast loop `far` bytes back, or gives the fault.
// Literals are counted once the loop ends: all bytes so far are those the
// state counted, less its end, plus this end (modulo 2^64, exactly).
ALWAYS_INLINE Message fast_copy(FastLoop &f, uint8_t *history, size_t length, size_t far,
                                uint64_t decoded_less_end)
{
    if (far > f.end + decoded_less_end)
        return MSG_DEFLATE_TOO_FAR;
    copy_match(history + f.end, history + f.end - far, length, far);
    f.end += length;
    return MSG_NONE;
}

// A match in the fast loop, after its length code's entry `e` (a first or
// second level's, whose earlier bits are taken), with its code and extra
// bits at hand; `decoded_less_end` counts the bytes before the history. Tops the
// bits up where the distance and the next code's lookup may need more,
// copies the match and looks up the next code; or gives the fault. Forced
// inline: compilers at -O2 keep it a call, and built for all processors.
ALWAYS_INLINE Message fast_match(FastLoop &f, Entry e, uint8_t *history, const Entry *litlen, const Entry *dist,
                                 uint64_t decoded_less_end)
{
    uint64_t saved = f.bits;
    take_entry(f.bits, f.held, e);
    size_t length = value_of(e) + extra_of(e, saved);
    // The distance's first level is looked up in the bits at hand, before
    // they are topped up for the rest of it.
    Entry d = dist[f.bits & ((1u << DIST_ROOT) - 1)];
    // A distance takes at most 28 bits (a 15-bit code and 13 extra), and
    // the lookup after it LITLEN_ROOT; more are at hand than are held. A
    // match right after a load needs none.
    if (static_cast<uint8_t>(f.held) < 28 + LITLEN_ROOT)
        load_eight(f.bits, f.held, f.next);
    if (!is_common(d)) {
        if (has_kind(d, SECOND_LEVEL)) {
            f.bits >>= DIST_ROOT;
            f.held -= DIST_ROOT;
            d = dist[value_of(d) + (f.bits & ((1u << code_bits_of(d)) - 1))];
        }
        if (!has_kind(d, DISTANCE))
            return MSG_DEFLATE_BAD_CODE;
    }
    saved = f.bits;
    take_entry(f.bits, f.held, d);
    f.next_entry = litlen[f.bits & ((1u << LITLEN_ROOT) - 1)];
    return fast_copy(f, history, length, distance_base_of(d) + extra_of(d, saved), decoded_less_end);
}

// A short match in the fast loop, after its entry `e`: takes its bits, looks
// up the next code, copies the match; or gives the fault.
ALWAYS_INLINE Message fast_short_match(FastLoop &f, Entry e, uint8_t *history, const Entry *litlen,
                                       uint64_t decoded_less_end)
{
    uint64_t saved = f.bits;
    take_entry(f.bits, f.held, e);
    f.next_entry = litlen[f.bits & ((1u << LITLEN_ROOT) - 1)];
    return fast_copy(f, history, short_length_of(e), short_distance_base_of(e) + extra_of(e, saved),
                     decoded_less_end);
}

// Stores a literal and takes its bits.
inline void fast_literal(FastLoop &f, Entry e, uint8_t *history)
{
    take_entry(f.bits, f.held, e);
    history[f.end++] = literal_of(e);
}

// A coded block's literals and matches while 16 stored bytes are at hand,
// there is room for a match, and bytes are wanted. Each round tops the bit
// buffer up to 56 bits or more without a branch, and after a load all 64
// bits of the buffer are the stream's, so the next code's entry is looked
// up before the bits are topped up again, while the work before it is
// still under way. A round takes up to three first-level literals (33
// bits); or up to two and a short match (44 bits, and the next lookup's
// 11); or up to two and a match: the two and the length take at most 42
// bits, and the bits are topped up again for the distance (28 bits) where
// it and the next lookup may need more than are held. Stops before an
// end-of-block code or bits that no code has, which the careful path takes
// afresh, and may decode up to a round past `want`. Works on copies of the
// state, which stores into the history could otherwise alias.
ALWAYS_INLINE Message decode_fast(StripSource *source, DeflateCodec *c, DeflateState &state, size_t want)
{
    uint8_t *history = history_of(c);
    const Entry *litlen = c->litlen, *dist = c->dist;
    const uint8_t *last_load = source->end - 16;
    uint64_t decoded_less_end = state.decoded - state.end;
    size_t limit = state.capacity - FAST_TAIL;
    size_t stop = state.read + want < limit ? state.read + want : limit;
    constexpr uint32_t LITLEN_MASK = (1u << LITLEN_ROOT) - 1;
    FastLoop f{state.bits, static_cast<uint32_t>(state.held), state.next, state.end, Entry{}};
    Message failure = MSG_NONE;
    if (f.end >= stop || f.next > last_load)
        return failure;
    load_eight(f.bits, f.held, f.next);
    f.next_entry = litlen[f.bits & LITLEN_MASK];
    for (;;) {
        // A first literal without a branch: whether a literal comes next is
        // often a toss-up, where a branch is mispredicted and costs more
        // than the lookup that an entry of another kind then repeats (its
        // bits are not taken, so the lookup finds it again). Its byte is
        // stored either way: past the bytes decoded, where a match or a
        // later literal writes over it.
        Entry e = f.next_entry;
        history[f.end] = literal_of(e);
        f.end += (e.word & COMMON) >> 15;
        f.bits >>= literal_bits_of(e);
        f.held -= static_cast<uint32_t>(literal_bits_of(e));
        e = litlen[f.bits & LITLEN_MASK];
        if (is_common(e)) {
            fast_literal(f, e, history);
            e = litlen[f.bits & LITLEN_MASK];
        }
        if (is_common(e)) {
            fast_literal(f, e, history);
            f.next_entry = litlen[f.bits & LITLEN_MASK];
        } else if (has_kind(e, SHORT_MATCH)) {
            if ((failure = fast_short_match(f, e, history, litlen, decoded_less_end)) != MSG_NONE)
                break;
        } else if (has_kind(e, LENGTH)) {
            if ((failure = fast_match(f, e, history, litlen, dist, decoded_less_end)) != MSG_NONE)
                break;
        } else if (has_kind(e, SECOND_LEVEL)) {
            // A longer code: the root's bits, then the second level's.
            Entry second = litlen[value_of(e) + ((f.bits >> LITLEN_ROOT) & ((1u << code_bits_of(e)) - 1))];
            if (!has_kind(second, LITERAL) && !has_kind(second, LENGTH)) {
                f.next_entry = e;
                break;
            }
            f.bits >>= LITLEN_ROOT;
            f.held -= LITLEN_ROOT;
            if (has_kind(second, LITERAL)) {
                fast_literal(f, second, history);
                f.next_entry = litlen[f.bits & LITLEN_MASK];
            } else if ((failure = fast_match(f, second, history, litlen, dist, decoded_less_end)) != MSG_NONE) {
                break;
            }
        } else {
            break;
        }
        if (f.end >= stop || f.next > last_load)
            break;
        load_eight(f.bits, f.held, f.next);
    }
    state.bits = f.bits;
    state.held = static_cast<uint8_t>(f.held);
    state.next = f.next;
    state.decoded = f.end + decoded_less_end;
    state.end = f.end;
    return failure;
}

// The fast loop as the host's processor runs it best: where it has BMI2
// (variable shifts and masks in one instruction each), built for it, which
// takes a tenth fewer instructions; otherwise, or on other compilers and
// processors, as built for all.
using FastLoopFunction = Message (*)(StripSource *, DeflateCodec *, DeflateState &, size_t);

Message decode_fast_generic(StripSource *source, DeflateCodec *c, DeflateState &state, size_t want)
{
    return decode_fast(source, c, state, want);
}

BUILT_FOR("bmi2") Message decode_fast_bmi2(StripSource *source, DeflateCodec *c, DeflateState &state, size_t want)
{
    return decode_fast(source, c, state, want);
}

const FastLoopFunction fast_loop = host_features().bmi2 ? decode_fast_bmi2 : decode_fast_generic;

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
    uint8_t *history = history_of(c);
    while (want == 0 || s.end - s.read < want) {
        if (s.end + MAX_MATCH > s.capacity - 16)
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
                if (Message failure = fast_loop(source, c, s, want); failure != MSG_NONE)
                    return failure;
                if (s.end - s.read >= want)
                    break;
                if (s.end + MAX_MATCH > s.capacity - 16)
                    continue;
            }
            Entry e;
            if (!decode(source, s, c->litlen, LITLEN_ROOT, &e))
                return s.starved;
            if (has_kind(e, LITERAL)) {
                if (want == 0 && !drop_spare(s, 1))
                    return MSG_DEFLATE_NO_END;
                history[s.end++] = literal_of(e);
                ++s.decoded;
            } else if (has_kind(e, LENGTH) || has_kind(e, SHORT_MATCH)) {
                // A whole match takes at most 33 bits, which one load gives
                // unless the strip ends first.
                if (s.held < 33)
                    load_bits(source, s);
                uint32_t length = 0, far = 0;
                switch (decode_match(s.bits, s.held, e, c->dist, s.decoded, &length, &far)) {
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
            } else if (has_kind(e, END_OF_BLOCK)) {
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

size_t deflate_state_bytes(uint64_t largest_strip_bytes)
{
    uint64_t largest = largest_strip_bytes < WHOLE_BYTES ? largest_strip_bytes : WHOLE_BYTES;
    return sizeof(DeflateCodec) + history_capacity(largest);
}

// The header, then, for a strip decoded whole, all its rows' bytes.
Message deflate_begin_strip(StripSource *source, void *state, uint64_t bytes)
{
    DeflateCodec *c = static_cast<DeflateCodec *>(state);
    c->state = DeflateState{};
    c->state.adler_a = 1;
    c->state.capacity = history_capacity(bytes);
    DeflateState s = take_state(c, source);
    uint32_t cmf, flg;
    if (!take_bits(source, s, 8, &cmf) || !take_bits(source, s, 8, &flg))
        return s.starved;
    if ((cmf & 15) != 8 || (cmf >> 4) > 7 || (cmf << 8 | flg) % 31 != 0 || (flg & 32) != 0)
        return MSG_DEFLATE_BAD_HEADER;
    if (bytes <= WHOLE_BYTES && bytes != 0)
        if (Message failure = inflate(source, c, s, static_cast<size_t>(bytes)); failure != MSG_NONE)
            return failure;
    save_state(c, source, s);
    return MSG_NONE;
}

Message deflate_next_bytes(StripSource *source, void *state, uint8_t *dst, size_t count)
{
    DeflateCodec *c = static_cast<DeflateCodec *>(state);
    DeflateState s = take_state(c, source);
    while (count > 0) {
        // Rows longer than the room are handed out a room at a time.
        size_t room = s.capacity - WINDOW - TAIL;
        size_t want = count < room ? count : room;
        if (Message failure = inflate(source, c, s, want); failure != MSG_NONE)
            return failure;
        std::memcpy(dst, history_of(c) + s.read, want);
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

const StripDecoder deflate_decoder = {deflate_state_bytes, deflate_begin_strip, deflate_next_bytes,
                                      deflate_end_strip};
