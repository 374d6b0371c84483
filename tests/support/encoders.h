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
