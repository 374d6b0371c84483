// The TIFF image loader: header and tag checks, strip tables, the row loop
// with sample unpacking, byte swapping and undoing horizontal differencing,
// and the decoder for uncompressed strips.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "common/common.h"
#include "tiff_in/reader.h"
#include "tiff_in/tiff_in.h"

namespace {

// Tag numbers of the TIFF standard.
constexpr uint16_t TAG_IMAGE_WIDTH = 256;
constexpr uint16_t TAG_IMAGE_LENGTH = 257;
constexpr uint16_t TAG_BITS_PER_SAMPLE = 258;
constexpr uint16_t TAG_COMPRESSION = 259;
constexpr uint16_t TAG_PHOTOMETRIC = 262;
constexpr uint16_t TAG_FILL_ORDER = 266;
constexpr uint16_t TAG_IMAGE_DESCRIPTION = 270;
constexpr uint16_t TAG_STRIP_OFFSETS = 273;
constexpr uint16_t TAG_SAMPLES_PER_PIXEL = 277;
constexpr uint16_t TAG_ROWS_PER_STRIP = 278;
constexpr uint16_t TAG_STRIP_BYTE_COUNTS = 279;
constexpr uint16_t TAG_PLANAR_CONFIGURATION = 284;
constexpr uint16_t TAG_PREDICTOR = 317;

constexpr uint16_t TYPE_ASCII = 2;

struct BitReversal {
    uint8_t table[256];
};

constexpr BitReversal make_bit_reversal()
{
    BitReversal r{};
    for (int b = 0; b < 256; ++b) {
        int v = 0;
        for (int bit = 0; bit < 8; ++bit)
            if (b & (1 << bit))
                v |= 0x80 >> bit;
        r.table[b] = static_cast<uint8_t>(v);
    }
    return r;
}

constexpr BitReversal bit_reversal = make_bit_reversal();

// Uncompressed strips: the stored bytes are the decoded bytes, and the byte
// count must match what the rows consume exactly.
void raw_begin_strip(uint32_t offset, uint32_t byte_count)
{
    begin_strip_input(offset, byte_count);
    reader.strip_bytes_left = byte_count;
}

void raw_next_bytes(uint8_t *dst, size_t count)
{
    take_strip_bytes(dst, count, "too few codes.", "unexpected end of file.");
}

void raw_end_strip()
{
    if (reader.strip_bytes_left != 0)
        report_input_error("too many codes.");
}

// A strip table (offsets or byte counts) is allocated whole but read from the
// file only as the row loop reaches its strips, a block of entries at a time,
// so that a huge declared strip count costs nothing until it is used.
struct StripTable {
    uint32_t *values = nullptr;
    uint32_t count = 0;
    uint32_t read = 0;  // entries 0 .. read - 1 hold their values
    TagArray source;
};

uint32_t strip_table_entry(StripTable *table, uint32_t strip)
{
    if (strip >= table->read) {
        uint32_t block = table->count - table->read < 4096 ? table->count - table->read : 4096;
        read_tag_array(table->source, table->read, block, table->values + table->read);
        table->read += block;
    }
    return table->values[strip];
}

void load_strip_table(StripTable *table, uint32_t ifd, uint16_t tag, uint32_t strip_count,
                      const char *allocation_message, const char *missing_message, const char *count_message)
{
    size_t bytes = 0;
    if (checked_size_product(strip_count, sizeof(uint32_t), &bytes))
        table->values = static_cast<uint32_t *>(allocate_memory(bytes));
    if (table->values == nullptr)
        report_input_error(allocation_message);
    table->count = strip_count;
    switch (find_tag_array(ifd, tag, strip_count, &table->source)) {
    case 1: report_input_error(missing_message);
    case 2: report_input_error(count_message);
    }
}

// Turns the row's decoded bytes, which fill the front of its own memory, into
// samples in place. Depths below 16 are unpacked from the last sample to the
// first, so that no byte is overwritten before it is read: sample x takes
// bytes at or below x * bits / 8 and is stored at byte 2x.
void unpack_row(uint16_t *row, uint32_t width, uint32_t bits, bool swap_bytes)
{
    const uint8_t *bytes = reinterpret_cast<const uint8_t *>(row);
    if (bits == 16) {
        if (swap_bytes)
            for (uint32_t x = 0; x < width; ++x)
                row[x] = static_cast<uint16_t>((row[x] >> 8) | (row[x] << 8));
        return;
    }
    if (bits == 8) {
        for (uint32_t x = width; x-- > 0;)
            row[x] = bytes[x];
        return;
    }
    // Bit stream, most significant bit of each byte first.
    for (uint32_t x = width; x-- > 0;) {
        uint64_t first_bit = static_cast<uint64_t>(x) * bits;
        uint32_t value = 0;
        for (uint32_t b = 0; b < bits; ++b) {
            uint64_t bit = first_bit + b;
            value = (value << 1) | ((bytes[bit >> 3] >> (7 - (bit & 7))) & 1);
        }
        row[x] = static_cast<uint16_t>(value);
    }
}

// Each sample was stored as its difference from the one on its left.
void undo_differencing(uint16_t *row, uint32_t width, uint16_t mask)
{
    uint16_t previous = row[0];
    for (uint32_t x = 1; x < width; ++x)
        row[x] = previous = static_cast<uint16_t>((row[x] + previous) & mask);
}

void close_input()
{
    if (reader.stream != nullptr)
        std::fclose(reader.stream);
    reader.stream = nullptr;
}

char *read_description(uint32_t ifd)
{
    if (find_tag(ifd, TAG_IMAGE_DESCRIPTION) != TYPE_ASCII)
        return nullptr;
    uint32_t count = reader.read_u32();
    if (count > 4)
        seek_input(reader.read_u32());
    // count + 1 wraps to 0 where size_t is 32 bits wide: a failed allocation.
    size_t size = static_cast<size_t>(count) + 1;
    char *text = size == 0 ? nullptr : static_cast<char *>(allocate_zeroed(size, 1));
    if (text == nullptr)
        report_input_error("image description memory allocation error.");
    // A text cut short by the end of the file keeps the zero bytes of calloc.
    size_t got = std::fread(text, 1, count, reader.stream);
    (void)got;
    return text;
}

}  // namespace

