// Reference compressors for building test strips, written from the formats'
// descriptions and independently of imgratio's decoders.
#pragma once

#include "support/tiff_builder.h"

// PackBits: repeat runs for 2 to 128 equal bytes, literal runs of up to 128
// bytes. With `noop_every` > 0 a no-operation header (128) is put before
// every noop_every-th run.
Bytes packbits_encode(const Bytes &data, unsigned noop_every = 0);

// Reverses the bit order of every byte (FillOrder 2 storage).
Bytes reverse_bits_each(Bytes data);

// One LZW code and the number of bits it is written with.
struct LzwCode {
    uint32_t code;
    int width;
};

// Packs codes most significant bit first; the last byte is padded with zero bits.
Bytes pack_codes(const std::vector<LzwCode> &codes);

// The width TIFF LZW writers give the k-th data code after a clear code
// (k from 1): the table's size announces the wider code one entry early.
int lzw_data_code_width(unsigned k);

struct LzwOptions {
    unsigned codes_per_table = 3839;  // a clear code follows this many data codes
    bool end_at_wider = false;        // end code at the next data code's width
    bool clear_before_end = false;
};

// A TIFF LZW strip: clear code, data codes, end code.
Bytes lzw_encode(const Bytes &data, const LzwOptions &options = {});
