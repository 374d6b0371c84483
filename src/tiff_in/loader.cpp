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

struct ByteMaps {
    uint8_t identity[256];
    uint8_t reversed[256];
};

constexpr ByteMaps make_byte_maps()
{
    ByteMaps maps{};
    for (int b = 0; b < 256; ++b) {
        int r = 0;
        for (int bit = 0; bit < 8; ++bit)
            if (b & (1 << bit))
                r |= 0x80 >> bit;
        maps.identity[b] = static_cast<uint8_t>(b);
        maps.reversed[b] = static_cast<uint8_t>(r);
    }
    return maps;
}

constexpr ByteMaps byte_maps = make_byte_maps();

// Uncompressed strips: the stored bytes are the decoded bytes, and the byte
// count must match what the rows consume exactly.
void raw_begin_strip(uint32_t offset, uint32_t byte_count)
{
    seek_input(offset);
    reader.strip_bytes_left = byte_count;
}

int raw_next_byte()
{
    if (reader.strip_bytes_left == 0)
        report_input_error("too few codes.");
    --reader.strip_bytes_left;
    int c = read_strip_byte();
    if (c < 0)
        report_input_error("unexpected end of file.");
    return c;
}

void raw_end_strip()
{
    if (reader.strip_bytes_left != 0)
        report_input_error("too many codes.");
}

// Row unpackers: decoded bytes are always taken most significant bit first
// (FillOrder 2 was already undone by the strip byte map). Every row starts on
// a byte boundary.
using RowUnpacker = void (*)(uint16_t *row, uint32_t width, uint32_t bits,
                             int (*next_byte)());

void unpack_row_8(uint16_t *row, uint32_t width, uint32_t, int (*next_byte)())
{
    for (uint32_t x = 0; x < width; ++x)
        row[x] = static_cast<uint16_t>(next_byte());
}

void unpack_row_16(uint16_t *row, uint32_t width, uint32_t, int (*next_byte)())
{
    for (uint32_t x = 0; x < width; ++x) {
        uint32_t high = static_cast<uint32_t>(next_byte());
        uint32_t low = static_cast<uint32_t>(next_byte());
        row[x] = static_cast<uint16_t>((high << 8) | low);
    }
}

void unpack_row_bits(uint16_t *row, uint32_t width, uint32_t bits,
                     int (*next_byte)())
{
    uint32_t byte = 0;
    uint32_t bits_in_byte = 0;
    for (uint32_t x = 0; x < width; ++x) {
        uint32_t value = 0;
        for (uint32_t b = 0; b < bits; ++b) {
            if (bits_in_byte == 0) {
                byte = static_cast<uint32_t>(next_byte());
                bits_in_byte = 8;
            }
            --bits_in_byte;
            value = (value << 1) | ((byte >> bits_in_byte) & 1);
        }
        row[x] = static_cast<uint16_t>(value);
    }
}

void swap_sample_bytes(uint16_t *row, uint32_t width)
{
    for (uint32_t x = 0; x < width; ++x)
        row[x] = static_cast<uint16_t>((row[x] >> 8) | (row[x] << 8));
}

// Each sample was stored as its difference from the one on its left.
void undo_differencing(uint16_t *row, uint32_t width, uint16_t mask)
{
    for (uint32_t x = 1; x < width; ++x)
        row[x] = static_cast<uint16_t>((row[x] + row[x - 1]) & mask);
}

char *read_description(uint32_t ifd)
{
    if (find_tag(ifd, TAG_IMAGE_DESCRIPTION) != TYPE_ASCII)
        return nullptr;
    uint32_t count = reader.read_u32();
    if (count > 4)
        seek_input(reader.read_u32());
    // A text cut short by the end of the file keeps the zero bytes of calloc.
    // count + 1 wraps to 0 where size_t is 32 bits wide: a failed allocation.
    size_t size = static_cast<size_t>(count) + 1;
    char *text = size == 0 ? nullptr : static_cast<char *>(std::calloc(size, 1));
    if (text == nullptr)
        report_input_error("image description memory allocation error.");
    size_t got = std::fread(text, 1, count, reader.stream);
    (void)got;
    text[count] = '\0';
    return text;
}

void allocate_grid(SampleGrid *grid, uint32_t width, uint32_t height)
{
    size_t row_bytes = 0;
    uint16_t **rows = static_cast<uint16_t **>(std::calloc(height, sizeof(uint16_t *)));
    if (rows == nullptr || !checked_size_product(width, sizeof(uint16_t), &row_bytes))
        report_input_error("cell memory allocation error.");
    for (uint32_t y = 0; y < height; ++y) {
        rows[y] = static_cast<uint16_t *>(std::malloc(row_bytes));
        if (rows[y] == nullptr)
            report_input_error("cell memory allocation error.");
    }
    grid->width = static_cast<int32_t>(width);
    grid->height = static_cast<int32_t>(height);
    grid->rows = rows;
}

uint32_t *allocate_strip_table(uint32_t strip_count, const char *failure_message)
{
    size_t bytes = 0;
    void *table = nullptr;
    if (checked_size_product(strip_count, sizeof(uint32_t), &bytes))
        table = std::malloc(bytes);
    if (table == nullptr)
        report_input_error(failure_message);
    return static_cast<uint32_t *>(table);
}

}  // namespace

const StripDecoder uncompressed_decoder = {raw_begin_strip, raw_next_byte, raw_end_strip};

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
        std::fclose(reader.stream);
        return;
    }

    allocate_grid(grid, width, height);

    uint32_t rows_per_strip = get_tag_integer(ifd, TAG_ROWS_PER_STRIP, height);
    if (rows_per_strip == 0)
        report_input_error("bad rows per strip.");
    uint32_t strip_count = (height - 1) / rows_per_strip + 1;
    uint32_t *strip_offsets =
        allocate_strip_table(strip_count, "strip offset memory allocation error.");
    switch (get_tag_array(ifd, TAG_STRIP_OFFSETS, strip_count, strip_offsets)) {
    case 1: report_input_error("strip offset not found.");
    case 2: report_input_error("bad number of strip offset.");
    }
    uint32_t *strip_byte_counts =
        allocate_strip_table(strip_count, "strip bytes count memory allocation error.");
    switch (get_tag_array(ifd, TAG_STRIP_BYTE_COUNTS, strip_count, strip_byte_counts)) {
    case 1: report_input_error("strip bytes count not found.");
    case 2: report_input_error("bad number of strip bytes count.");
    }

    reader.strip_byte_map = fill_order == 2 ? byte_maps.reversed : byte_maps.identity;
    RowUnpacker unpack_row = bits == 8 ? unpack_row_8 : bits == 16 ? unpack_row_16 : unpack_row_bits;
    bool swap_bytes = little_endian && bits == 16;
    for (uint32_t y = 0; y < height; ++y) {
        if (y % rows_per_strip == 0) {
            uint32_t strip = y / rows_per_strip;
            decoder->begin_strip(strip_offsets[strip], strip_byte_counts[strip]);
        }
        uint16_t *row = grid->rows[y];
        unpack_row(row, width, bits, decoder->next_byte);
        if (y + 1 == height || (y + 1) % rows_per_strip == 0)
            decoder->end_strip();
        if (swap_bytes)
            swap_sample_bytes(row, width);
        if (difference_mask != 0)
            undo_differencing(row, width, difference_mask);
    }

    std::free(strip_byte_counts);
    std::free(strip_offsets);
    std::fclose(reader.stream);
}