const StripDecoder uncompressed_decoder = {raw_begin_strip, raw_next_bytes, raw_end_strip};

#if defined(IMGRATIO_FUZZING)
void abandon_load()
{
    close_input();
}
#endif

void load_tiff_image(const char *path, int32_t *width_out, int32_t *height_out,
                     int32_t *bits_out, SampleGrid *grid, char **description)
{
    reader = ReaderState{};
    reader.path = path;
    reader.stream = std::fopen(path, "rb");
    if (reader.stream == nullptr)
        report_input_error("file not found.");

    // Header: byte-order mark twice, then 42 and the first IFD's offset.
    int mark = std::getc(reader.stream);
    bool little_endian = mark == 0x49;
    if (mark != 0x49 && mark != 0x4D)
        report_input_error("bad magic number.");
    if (std::getc(reader.stream) != mark)
        report_input_error("bad magic number.");
    reader.read_u16 = little_endian ? read_u16_le : read_u16_be;
    reader.read_u32 = little_endian ? read_u32_le : read_u32_be;
    if (reader.read_u16() != 42)
        report_input_error("bad magic number.");
    uint32_t ifd = reader.read_u32();

    uint32_t width = get_tag_integer(ifd, TAG_IMAGE_WIDTH, 0);
    if (width == 0)
        report_input_error("primary image attribute not found.");
    uint32_t height = get_tag_integer(ifd, TAG_IMAGE_LENGTH, 0);
    if (height == 0)
        report_input_error("primary image attribute not found.");
    uint16_t photometric = get_tag_short(ifd, TAG_PHOTOMETRIC, 65535);
    if (photometric == 65535)
        report_input_error("primary image attribute not found.");
    if (((width | height) & 0x80000000u) != 0)
        report_input_error("too large image size.");
    if (photometric != 0 && photometric != 1 && photometric != 3 && photometric != 4)
        report_input_error("bad photometric interpretation.");
    if (get_tag_short(ifd, TAG_SAMPLES_PER_PIXEL, 1) > 1)
        report_input_error("too many samples per pixel.");
    uint32_t bits = get_tag_short(ifd, TAG_BITS_PER_SAMPLE, 1);
    if (bits > 16)
        report_input_error("too many bits per sample.");
    // With a single sample per pixel the planar configuration is irrelevant,
    // and writers do store 2 ("separate planes") there.
    uint16_t planar = get_tag_short(ifd, TAG_PLANAR_CONFIGURATION, 1);
    if (planar != 1 && planar != 2)
        report_input_error("bad planar configuration.");
    uint16_t fill_order = get_tag_short(ifd, TAG_FILL_ORDER, 1);
    if (fill_order != 1 && fill_order != 2)
        report_input_error("bad fill order.");
    const StripDecoder *decoder = nullptr;
    switch (get_tag_short(ifd, TAG_COMPRESSION, 1)) {
    case 1: decoder = &uncompressed_decoder; break;
    case 5: decoder = &lzw_decoder; break;
    case 32773: decoder = &packbits_decoder; break;
    default: report_input_error("unknown image compression method.");
    }
    uint16_t predictor = get_tag_short(ifd, TAG_PREDICTOR, 1);
    if (predictor != 1 && predictor != 2)
        report_input_error("unknown differencing predictor.");
    uint16_t difference_mask =
        predictor == 2 ? static_cast<uint16_t>((1u << bits) - 1) : 0;

    if (width_out != nullptr)
        *width_out = static_cast<int32_t>(width);
    if (height_out != nullptr)
        *height_out = static_cast<int32_t>(height);
    if (bits_out != nullptr)
        *bits_out = static_cast<int32_t>(bits);
    if (description != nullptr)
        *description = read_description(ifd);
    if (grid == nullptr) {
        close_input();
        return;
    }

    if (allocate_sample_grid(grid, width, height) != 0)
        report_input_error("cell memory allocation error.");

    uint32_t rows_per_strip = get_tag_integer(ifd, TAG_ROWS_PER_STRIP, height);
    if (rows_per_strip == 0)
        report_input_error("bad rows per strip.");
    uint32_t strip_count = (height - 1) / rows_per_strip + 1;
    StripTable strip_offsets, strip_byte_counts;
    load_strip_table(&strip_offsets, ifd, TAG_STRIP_OFFSETS, strip_count, "strip offset memory allocation error.",
                     "strip offset not found.", "bad number of strip offset.");
    load_strip_table(&strip_byte_counts, ifd, TAG_STRIP_BYTE_COUNTS, strip_count,
                     "strip bytes count memory allocation error.", "strip bytes count not found.",
                     "bad number of strip bytes count.");

    // A row takes ceil(width * bits / 8) bytes, at most the 2 * width bytes
    // of its own memory, where it is decoded before being unpacked.
    size_t bytes_per_row = static_cast<size_t>((static_cast<uint64_t>(width) * bits + 7) / 8);
    reader.strip_byte_map = fill_order == 2 ? bit_reversal.table : nullptr;
    // Samples are stored as the first byte times 256 plus the second, then
    // byte-swapped in little-endian files: a native load where the orders agree.
    bool swap_bytes = little_endian == host_is_big_endian();
    for (uint32_t y = 0; y < height; ++y) {
        if (y % rows_per_strip == 0) {
            uint32_t strip = y / rows_per_strip;
            uint32_t offset = strip_table_entry(&strip_offsets, strip);
            decoder->begin_strip(offset, strip_table_entry(&strip_byte_counts, strip));
        }
        uint16_t *row = attach_grid_row(grid, y);
        decoder->next_bytes(reinterpret_cast<uint8_t *>(row), bytes_per_row);
        if (y + 1 == height || (y + 1) % rows_per_strip == 0)
            decoder->end_strip();
        unpack_row(row, width, bits, swap_bytes);
        if (difference_mask != 0)
            undo_differencing(row, width, difference_mask);
    }

    release_memory(strip_byte_counts.values);
    release_memory(strip_offsets.values);
    close_input();
}
