// The TIFF reader: header and tag checks, strip tables, the row loop with
// sample unpacking, byte swapping and undoing horizontal differencing, and
// the decoder for uncompressed strips.
#include <cstring>

#include "tiff_in/reader.h"

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

// Strip table entries read from the file at once.
constexpr uint32_t TABLE_WINDOW = 1024;

// Uncompressed strips: the stored bytes are the decoded bytes, and the byte
// count must match what the rows consume exactly.
Message raw_begin_strip(TiffInput *in, uint32_t offset, uint32_t byte_count)
{
    begin_strip_input(in, offset, byte_count);
    return MSG_NONE;
}

Message raw_next_bytes(TiffInput *in, uint8_t *dst, size_t count)
{
    return take_strip_bytes(in, dst, count, MSG_RAW_TOO_FEW, MSG_RAW_END_OF_FILE);
}

Message raw_end_strip(TiffInput *in)
{
    return strip_bytes_left(in) != 0 ? MSG_RAW_TOO_MANY : MSG_NONE;
}

// Header: byte-order mark twice, then 42 and the first IFD's offset.
Message read_header(TiffInput *in)
{
    int mark = std::getc(in->stream);
    bool little_endian = mark == 0x49;
    if (mark != 0x49 && mark != 0x4D)
        return MSG_BAD_MAGIC;
    if (std::getc(in->stream) != mark)
        return MSG_BAD_MAGIC;
    in->read_u16 = little_endian ? read_u16_le : read_u16_be;
    in->read_u32 = little_endian ? read_u32_le : read_u32_be;
    if (in->read_u16(in->stream) != 42)
        return MSG_BAD_MAGIC;
    in->ifd = in->read_u32(in->stream);
    // Samples are read as the first byte times 256 plus the second, then
    // swapped where the file's order is not the host's.
    in->swap_bytes = little_endian == host_is_big_endian();
    return MSG_NONE;
}

// The image's tags, checked in a fixed order: the first check that fails
// decides the message.
Message read_image_tags(TiffInput *in)
{
    in->width = get_tag_integer(in, TAG_IMAGE_WIDTH, 0);
    if (in->width == 0)
        return MSG_NO_PRIMARY_ATTRIBUTE;
    in->height = get_tag_integer(in, TAG_IMAGE_LENGTH, 0);
    if (in->height == 0)
        return MSG_NO_PRIMARY_ATTRIBUTE;
    uint16_t photometric = get_tag_short(in, TAG_PHOTOMETRIC, 65535);
    if (photometric == 65535)
        return MSG_NO_PRIMARY_ATTRIBUTE;
    if (((in->width | in->height) & 0x80000000u) != 0)
        return MSG_TOO_LARGE_SIZE;
    if (photometric != 0 && photometric != 1 && photometric != 3 && photometric != 4)
        return MSG_BAD_PHOTOMETRIC;
    if (get_tag_short(in, TAG_SAMPLES_PER_PIXEL, 1) > 1)
        return MSG_TOO_MANY_SAMPLES;
    in->bits = get_tag_short(in, TAG_BITS_PER_SAMPLE, 1);
    if (in->bits > 16)
        return MSG_TOO_MANY_BITS;
    uint16_t planar = get_tag_short(in, TAG_PLANAR_CONFIGURATION, 1);
    if (planar != 1 && planar != 2)
        return MSG_BAD_PLANAR;
    in->fill_order = get_tag_short(in, TAG_FILL_ORDER, 1);
    if (in->fill_order != 1 && in->fill_order != 2)
        return MSG_BAD_FILL_ORDER;
    switch (get_tag_short(in, TAG_COMPRESSION, 1)) {
    case 1: in->decoder = &uncompressed_decoder; break;
    case 5: in->decoder = &lzw_decoder; break;
    case 32773: in->decoder = &packbits_decoder; break;
    default: return MSG_UNKNOWN_COMPRESSION;
    }
    uint16_t predictor = get_tag_short(in, TAG_PREDICTOR, 1);
    if (predictor != 1 && predictor != 2)
        return MSG_UNKNOWN_PREDICTOR;
    in->difference_mask = predictor == 2 ? static_cast<uint16_t>((1u << in->bits) - 1) : 0;
    in->bytes_per_row = static_cast<size_t>((uint64_t{in->width} * in->bits + 7) / 8);
    return MSG_NONE;
}

