// Shared only inside src/tiff_in: the stored bytes of the current strip or
// tile, as the decoders take them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tiff_in/directory.h"

// The current strip's stored bytes, read ahead in blocks and mapped by the
// fill order before a decoder sees them: those read ahead, from `next` to
// `end`, and `budget` more still in the file.
struct StripSource {
    const TiffFile *file = nullptr;
    bool reverse_bits = false;  // FillOrder 2
    uint8_t *ahead = nullptr;   // AHEAD_BYTES
    const uint8_t *next = nullptr;
    const uint8_t *end = nullptr;
    uint64_t budget = 0;
};

constexpr size_t AHEAD_BYTES = size_t{1} << 16;

// Positions the source at a strip of byte_count stored bytes, with nothing
// read ahead.
void begin_strip_source(StripSource *source, uint64_t offset, uint64_t byte_count);
// Stored bytes of the strip not yet taken.
inline uint64_t strip_bytes_left(const StripSource *source)
{
    return source->budget + static_cast<uint64_t>(source->end - source->next);
}
// Reads the next block ahead; false when the strip or the file has no more.
bool refill_strip_source(StripSource *source);
// The next stored byte, or -1 at the end of the file.
inline int read_strip_byte(StripSource *source)
{
    if (source->next == source->end && !refill_strip_source(source))
        return -1;
    return *source->next++;
}
// Takes `count` stored bytes into dst: fails with `too_few` when the
// strip's byte count runs out first, with `end_of_file` when the file does.
Message take_strip_bytes(StripSource *source, uint8_t *dst, size_t count, Message too_few, Message end_of_file);
// The strip's stored bytes left after a compressed stream: `too_many` at
// the first that is not zero (or at any, where zeros are not allowed),
// `end_of_file` where the file ends first.
Message check_padding(StripSource *source, bool zeros_allowed, Message too_many, Message end_of_file);
