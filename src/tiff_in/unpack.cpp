// A row's decoded bytes into what the row holds: unsigned samples of up to
// 16 bits as 16-bit samples, every other format as values in doubles; and
// the predictors undone.
#include <cmath>
#include <cstring>
#include <limits>

#include "tiff_in/reader.h"

namespace {

// ---- Samples ----

// Sample x takes bytes at or below x * bits / 8 and is stored at byte 2x:
// unpacking from the last sample to the first overwrites no byte before
// it is read.
void unpack_8(const uint8_t *bytes, uint16_t *samples, uint32_t count, uint32_t)
{
    for (uint32_t x = count; x-- > 0;)
        samples[x] = bytes[x];
}

void unpack_16(const uint8_t *bytes, uint16_t *samples, uint32_t count, uint32_t)
{
    if (bytes != reinterpret_cast<const uint8_t *>(samples))
        std::memcpy(samples, bytes, size_t{count} * 2);
}

void unpack_16_swapped(const uint8_t *bytes, uint16_t *samples, uint32_t count, uint32_t bits)
{
    unpack_16(bytes, samples, count, bits);
    for (uint32_t x = 0; x < count; ++x)
        samples[x] = static_cast<uint16_t>((samples[x] >> 8) | (samples[x] << 8));
}

// A bit stream, most significant bit of each byte first.
void unpack_bit_stream(const uint8_t *bytes, uint16_t *samples, uint32_t count, uint32_t bits)
{
    for (uint32_t x = count; x-- > 0;) {
        uint64_t first_bit = uint64_t{x} * bits;
        uint32_t value = 0;
        for (uint32_t b = 0; b < bits; ++b) {
            uint64_t bit = first_bit + b;
            value = (value << 1) | ((bytes[bit >> 3] >> (7 - (bit & 7))) & 1);
        }
        samples[x] = static_cast<uint16_t>(value);
    }
}

// An entry a depth, for samples in the host's byte order and in the other;
// a depth not listed is a bit stream, in which byte order plays no part.
const struct {
    uint32_t bits;
    UnpackRow host_order, other_order;
} unpackers[] = {
    {8, unpack_8, unpack_8},
    {16, unpack_16, unpack_16_swapped},
};

// ---- Values ----

template <typename T>
T load(const uint8_t *p)
{
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <typename T>
void store(uint8_t *p, T v)
{
    std::memcpy(p, &v, sizeof v);
}

template <typename U>
U byte_swapped(U v)
{
    U swapped = 0;
    for (size_t i = 0; i < sizeof(U); ++i, v = static_cast<U>(v >> 8))
        swapped = static_cast<U>((swapped << 8) | (v & 0xFF));
    return swapped;
}

// IEEE half precision: 1 sign bit, 5 exponent bits, 10 fraction bits.
struct Half {
    uint16_t bits;
};

double value_of(Half h)
{
    double sign = (h.bits & 0x8000) != 0 ? -1.0 : 1.0;
    int exponent = (h.bits >> 10) & 0x1F;
    double fraction = h.bits & 0x3FF;
    if (exponent == 0x1F && fraction != 0)
        return std::numeric_limits<double>::quiet_NaN();
    if (exponent == 0x1F)
        return sign * std::numeric_limits<double>::infinity();
    if (exponent == 0)
        return sign * std::ldexp(fraction, -24);
    return sign * std::ldexp(1024 + fraction, exponent - 25);
}

template <typename T>
double value_of(T v)
{
    return static_cast<double>(v);
}

// The samples' bytes in place at the front of `values`, each sample of
// sizeof(U) bytes: reversed to the host's order, differences summed modulo
// 2 to the power of the depth, then the values from the last to the first,
// so that no sample's bytes are overwritten before they are read.
template <typename T, typename U>
void unpack_values(double *values, uint32_t count, bool swap, bool differenced)
{
    static_assert(sizeof(T) == sizeof(U) && sizeof(T) <= sizeof(double), "a sample is read in place");
    auto bytes = reinterpret_cast<uint8_t *>(values);
    if (swap && sizeof(U) > 1)
        for (size_t x = 0; x < count; ++x)
            store(bytes + x * sizeof(U), byte_swapped(load<U>(bytes + x * sizeof(U))));
    if (differenced) {
        U sum = 0;
        for (size_t x = 0; x < count; ++x) {
            sum = static_cast<U>(sum + load<U>(bytes + x * sizeof(U)));
            store(bytes + x * sizeof(U), sum);
        }
    }
    for (size_t x = count; x-- > 0;)
        values[x] = value_of(load<T>(bytes + x * sizeof(T)));
}

// The formats read as values: SampleFormat (void already read as unsigned)
// and depth.
const struct {
    uint32_t format;
    uint32_t bits;
    UnpackValues unpack;
} value_unpackers[] = {
    {1, 32, unpack_values<uint32_t, uint32_t>}, {2, 8, unpack_values<int8_t, uint8_t>},
    {2, 16, unpack_values<int16_t, uint16_t>},  {2, 32, unpack_values<int32_t, uint32_t>},
    {3, 16, unpack_values<Half, uint16_t>},     {3, 32, unpack_values<float, uint32_t>},
    {3, 64, unpack_values<double, uint64_t>},
};

}  // namespace

UnpackRow choose_unpack(uint32_t bits, bool swap_bytes)
{
    for (const auto &u : unpackers)
        if (u.bits == bits)
            return swap_bytes ? u.other_order : u.host_order;
    return unpack_bit_stream;
}

UnpackValues choose_unpack_values(uint32_t format, uint32_t bits)
{
    for (const auto &u : value_unpackers)
        if (u.format == format && u.bits == bits)
            return u.unpack;
    return nullptr;
}

// Where the compiler has vector types (GCC, Clang), eight samples at a
// time: each lane gains the lanes before it in three shifted additions,
// then the sample left of the eight; only that last addition waits for the
// eight before. Lanes wrap at 16 bits, which the mask's depth divides.
void undo_differencing(uint16_t *row, uint32_t width, uint16_t mask)
{
    uint16_t *p = row + 1, *end = row + width;
    uint32_t previous = row[0];
#if defined(__GNUC__)
    typedef uint16_t Lanes __attribute__((vector_size(16)));
    const Lanes zero = {}, masks = zero + mask;
    Lanes left = zero + row[0];
    for (; end - p >= 8; p += 8) {
        Lanes v;
        std::memcpy(&v, p, sizeof v);
        v += __builtin_shufflevector(zero, v, 0, 8, 9, 10, 11, 12, 13, 14);
        v += __builtin_shufflevector(zero, v, 0, 1, 8, 9, 10, 11, 12, 13);
        v += __builtin_shufflevector(zero, v, 0, 1, 2, 3, 8, 9, 10, 11);
        v = (v + left) & masks;
        std::memcpy(p, &v, sizeof v);
        left = __builtin_shufflevector(v, v, 7, 7, 7, 7, 7, 7, 7, 7);
    }
    previous = left[0];
#endif
    for (; p < end; ++p)
        *p = static_cast<uint16_t>(previous = (previous + *p) & mask);
}

void undo_float_predictor(uint8_t *planes, uint32_t samples, uint32_t size, uint8_t *dst, uint32_t kept,
                          bool big_endian)
{
    size_t count = size_t{samples} * size;
    for (size_t i = 1; i < count; ++i)
        planes[i] = static_cast<uint8_t>(planes[i] + planes[i - 1]);
    for (uint32_t b = 0; b < size; ++b) {
        const uint8_t *plane = planes + size_t{big_endian ? b : size - 1 - b} * samples;
        for (uint32_t x = 0; x < kept; ++x)
            dst[size_t{x} * size + b] = plane[x];
    }
}