Message read_description(TiffInput *in)
{
    if (find_tag(in, TAG_IMAGE_DESCRIPTION) != TYPE_ASCII)
        return MSG_NONE;
    uint32_t count = in->read_u32(in->stream);
    if (count > 4)
        seek_input(in, in->read_u32(in->stream));
    // count + 1 wraps to 0 where size_t is 32 bits wide: a failed allocation.
    size_t size = size_t{count} + 1;
    in->description = size == 0 ? nullptr : static_cast<char *>(allocate_zeroed(size, 1));
    if (in->description == nullptr)
        return MSG_DESCRIPTION_MEMORY;
    // A text cut short by the end of the file keeps the zero bytes of calloc.
    size_t got = std::fread(in->description, 1, count, in->stream);
    (void)got;
    return MSG_NONE;
}

// One block for the row (width samples, whose front also takes the row's
// decoded bytes), the read-ahead and, for LZW, the string table and history.
Message allocate_buffers(TiffInput *in)
{
    size_t lzw_bytes = in->decoder == &lzw_decoder ? LZW_TABLE_BYTES + LZW_HISTORY_BYTES : 0;
    if (in->width > (SIZE_MAX - AHEAD_BYTES - lzw_bytes - ROW_SLACK) / 2 - 16)
        return MSG_CELL_MEMORY;
    size_t row_bytes = (size_t{in->width} * 2 + 15) / 16 * 16 + ROW_SLACK;
    auto block = static_cast<uint8_t *>(allocate_array(row_bytes + AHEAD_BYTES + lzw_bytes, 1));
    if (block == nullptr)
        return MSG_CELL_MEMORY;
    in->buffers = block;
    in->row = reinterpret_cast<uint16_t *>(block);
    in->ahead = block + row_bytes;
    if (lzw_bytes != 0) {
        in->table = reinterpret_cast<LzwEntry *>(in->ahead + AHEAD_BYTES);
        in->history = in->ahead + AHEAD_BYTES + LZW_TABLE_BYTES;
    }
    return MSG_NONE;
}

Message locate_strip_table(TiffInput *in, StripTable *table, uint16_t tag, Message no_memory, Message missing,
                           Message bad_count)
{
    table->capacity = in->strip_count < TABLE_WINDOW ? in->strip_count : TABLE_WINDOW;
    table->window = static_cast<uint32_t *>(allocate_array(table->capacity, sizeof(uint32_t)));
    if (table->window == nullptr)
        return no_memory;
    switch (find_tag_array(in, tag, in->strip_count, table)) {
    case 1: return missing;
    case 2: return bad_count;
    }
    return MSG_NONE;
}

Message read_strip_layout(TiffInput *in)
{
    in->rows_per_strip = get_tag_integer(in, TAG_ROWS_PER_STRIP, in->height);
    if (in->rows_per_strip == 0)
        return MSG_BAD_ROWS_PER_STRIP;
    in->strip_count = (in->height - 1) / in->rows_per_strip + 1;
    Message failure = locate_strip_table(in, &in->offsets, TAG_STRIP_OFFSETS, MSG_STRIP_OFFSET_MEMORY,
                                         MSG_STRIP_OFFSET_NOT_FOUND, MSG_STRIP_OFFSET_COUNT);
    if (failure != MSG_NONE)
        return failure;
    return locate_strip_table(in, &in->byte_counts, TAG_STRIP_BYTE_COUNTS, MSG_BYTE_COUNT_MEMORY,
                              MSG_BYTE_COUNT_NOT_FOUND, MSG_BYTE_COUNT_COUNT);
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
        uint64_t first_bit = uint64_t{x} * bits;
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

// Begins the strip of in->next_row when that row opens one.
Message begin_row_strip(TiffInput *in)
{
    if (in->next_row % in->rows_per_strip != 0)
        return MSG_NONE;
    uint32_t strip = in->next_row / in->rows_per_strip;
    uint32_t offset = strip_table_entry(in, &in->offsets, strip);
    uint32_t byte_count = strip_table_entry(in, &in->byte_counts, strip);
    return in->decoder->begin_strip(in, offset, byte_count);
}

// Decodes and checks the strips from in->next_row on, without unpacking
// their samples.
Message check_strips(TiffInput *in)
{
    uint8_t *scratch = reinterpret_cast<uint8_t *>(in->row);
    size_t scratch_bytes = size_t{in->width} * 2;
    while (in->next_row < in->height) {
        Message failure = begin_row_strip(in);
        if (failure != MSG_NONE)
            return failure;
        // The rest of the strip's rows in one go, as far as the row buffer
        // holds them at a time.
        uint32_t rows_to_strip_end = in->rows_per_strip - in->next_row % in->rows_per_strip;
        uint32_t rows = in->height - in->next_row < rows_to_strip_end ? in->height - in->next_row : rows_to_strip_end;
        for (uint64_t bytes = uint64_t{rows} * in->bytes_per_row; bytes != 0;) {
            size_t n = bytes < scratch_bytes ? static_cast<size_t>(bytes) : scratch_bytes;
            failure = in->decoder->next_bytes(in, scratch, n);
            if (failure != MSG_NONE)
                return failure;
            bytes -= n;
        }
        in->next_row += rows;
        failure = in->decoder->end_strip(in);
        if (failure != MSG_NONE)
            return failure;
    }
    return MSG_NONE;
}

}  // namespace

