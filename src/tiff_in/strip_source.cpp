// The stored-byte source: a strip's stored bytes in order, read ahead in
// blocks and mapped by the fill order before a decoder sees them.
#include <algorithm>

#include "tiff_in/strip_source.h"

namespace {

struct BitReversal {
    uint8_t table[256];
};

constexpr BitReversal make_bit_reversal()
{
    BitReversal r{};
    for (int b = 0; b < 256; ++b) {
        int v = 0;
        for (int bit = 0; bit < 8; ++bit)
            if (b & (1 << bit))
                v |= 0x80 >> bit;
        r.table[b] = static_cast<uint8_t>(v);
    }
    return r;
}

constexpr BitReversal bit_reversal = make_bit_reversal();

// Reads up to n stored bytes of the strip from the stream, never past the
// strip's byte count, and maps them by the fill order.
size_t read_stored(StripSource *source, uint8_t *dst, size_t n)
{
    size_t want = n < source->budget ? n : static_cast<size_t>(source->budget);
    size_t got = want == 0 ? 0 : std::fread(dst, 1, want, source->file->stream);
    source->budget -= got;
    if (source->reverse_bits)
        for (size_t i = 0; i < got; ++i)
            dst[i] = bit_reversal.table[dst[i]];
    return got;
}

// Copies up to n stored bytes to dst; returns how many the file held.
// Large remainders go straight from the stream to their destination, small
// ones through the read-ahead, so that every read of the file is large.
size_t read_strip_block(StripSource *source, uint8_t *dst, size_t n)
{
    size_t done = 0;
    while (done < n) {
        size_t ahead = static_cast<size_t>(source->end - source->next);
        if (ahead == 0) {
            if (n - done >= AHEAD_BYTES)
                return done + read_stored(source, dst + done, n - done);
            if (!refill_strip_source(source))
                return done;
            continue;
        }
        size_t k = n - done < ahead ? n - done : ahead;
        std::copy(source->next, source->next + k, dst + done);
        source->next += k;
        done += k;
    }
    return n;
}

}  // namespace

void begin_strip_source(StripSource *source, uint64_t offset, uint64_t byte_count)
{
    // Beyond the end, reads fail as at the end; seeking there would take
    // steps without bound.
    seek_file(source->file->stream, offset < source->file->size ? offset : source->file->size);
    source->next = source->end = source->ahead;
    source->budget = byte_count;
}

bool refill_strip_source(StripSource *source)
{
    size_t got = read_stored(source, source->ahead, AHEAD_BYTES);
    source->next = source->ahead;
    source->end = source->ahead + got;
    return got != 0;
}

Message check_padding(StripSource *source, bool zeros_allowed, Message too_many, Message end_of_file)
{
    while (strip_bytes_left(source) != 0) {
        int byte = read_strip_byte(source);
        if (byte < 0)
            return end_of_file;
        if (byte != 0 || !zeros_allowed)
            return too_many;
    }
    return MSG_NONE;
}

Message take_strip_bytes(StripSource *source, uint8_t *dst, size_t count, Message too_few, Message end_of_file)
{
    uint64_t left = strip_bytes_left(source);
    size_t available = count < left ? count : static_cast<size_t>(left);
    size_t got = read_strip_block(source, dst, available);
    if (got < available)
        return end_of_file;
    if (available < count)
        return too_few;
    return MSG_NONE;
}
