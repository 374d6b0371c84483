// The TIFF writer. Every strip but the last holds the same number of rows,
// so the whole layout is known before the first sample: the file is written
// front to back (header, description, sample data, strip arrays, directory)
// through one buffer whose writes are checked.
#include <cstring>

#include "tiff_out/output_file.h"
#include "tiff_out/tiff_out.h"

namespace {

constexpr uint64_t MAX_STRIP_BYTES = 8192;
constexpr size_t MAX_BUFFER = size_t{1} << 18;

const bool host_big_endian = host_is_big_endian();

void flush_buffer(TiffStore *s)
{
    if (s->used != 0 && !s->failed && !write_staging(s, s->buffer, s->used))
        s->failed = true;
    s->used = 0;
}

inline void put_byte(TiffStore *s, uint32_t byte)
{
    if (s->used == s->capacity)
        flush_buffer(s);
    s->buffer[s->used++] = static_cast<unsigned char>(byte);
}

void put_u16_be(TiffStore *s, uint32_t value)
{
    put_byte(s, (value >> 8) & 0xFF);
    put_byte(s, value & 0xFF);
}

void put_u32_be(TiffStore *s, uint32_t value)
{
    put_u16_be(s, value >> 16);
    put_u16_be(s, value & 0xFFFF);
}

void put_entry(TiffStore *s, uint16_t tag, uint16_t type, uint32_t count, uint32_t value)
{
    put_u16_be(s, tag);
    put_u16_be(s, type);
    put_u32_be(s, count);
    if (type == TYPE_SHORT) {
        put_u16_be(s, value);
        put_u16_be(s, 0);
    } else {
        put_u32_be(s, value);
    }
}

// Sizes above 65535 do not fit a SHORT; readers accept either type.
void put_size_entry(TiffStore *s, uint16_t tag, uint32_t size)
{
    put_entry(s, tag, size > 0xFFFF ? TYPE_LONG : TYPE_SHORT, 1, size);
}

// Byte-swapped 16-bit samples; the buffers never overlap, which lets the
// compiler vectorise the loop.
void store_swapped(unsigned char *__restrict out, const uint16_t *__restrict samples, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        uint16_t swapped = static_cast<uint16_t>((samples[i] >> 8) | (samples[i] << 8));
        std::memcpy(out + 2 * i, &swapped, 2);
    }
}

// 8 bits: a sample's low byte; 16 bits: high byte first. Block by block, so
// that the loops run without a check per byte.
void put_row_bytes(TiffStore *s, const uint16_t *row, uint32_t width, size_t bytes_per_sample)
{
    for (uint32_t x = 0; x < width;) {
        if (s->capacity - s->used < bytes_per_sample)
            flush_buffer(s);
        size_t room = (s->capacity - s->used) / bytes_per_sample;
        uint32_t n = static_cast<uint32_t>(room < width - x ? room : width - x);
        unsigned char *out = s->buffer + s->used;
        const uint16_t *in = row + x;
        if (bytes_per_sample == 2) {
            // High byte first: the samples as they are in memory on a
            // big-endian host, byte-swapped (a loop the compiler
            // vectorises) on a little-endian one.
            if (host_big_endian)
                std::memcpy(out, in, 2 * size_t{n});
            else
                store_swapped(out, in, n);
        } else {
            for (uint32_t i = 0; i < n; ++i)
                out[i] = static_cast<unsigned char>(in[i]);
        }
        s->used += n * bytes_per_sample;
        x += n;
    }
}

// Samples of other depths are packed most significant bit first; each row
// starts on a byte boundary and its last byte is padded with zero bits.
// Sample bits above the depth are ignored.
void put_row(TiffStore *s, const uint16_t *row)
{
    if (s->bits == 8 || s->bits == 16) {
        put_row_bytes(s, row, s->width, s->bits / 8);
        return;
    }
    uint32_t sample_mask = (1u << (s->bits - 1)) & 0xFFFF;
    uint32_t byte = 0;
    uint32_t out_bit = 0x80;
    for (uint32_t x = 0; x < s->width; ++x) {
        for (uint32_t test = sample_mask; test != 0; test >>= 1) {
            if (row[x] & test)
                byte |= out_bit;
            if (out_bit == 1) {
                put_byte(s, byte);
                byte = 0;
                out_bit = 0x80;
            } else {
                out_bit >>= 1;
            }
        }
    }
    if (out_bit != 0x80)
        put_byte(s, byte);
}

uint64_t strip_bytes(const TiffStore *s, uint64_t strip)
{
    uint64_t rows = s->height - strip * s->rows_per_strip;
    return (rows < s->rows_per_strip ? rows : s->rows_per_strip) * s->bytes_per_row;
}

uint64_t data_end(const TiffStore *s)
{
    return s->data_offset + s->bytes_per_row * s->height;
}

// Where the strip arrays and the directory go, after the sample data and a
// zero byte that keeps them at even offsets.
uint64_t arrays_offset(const TiffStore *s)
{
    return data_end(s) + (data_end(s) & 1);
}

uint64_t ifd_offset(const TiffStore *s)
{
    return arrays_offset(s) + (s->strip_count > 1 ? 8 * s->strip_count : 0);
}

