// The strip byte source: a strip's stored bytes in order, read ahead in
// blocks and mapped by the fill order before a decoder sees them.
#include <algorithm>

#include "tiff_in/reader.h"

namespace {

uint8_t ahead_buffer[1 << 16];

// Reads up to n stored bytes of the strip from the stream, never past the
// strip's byte count, and maps them by the fill order.
size_t read_stored(uint8_t *dst, size_t n)
{
    size_t want = n < reader.ahead_budget ? n : reader.ahead_budget;
    size_t got = want == 0 ? 0 : std::fread(dst, 1, want, reader.stream);
    reader.ahead_budget -= static_cast<uint32_t>(got);
    if (const uint8_t *map = reader.strip_byte_map)
        for (size_t i = 0; i < got; ++i)
            dst[i] = map[dst[i]];
    return got;
}

}  // namespace

void begin_strip_input(uint32_t offset, uint32_t byte_count)
{
    seek_input(offset);
    reader.ahead_budget = byte_count;
}

bool refill_strip_input()
{
    size_t got = read_stored(ahead_buffer, sizeof ahead_buffer);
    reader.ahead_next = ahead_buffer;
    reader.ahead_end = ahead_buffer + got;
    return got != 0;
}

size_t read_strip_block(uint8_t *dst, size_t n)
{
    size_t done = 0;
    size_t ahead = static_cast<size_t>(reader.ahead_end - reader.ahead_next);
    if (ahead != 0) {
        done = n < ahead ? n : ahead;
        std::copy(reader.ahead_next, reader.ahead_next + done, dst);
        reader.ahead_next += done;
    }
    if (done == n)
        return n;
    // Large remainders go straight from the stream to their destination.
    return done + read_stored(dst + done, n - done);
}

void take_strip_bytes(uint8_t *dst, size_t count, const char *too_few, const char *end_of_file)
{
    size_t available = count < reader.strip_bytes_left ? count : reader.strip_bytes_left;
    size_t got = read_strip_block(dst, available);
    reader.strip_bytes_left -= static_cast<uint32_t>(got);
    if (got < available)
        report_input_error(end_of_file);
    if (available < count)
        report_input_error(too_few);
}
