#include "support/encoders.h"

#include <map>

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

Bytes pack_codes(const std::vector<LzwCode> &codes)
{
    Bytes out;
    uint32_t acc = 0;
    int nbits = 0;
    for (const LzwCode &c : codes) {
        for (int b = c.width - 1; b >= 0; --b) {
            acc = (acc << 1) | ((c.code >> b) & 1);
            if (++nbits == 8) {
                out.push_back(static_cast<uint8_t>(acc));
                acc = 0;
                nbits = 0;
            }
        }
    }
    if (nbits != 0)
        out.push_back(static_cast<uint8_t>(acc << (8 - nbits)));
    return out;
}

int lzw_data_code_width(unsigned k)
{
    return k <= 254 ? 9 : k <= 766 ? 10 : k <= 1790 ? 11 : 12;
}

Bytes lzw_encode(const Bytes &data, const LzwOptions &options)
{
    std::vector<LzwCode> codes = {{256, 9}};
    std::map<std::pair<int, uint8_t>, int> table;
    int next = 258;
    unsigned k = 0;  // data codes since the last clear code
    int w = -1;
    for (uint8_t b : data) {
        if (w < 0) {
            w = b;
            continue;
        }
        auto found = table.find({w, b});
        if (found != table.end()) {
            w = found->second;
            continue;
        }
        codes.push_back({static_cast<uint32_t>(w), lzw_data_code_width(++k)});
        if (k == options.codes_per_table) {
            codes.push_back({256, lzw_data_code_width(k + 1)});
            table.clear();
            next = 258;
            k = 0;
        } else {
            table[{w, b}] = next++;
        }
        w = b;
    }
    if (w >= 0)
        codes.push_back({static_cast<uint32_t>(w), lzw_data_code_width(++k)});
    int end_width = k == 0 ? 9 : lzw_data_code_width(options.end_at_wider ? k + 1 : k);
    if (options.clear_before_end) {
        codes.push_back({256, end_width});
        end_width = 9;
    }
    codes.push_back({257, end_width});
    return pack_codes(codes);
}