void put_directory(TiffStore *s)
{
    uint64_t arrays = arrays_offset(s);
    if (data_end(s) & 1)
        put_byte(s, 0);
    uint32_t strip_offsets_field = static_cast<uint32_t>(s->data_offset);
    uint32_t strip_byte_counts_field = static_cast<uint32_t>(strip_bytes(s, 0));
    if (s->strip_count > 1) {
        uint64_t offset = s->data_offset;
        for (uint64_t i = 0; i < s->strip_count; ++i) {
            put_u32_be(s, static_cast<uint32_t>(offset));
            offset += strip_bytes(s, i);
        }
        for (uint64_t i = 0; i < s->strip_count; ++i)
            put_u32_be(s, static_cast<uint32_t>(strip_bytes(s, i)));
        strip_offsets_field = static_cast<uint32_t>(arrays);
        strip_byte_counts_field = static_cast<uint32_t>(arrays + 4 * s->strip_count);
    }

    put_u16_be(s, s->description != nullptr ? 12 : 11);
    put_size_entry(s, TAG_IMAGE_WIDTH, s->width);
    put_size_entry(s, TAG_IMAGE_LENGTH, static_cast<uint32_t>(s->height));
    put_entry(s, TAG_BITS_PER_SAMPLE, TYPE_SHORT, 1, s->bits);
    put_entry(s, TAG_COMPRESSION, TYPE_SHORT, 1, COMPRESSION_NONE);
    put_entry(s, TAG_PHOTOMETRIC, TYPE_SHORT, 1, s->bits == 1 ? 0 : 1);
    put_entry(s, TAG_FILL_ORDER, TYPE_SHORT, 1, 1);
    if (s->description != nullptr) {
        put_u16_be(s, TAG_IMAGE_DESCRIPTION);
        put_u16_be(s, TYPE_ASCII);
        put_u32_be(s, static_cast<uint32_t>(s->description_length));
        if (s->description_length <= 4) {
            // The text and its zero byte stand in the value field itself.
            for (uint64_t i = 0; i < 4; ++i)
                put_byte(s, i < s->description_length ? static_cast<unsigned char>(s->description[i]) : 0);
        } else {
            put_u32_be(s, 8);
        }
    }
    put_entry(s, TAG_STRIP_OFFSETS, TYPE_LONG, static_cast<uint32_t>(s->strip_count), strip_offsets_field);
    put_entry(s, TAG_SAMPLES_PER_PIXEL, TYPE_SHORT, 1, 1);
    put_entry(s, TAG_ROWS_PER_STRIP, TYPE_SHORT, 1, static_cast<uint32_t>(s->rows_per_strip));
    put_entry(s, TAG_STRIP_BYTE_COUNTS, TYPE_LONG, static_cast<uint32_t>(s->strip_count), strip_byte_counts_field);
    put_entry(s, TAG_PLANAR_CONFIGURATION, TYPE_SHORT, 1, 1);
    put_u32_be(s, 0);
}

Message end_with(TiffStore *s, Message message)
{
    abandon_store(s);
    return message;
}

}  // namespace

Message begin_store(TiffStore *s, const char *path, uint32_t width, uint32_t height, uint32_t bits,
                    const char *description)
{
    *s = TiffStore{};
    s->path = path;
    if (width < 1 || height < 1 || bits < 1 || bits > 16)
        return MSG_NOT_STORED;
    s->width = width;
    s->height = height;
    s->bits = bits;
    s->description = description;
    s->description_length = description != nullptr ? std::strlen(description) + 1 : 0;
    s->bytes_per_row = (uint64_t{width} * bits + 7) / 8;
    s->rows_per_strip = s->bytes_per_row <= MAX_STRIP_BYTES ? MAX_STRIP_BYTES / s->bytes_per_row : 1;
    s->strip_count = (s->height + s->rows_per_strip - 1) / s->rows_per_strip;
    s->data_offset = s->description_length <= 4 ? 8 : 8 + s->description_length + (s->description_length & 1);
    uint32_t entry_count = description != nullptr ? 12 : 11;
    uint64_t file_size = ifd_offset(s) + 2 + 12 * entry_count + 4;
    // Every offset in the file must fit its 32-bit field.
    if (file_size > 0xFFFFFFFFu)
        return MSG_NOT_STORED;

    if (!open_staging(s))
        return end_with(s, MSG_NOT_STORED);
    s->capacity = file_size < MAX_BUFFER ? static_cast<size_t>(file_size) : MAX_BUFFER;
    s->buffer = static_cast<unsigned char *>(allocate_array(s->capacity, 1));
    if (s->buffer == nullptr)
        return end_with(s, MSG_WORK_MEMORY);

    put_u32_be(s, 0x4D4D002A);
    put_u32_be(s, static_cast<uint32_t>(ifd_offset(s)));
    if (s->description_length > 4) {
        for (uint64_t i = 0; i < s->description_length; ++i)
            put_byte(s, static_cast<unsigned char>(description[i]));
        if (s->description_length & 1)
            put_byte(s, 0);
    }
    return MSG_NONE;
}

Message store_row(TiffStore *s, const uint16_t *row)
{
    put_row(s, row);
    ++s->rows_stored;
    return s->failed ? MSG_NOT_STORED : MSG_NONE;
}

Message finish_store(TiffStore *s)
{
    if (s->rows_stored != s->height)
        return end_with(s, MSG_NOT_STORED);
    put_directory(s);
    flush_buffer(s);
    if (s->failed || !commit_staging(s, s->buffer, s->capacity))
        return end_with(s, MSG_NOT_STORED);
    release_memory(s->buffer);
    s->buffer = nullptr;
    return MSG_NONE;
}

void abandon_store(TiffStore *s)
{
    discard_staging(s);
    release_memory(s->buffer);
    s->buffer = nullptr;
}