const StripDecoder uncompressed_decoder = {raw_begin_strip, raw_next_bytes, raw_end_strip};

Message open_tiff_input(TiffInput *in, const char *path)
{
    *in = TiffInput{};
    in->path = path;
    in->stream = std::fopen(path, "rb");
    if (in->stream == nullptr)
        return MSG_FILE_NOT_FOUND;
    Message failure = read_header(in);
    if (failure == MSG_NONE)
        failure = read_image_tags(in);
    if (failure == MSG_NONE)
        failure = read_description(in);
    if (failure == MSG_NONE)
        failure = allocate_buffers(in);
    if (failure == MSG_NONE)
        failure = read_strip_layout(in);
    // Rows of 0 bits take no decoded bytes, so checking every strip costs no
    // more than their count: done at once, so that a tiny file declaring a
    // huge image is refused before anything is computed or stored for it.
    if (failure == MSG_NONE && in->bytes_per_row == 0) {
        failure = check_strips(in);
        in->next_row = 0;
        std::memset(in->row, 0, size_t{in->width} * 2);
    }
    if (failure != MSG_NONE)
        close_tiff_input(in);
    return failure;
}

Message read_tiff_row(TiffInput *in)
{
    if (in->bytes_per_row == 0) {
        ++in->next_row;  // checked when opened; every sample is 0
        return MSG_NONE;
    }
    Message failure = begin_row_strip(in);
    if (failure != MSG_NONE)
        return failure;
    uint8_t *bytes = reinterpret_cast<uint8_t *>(in->row);
    failure = in->decoder->next_bytes(in, bytes, in->bytes_per_row);
    if (failure != MSG_NONE)
        return failure;
    ++in->next_row;
    if (in->next_row == in->height || in->next_row % in->rows_per_strip == 0) {
        failure = in->decoder->end_strip(in);
        if (failure != MSG_NONE)
            return failure;
    }
    unpack_row(in->row, in->width, in->bits, in->swap_bytes);
    if (in->difference_mask != 0)
        undo_differencing(in->row, in->width, in->difference_mask);
    return MSG_NONE;
}

Message skip_tiff_rows(TiffInput *in)
{
    if (in->bytes_per_row == 0) {
        in->next_row = in->height;  // checked when opened
        return MSG_NONE;
    }
    return check_strips(in);
}
void close_tiff_input(TiffInput *in)
{
    if (in->stream != nullptr)
        std::fclose(in->stream);
    release_memory(in->description);
    release_memory(in->buffers);
    release_memory(in->offsets.window);
    release_memory(in->byte_counts.window);
    const char *path = in->path;
    *in = TiffInput{};
    in->path = path;
}

Message load_tiff_image(const char *path, SampleGrid *grid, uint32_t *bits, char **description)
{
    *grid = SampleGrid{};
    TiffInput in;
    Message failure = open_tiff_input(&in, path);
    if (failure != MSG_NONE)
        return failure;
    if (allocate_sample_grid(grid, in.width, in.height) != 0)
        failure = MSG_CELL_MEMORY;
    for (uint32_t y = 0; failure == MSG_NONE && y < in.height; ++y) {
        failure = read_tiff_row(&in);
        if (failure == MSG_NONE)
            std::memcpy(grid->rows[y], in.row, size_t{in.width} * 2);
    }
    if (failure != MSG_NONE) {
        release_sample_grid(grid);
    } else {
        if (bits != nullptr)
            *bits = in.bits;
        if (description != nullptr) {
            *description = in.description;
            in.description = nullptr;
        }
    }
    close_tiff_input(&in);
    return failure;
}
