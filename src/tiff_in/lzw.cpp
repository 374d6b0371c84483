// LZW strips are not decoded yet.
#include "tiff_in/reader.h"

namespace {

void lzw_begin_strip(uint32_t, uint32_t)
{
    report_input_error("LZW compression is not supported yet.");
}

int lzw_next_byte() { return 0; }
void lzw_end_strip() {}

}  // namespace

const StripDecoder lzw_decoder = {lzw_begin_strip, lzw_next_byte, lzw_end_strip};
