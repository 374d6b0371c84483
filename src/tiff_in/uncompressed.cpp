// Uncompressed strips: the stored bytes are the decoded bytes, and the byte
// count must match what the rows consume exactly.
#include "tiff_in/reader.h"

namespace {

size_t raw_state_bytes(uint64_t)
{
    return 0;
}

Message raw_begin_strip(StripSource *, void *, uint64_t)
{
    return MSG_NONE;
}

Message raw_next_bytes(StripSource *source, void *, uint8_t *dst, size_t count)
{
    return take_strip_bytes(source, dst, count, MSG_RAW_TOO_FEW, MSG_END_OF_FILE);
}

Message raw_end_strip(StripSource *source, void *, uint32_t, size_t)
{
    return strip_bytes_left(source) != 0 ? MSG_RAW_TOO_MANY : MSG_NONE;
}

}  // namespace

const StripDecoder uncompressed_decoder = {raw_state_bytes, raw_begin_strip, raw_next_bytes, raw_end_strip};
