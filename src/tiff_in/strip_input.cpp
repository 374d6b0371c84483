// The strip byte source: a strip's stored bytes in order, read ahead in
// blocks and mapped by the fill order before a decoder sees them.
#include <algorithm>

#include "tiff_in/reader.h"

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
size_t read_stored(TiffInput *in, uint8_t *dst, size_t n)
{
    size_t want = n < in->budget ? n : in->budget;
    size_t got = want == 0 ? 0 : std::fread(dst, 1, want, in->stream);
    in->budget -= static_cast<uint32_t>(got);
    if (in->fill_order == 2)
        for (size_t i = 0; i < got; ++i)
            dst[i] = bit_reversal.table[dst[i]];
    return got;
}

// Copies up to n stored bytes to dst; returns how many the file held.
size_t read_strip_block(TiffInput *in, uint8_t *dst, size_t n)
{
    size_t done = 0;
    size_t ahead = static_cast<size_t>(in->ahead_end - in->ahead_next);
    if (ahead != 0) {
        done = n < ahead ? n : ahead;
        std::copy(in->ahead_next, in->ahead_next + done, dst);
        in->ahead_next += done;
    }
    if (done == n)
        return n;
    // Large remainders go straight from the stream to their destination.
    return done + read_stored(in, dst + done, n - done);
}

}  // namespace

void begin_strip_input(TiffInput *in, uint32_t offset, uint32_t byte_count)
{
    seek_input(in, offset);
    in->budget = byte_count;
}

bool refill_strip_input(TiffInput *in)
{
    size_t got = read_stored(in, in->ahead, AHEAD_BYTES);
    in->ahead_next = in->ahead;
    in->ahead_end = in->ahead + got;
    return got != 0;
}

Message take_strip_bytes(TiffInput *in, uint8_t *dst, size_t count, Message too_few, Message end_of_file)
{
    size_t left = strip_bytes_left(in);
    size_t available = count < left ? count : left;
    size_t got = read_strip_block(in, dst, available);
    if (got < available)
        return end_of_file;
    if (available < count)
        return too_few;
    return MSG_NONE;
}
