#include "support/encoders.h"

Bytes packbits_encode(const Bytes &data, unsigned noop_every)
{
    Bytes out;
    size_t i = 0;
    unsigned runs = 0;
    while (i < data.size()) {
        if (noop_every != 0 && ++runs % noop_every == 0)
            out.push_back(128);
        size_t same = 1;
        while (i + same < data.size() && same < 128 && data[i + same] == data[i])
            ++same;
        if (same >= 2) {
            out.push_back(static_cast<uint8_t>(257 - same));
            out.push_back(data[i]);
            i += same;
            continue;
        }
        // A literal run up to the next pair of equal bytes.
        size_t n = 1;
        while (i + n < data.size() && n < 128 &&
               !(i + n + 1 < data.size() && data[i + n] == data[i + n + 1]))
            ++n;
        out.push_back(static_cast<uint8_t>(n - 1));
        out.insert(out.end(), data.begin() + static_cast<std::ptrdiff_t>(i),
                   data.begin() + static_cast<std::ptrdiff_t>(i + n));
        i += n;
    }
    return out;
}

Bytes reverse_bits_each(Bytes data)
{
    for (uint8_t &b : data) {
        uint8_t r = 0;
        for (int bit = 0; bit < 8; ++bit)
            if (b & (1 << bit))
                r = static_cast<uint8_t>(r | (0x80 >> bit));
        b = r;
    }
    return data;
}
