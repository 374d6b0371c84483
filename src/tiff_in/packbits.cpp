// PackBits strips: a header byte h opens each run. 0..127: h + 1 literal
// bytes follow; 129..255: one byte follows, repeated 257 - h times; 128: no
// operation. Runs may cross rows but never strips.
#include <cstring>

#include "tiff_in/reader.h"

namespace {

struct PackBitsState {
    int32_t run_count;  // literal bytes (> 0) or repeats (< 0) still to give
    uint8_t repeat_byte;
};

// Headers and repeated bytes are taken one at a time, literal runs as blocks,
// with the same checks. Returns the byte, or -1 with *failure set.
int read_code_byte(StripSource *source, Message *failure)
{
    if (strip_bytes_left(source) == 0) {
        *failure = MSG_MPB_TOO_FEW;
        return -1;
    }
    int c = read_strip_byte(source);
    if (c < 0)
        *failure = MSG_MPB_END_OF_FILE;
    return c;
}

size_t packbits_state_bytes(uint64_t)
{
    return sizeof(PackBitsState);
}

Message packbits_begin_strip(StripSource *, void *state, uint64_t)
{
    static_cast<PackBitsState *>(state)->run_count = 0;
    return MSG_NONE;
}

// Whole runs that lie in the read-ahead and fit in what is asked for, taken
// without the checks of every byte: the read-ahead holds only bytes of the
// strip. Runs are mostly a few bytes long, so those of up to 16 bytes are
// copied as 16, into the slack that follows every destination. Returns the
// number of bytes placed at dst.
size_t take_whole_runs(StripSource *source, uint8_t *dst, size_t count)
{
    const uint8_t *p = source->next, *end = source->end;
    size_t done = 0;
    while (done < count && end - p >= 2) {
        size_t header = p[0];
        if (header < 128) {
            size_t n = header + 1;
            if (n > count - done || static_cast<size_t>(end - p) - 1 < n)
                break;
            if (n <= 16 && end - p > 16)
                std::memcpy(dst + done, p + 1, 16);
            else
                std::memcpy(dst + done, p + 1, n);
            p += n + 1;
            done += n;
        } else if (header > 128) {
            size_t n = 257 - header;
            if (n > count - done)
                break;
            if (n <= 16)
                std::memset(dst + done, p[1], 16);
            else
                std::memset(dst + done, p[1], n);
            p += 2;
            done += n;
        } else {
            ++p;
        }
    }
    source->next = p;
    return done;
}

Message packbits_next_bytes(StripSource *source, void *state, uint8_t *dst, size_t count)
{
    PackBitsState *s = static_cast<PackBitsState *>(state);
    Message failure = MSG_NONE;
    while (count > 0) {
        if (s->run_count == 0) {
            size_t done = take_whole_runs(source, dst, count);
            dst += done;
            count -= done;
            if (count == 0)
                break;
            int header;
            do
                header = read_code_byte(source, &failure);
            while (header == 128);
            if (header < 0)
                return failure;
            if (header < 128) {
                s->run_count = header + 1;
            } else {
                int repeated = read_code_byte(source, &failure);
                if (repeated < 0)
                    return failure;
                s->repeat_byte = static_cast<uint8_t>(repeated);
                s->run_count = header - 257;
            }
        }
        size_t run = static_cast<size_t>(s->run_count > 0 ? s->run_count : -s->run_count);
        size_t n = run < count ? run : count;
        if (s->run_count > 0) {
            failure = take_strip_bytes(source, dst, n, MSG_MPB_TOO_FEW, MSG_MPB_END_OF_FILE);
            if (failure != MSG_NONE)
                return failure;
            s->run_count -= static_cast<int32_t>(n);
        } else {
            std::memset(dst, s->repeat_byte, n);
            s->run_count += static_cast<int32_t>(n);
        }
        dst += n;
        count -= n;
    }
    return MSG_NONE;
}

Message packbits_end_strip(StripSource *source, void *state, uint32_t, size_t)
{
    // An open run and unread compressed bytes are the same fault.
    if (static_cast<PackBitsState *>(state)->run_count != 0 || strip_bytes_left(source) != 0)
        return MSG_MPB_TOO_MANY;
    return MSG_NONE;
}

}  // namespace

const StripDecoder packbits_decoder = {packbits_state_bytes, packbits_begin_strip, packbits_next_bytes,
                                       packbits_end_strip};
