// The TIFF writer. Every strip but the last holds the same number of rows,
// so the whole layout is known before the first sample: the file is written
// front to back (header, description, sample data, strip arrays, directory)
// through one buffer whose writes are checked. A file whose offsets would
// pass 32 bits is a BigTIFF, laid out alike with 8-byte offsets and counts.
#include <cstdlib>
#include <cstring>

#include "tiff_out/output_file.h"
#include "tiff_out/tiff_out.h"

namespace {

constexpr uint64_t MAX_STRIP_BYTES = 8192;
constexpr size_t MAX_BUFFER = size_t{1} << 18;

const bool host_big_endian = host_is_big_endian();

// The largest offset a classic file holds. Test builds may lower it
// (IMGRATIO_CLASSIC_LIMIT), so that BigTIFF outputs are tested without
// writing 4 GiB.
uint64_t classic_limit()
{
#if defined(IMGRATIO_ALLOCATION_SEAM)
    if (const char *limit = std::getenv("IMGRATIO_CLASSIC_LIMIT"))
        return std::strtoull(limit, nullptr, 10);
#endif
    return 0xFFFFFFFFu;
}

void flush_buffer(TiffStore *s)
{
    if (s->used != 0 && !s->failed && !write_staging(&s->staging, s->buffer, s->used))
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

void put_u64_be(TiffStore *s, uint64_t value)
{
    put_u32_be(s, static_cast<uint32_t>(value >> 32));
    put_u32_be(s, static_cast<uint32_t>(value));
}

// The bytes of a value field, a value count and an offset: 4, or 8 in a
// BigTIFF.
uint32_t wide_bytes(const TiffPageLayout &p)
{
    return p.big ? 8 : 4;
}

// A value count or an offset, in its width.
void put_wide(TiffStore *s, uint64_t value)
{
    if (s->page.big)
        put_u64_be(s, value);
    else
        put_u32_be(s, static_cast<uint32_t>(value));
}

// Tag, type, count and a value field of 4 bytes (8 in a BigTIFF), which
// holds a single value from its start, or the offset of the values.
void put_entry(TiffStore *s, uint16_t tag, uint16_t type, uint64_t count, uint64_t value)
{
    put_u16_be(s, tag);
    put_u16_be(s, type);
    put_wide(s, count);
    uint32_t field = wide_bytes(s->page);
    if (type == TYPE_SHORT && count == 1) {
        put_u16_be(s, static_cast<uint32_t>(value));
        field -= 2;
    } else if (field == 4 || (type == TYPE_LONG && count == 1)) {
        put_u32_be(s, static_cast<uint32_t>(value));
        field -= 4;
    } else {
        put_u64_be(s, value);
        field = 0;
    }
    for (; field != 0; --field)
        put_byte(s, 0);
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
        put_row_bytes(s, row, s->page.width, s->bits / 8);
        return;
    }
    uint32_t sample_mask = (1u << (s->bits - 1)) & 0xFFFF;
    uint32_t byte = 0;
    uint32_t out_bit = 0x80;
    for (uint32_t x = 0; x < s->page.width; ++x) {
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

uint64_t strip_bytes(const TiffPageLayout &p, uint64_t strip)
{
    uint64_t rows = p.height - strip * p.rows_per_strip;
    return (rows < p.rows_per_strip ? rows : p.rows_per_strip) * p.bytes_per_row;
}

uint64_t data_end(const TiffPageLayout &p)
{
    return p.data_offset + p.bytes_per_row * p.height;
}

// Where the strip arrays and the directory go, after the sample data and a
// zero byte that keeps them at even offsets.
uint64_t arrays_offset(const TiffPageLayout &p)
{
    return data_end(p) + (data_end(p) & 1);
}

// Strip offsets and byte counts stand in their entries' value fields where
// they fit: one offset, and one byte count (two in a BigTIFF's 8 bytes).
bool offsets_in_field(const TiffPageLayout &p)
{
    return p.strip_count == 1;
}

bool byte_counts_in_field(const TiffPageLayout &p)
{
    return p.strip_count <= (p.big ? 2u : 1u);
}

// The strip offsets' array, where there is one, comes first.
uint64_t byte_counts_offset(const TiffPageLayout &p)
{
    return arrays_offset(p) + (offsets_in_field(p) ? 0 : wide_bytes(p) * p.strip_count);
}

uint64_t ifd_offset(const TiffPageLayout &p)
{
    return byte_counts_offset(p) + (byte_counts_in_field(p) ? 0 : 4 * p.strip_count);
}

// Where the page ends, after its directory.
uint64_t page_end(const TiffPageLayout &p)
{
    uint64_t entries = p.description_length != 0 ? 12 : 11;
    return ifd_offset(p) + (p.big ? 8 + 20 * entries + 8 : 2 + 12 * entries + 4);
}

// Lays out a page from `start` on, classic or BigTIFF; false when a classic
// page would end beyond what 32-bit offsets reach.
bool plan_page(TiffPageLayout *p, uint64_t start, uint32_t width, uint32_t height, uint32_t bits,
               const char *description, bool big)
{
    if (width < 1 || height < 1)
        return false;
    *p = TiffPageLayout{};
    p->big = big;
    p->start = start;
    p->width = width;
    p->height = height;
    p->description_length = description != nullptr ? std::strlen(description) + 1 : 0;
    uint64_t in_field = wide_bytes(*p);
    if (p->description_length <= in_field && description != nullptr)
        std::memcpy(p->short_description, description, p->description_length);
    p->bytes_per_row = (uint64_t{width} * bits + 7) / 8;
    p->rows_per_strip = p->bytes_per_row <= MAX_STRIP_BYTES ? MAX_STRIP_BYTES / p->bytes_per_row : 1;
    p->strip_count = (p->height + p->rows_per_strip - 1) / p->rows_per_strip;
    uint64_t text = p->description_length <= in_field ? 0 : p->description_length + (p->description_length & 1);
    p->data_offset = start + text;
    return big || page_end(*p) <= classic_limit();
}

// A long description opens its page.
void put_description(TiffStore *s, const char *description)
{
    uint64_t length = s->page.description_length;
    if (length > wide_bytes(s->page)) {
        for (uint64_t i = 0; i < length; ++i)
            put_byte(s, static_cast<unsigned char>(description[i]));
        if (length & 1)
            put_byte(s, 0);
    }
}

void put_directory(TiffStore *s, uint64_t next_ifd)
{
    const TiffPageLayout &p = s->page;
    if (data_end(p) & 1)
        put_byte(s, 0);
    uint64_t strip_offsets_field = p.data_offset;
    uint64_t strip_byte_counts_field = strip_bytes(p, 0);
    if (!offsets_in_field(p)) {
        uint64_t offset = p.data_offset;
        for (uint64_t i = 0; i < p.strip_count; ++i) {
            put_wide(s, offset);
            offset += strip_bytes(p, i);
        }
        strip_offsets_field = arrays_offset(p);
    }
    if (!byte_counts_in_field(p)) {
        strip_byte_counts_field = byte_counts_offset(p);
        for (uint64_t i = 0; i < p.strip_count; ++i)
            put_u32_be(s, static_cast<uint32_t>(strip_bytes(p, i)));
    } else if (p.strip_count == 2) {
        // Both byte counts in a BigTIFF's 8-byte field.
        strip_byte_counts_field = strip_bytes(p, 0) << 32 | strip_bytes(p, 1);
    }

    uint32_t entries = p.description_length != 0 ? 12 : 11;
    if (p.big)
        put_u64_be(s, entries);
    else
        put_u16_be(s, entries);
    put_size_entry(s, TAG_IMAGE_WIDTH, p.width);
    put_size_entry(s, TAG_IMAGE_LENGTH, static_cast<uint32_t>(p.height));
    put_entry(s, TAG_BITS_PER_SAMPLE, TYPE_SHORT, 1, s->bits);
    put_entry(s, TAG_COMPRESSION, TYPE_SHORT, 1, COMPRESSION_NONE);
    put_entry(s, TAG_PHOTOMETRIC, TYPE_SHORT, 1, s->bits == 1 ? 0 : 1);
    put_entry(s, TAG_FILL_ORDER, TYPE_SHORT, 1, 1);
    if (p.description_length != 0) {
        put_u16_be(s, TAG_IMAGE_DESCRIPTION);
        put_u16_be(s, TYPE_ASCII);
        put_wide(s, p.description_length);
        if (p.description_length <= wide_bytes(p)) {
            // The text and its zero byte stand in the value field itself.
            for (uint32_t i = 0; i < wide_bytes(p); ++i)
                put_byte(s, static_cast<unsigned char>(p.short_description[i]));
        } else {
            put_wide(s, p.start);
        }
    }
    put_entry(s, TAG_STRIP_OFFSETS, p.big ? TYPE_LONG8 : TYPE_LONG, p.strip_count, strip_offsets_field);
    put_entry(s, TAG_SAMPLES_PER_PIXEL, TYPE_SHORT, 1, 1);
    put_entry(s, TAG_ROWS_PER_STRIP, TYPE_SHORT, 1, static_cast<uint32_t>(p.rows_per_strip));
    put_entry(s, TAG_STRIP_BYTE_COUNTS, TYPE_LONG, p.strip_count, strip_byte_counts_field);
    put_entry(s, TAG_PLANAR_CONFIGURATION, TYPE_SHORT, 1, 1);
    put_wide(s, next_ifd);
}

Message end_with(TiffStore *s, Message message)
{
    abandon_store(s);
    return message;
}

}  // namespace

Message begin_store(TiffStore *s, const char *path, uint32_t width, uint32_t height, uint32_t bits,
                    const char *description, uint32_t pages)
{
    *s = TiffStore{};
    s->path = path;
    if (bits < 1 || bits > 16 || pages < 1)
        return MSG_NOT_STORED;
    s->bits = bits;
    // A classic file where every offset fits its 32-bit field, judged by
    // `pages` pages like this one; else a BigTIFF.
    TiffPageLayout first;
    bool big = !plan_page(&first, 8, width, height, bits, description, false) ||
               (page_end(first) - 8) > (classic_limit() - 8) / pages;
    if (!plan_page(&s->page, big ? 16 : 8, width, height, bits, description, big))
        return MSG_NOT_STORED;

    if (!open_staging(&s->staging, s->path))
        return end_with(s, MSG_NOT_STORED);
    uint64_t size = page_end(s->page);
    s->capacity = size < MAX_BUFFER ? static_cast<size_t>(size) : MAX_BUFFER;
    s->buffer = static_cast<unsigned char *>(allocate_array(s->capacity, 1));
    if (s->buffer == nullptr)
        return end_with(s, MSG_WORK_MEMORY);

    if (big) {
        put_u32_be(s, 0x4D4D002B);
        put_u32_be(s, 0x00080000);
    } else {
        put_u32_be(s, 0x4D4D002A);
    }
    put_wide(s, ifd_offset(s->page));
    put_description(s, description);
    return MSG_NONE;
}

Message store_row(TiffStore *s, const uint16_t *row)
{
    put_row(s, row);
    ++s->rows_stored;
    return s->failed ? MSG_NOT_STORED : MSG_NONE;
}

Message next_store_page(TiffStore *s, uint32_t width, uint32_t height, const char *description)
{
    if (s->rows_stored != s->page.height)
        return end_with(s, MSG_NOT_STORED);
    TiffPageLayout next;
    if (!plan_page(&next, page_end(s->page), width, height, s->bits, description, s->page.big))
        return end_with(s, MSG_NOT_STORED);
    put_directory(s, ifd_offset(next));
    s->page = next;
    s->rows_stored = 0;
    put_description(s, description);
    return s->failed ? end_with(s, MSG_NOT_STORED) : MSG_NONE;
}

Message finish_store(TiffStore *s)
{
    if (s->rows_stored != s->page.height)
        return end_with(s, MSG_NOT_STORED);
    put_directory(s, 0);
    flush_buffer(s);
    if (s->failed || !commit_staging(&s->staging, s->buffer, s->capacity))
        return end_with(s, MSG_NOT_STORED);
    release_memory(s->buffer);
    s->buffer = nullptr;
    return MSG_NONE;
}

void abandon_store(TiffStore *s)
{
    discard_staging(&s->staging);
    release_memory(s->buffer);
    s->buffer = nullptr;
}
