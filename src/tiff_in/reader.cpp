// The TIFF reader: header and tag checks, the strip layout, and the row loop
// with sample unpacking, byte swapping and undoing horizontal differencing.
// The strip decoders, one file each, are chosen from the table below by the
// Compression tag.
#include <cstring>
#include <new>

#include "tiff_in/reader.h"

namespace {

const struct {
    uint16_t compression;
    const StripDecoder *decoder;
} decoders[] = {
    {COMPRESSION_NONE, &uncompressed_decoder},
    {COMPRESSION_LZW, &lzw_decoder},
    {COMPRESSION_PACKBITS, &packbits_decoder},
    {COMPRESSION_DEFLATE, &deflate_decoder},
    {COMPRESSION_OLD_DEFLATE, &deflate_decoder},
};

// Strip table entries read from the file at once.
constexpr uint32_t TABLE_WINDOW = 1024;

// Header: byte-order mark twice, then 42 and the first IFD's offset.
Message read_header(TiffInput *in)
{
    TiffDirectory *dir = &in->reader->directory;
    int mark = std::getc(dir->stream);
    bool little_endian = mark == 0x49;
    if (mark != 0x49 && mark != 0x4D)
        return MSG_BAD_MAGIC;
    if (std::getc(dir->stream) != mark)
        return MSG_BAD_MAGIC;
    dir->read_u16 = little_endian ? read_u16_le : read_u16_be;
    dir->read_u32 = little_endian ? read_u32_le : read_u32_be;
    if (dir->read_u16(dir->stream) != 42)
        return MSG_BAD_MAGIC;
    dir->ifd = dir->read_u32(dir->stream);
    // 16-bit samples are taken from the row's bytes in the host's order,
    // then swapped where the file's order is the other one.
    in->reader->swap_bytes = little_endian == host_is_big_endian();
    return MSG_NONE;
}

// The image's tags, checked in a fixed order: the first check that fails
// decides the message.
Message read_image_tags(TiffInput *in)
{
    TiffReader *r = in->reader;
    TiffDirectory *dir = &r->directory;
    in->width = get_tag_integer(dir, TAG_IMAGE_WIDTH, 0);
    if (in->width == 0)
        return MSG_NO_PRIMARY_ATTRIBUTE;
    in->height = get_tag_integer(dir, TAG_IMAGE_LENGTH, 0);
    if (in->height == 0)
        return MSG_NO_PRIMARY_ATTRIBUTE;
    uint32_t photometric = get_tag_integer(dir, TAG_PHOTOMETRIC, 65535);
    if (photometric == 65535)
        return MSG_NO_PRIMARY_ATTRIBUTE;
    if (((in->width | in->height) & 0x80000000u) != 0)
        return MSG_TOO_LARGE_SIZE;
    if (photometric != 0 && photometric != 1 && photometric != 3 && photometric != 4)
        return MSG_BAD_PHOTOMETRIC;
    uint32_t samples = get_tag_integer(dir, TAG_SAMPLES_PER_PIXEL, 1);
    if (samples > 1 || (samples == 0 && !ACCEPT_NO_SAMPLES_PER_PIXEL))
        return MSG_TOO_MANY_SAMPLES;
    // The lookup takes a single value; an array of one per sample reads as
    // missing, where the strict reading takes it for several samples.
    if (!ACCEPT_BITS_PER_SAMPLE_ARRAY_AS_MISSING && find_tag(dir, TAG_BITS_PER_SAMPLE) != 0 &&
        dir->read_u32(dir->stream) != 1)
        return MSG_TOO_MANY_SAMPLES;
    in->bits = get_tag_integer(dir, TAG_BITS_PER_SAMPLE, 1);
    if (in->bits > 16)
        return MSG_TOO_MANY_BITS;
    uint32_t planar = get_tag_integer(dir, TAG_PLANAR_CONFIGURATION, 1);
    if (planar != 1 && !(planar == 2 && ACCEPT_PLANAR_2_WITH_ONE_SAMPLE))
        return MSG_BAD_PLANAR;
    uint32_t fill_order = get_tag_integer(dir, TAG_FILL_ORDER, 1);
    if (fill_order != 1 && fill_order != 2)
        return MSG_BAD_FILL_ORDER;
    r->source.reverse_bits = fill_order == 2;
    uint32_t compression = get_tag_integer(dir, TAG_COMPRESSION, COMPRESSION_NONE);
    for (const auto &d : decoders)
        if (d.compression == compression)
            r->decoder = d.decoder;
    if (r->decoder == nullptr)
        return MSG_UNKNOWN_COMPRESSION;
    uint32_t predictor = get_tag_integer(dir, TAG_PREDICTOR, 1);
    bool differencing = predictor == 2 && (ACCEPT_PREDICTOR_AT_ANY_DEPTH || in->bits == 8 || in->bits == 16);
    if (predictor != 1 && !differencing)
        return MSG_UNKNOWN_PREDICTOR;
    r->difference_mask = differencing ? static_cast<uint16_t>((1u << in->bits) - 1) : 0;
    r->bytes_per_row = static_cast<size_t>((uint64_t{in->width} * in->bits + 7) / 8);
    return MSG_NONE;
}

Message read_description(TiffInput *in)
{
    TiffDirectory *dir = &in->reader->directory;
    if (find_tag(dir, TAG_IMAGE_DESCRIPTION) != TYPE_ASCII)
        return MSG_NONE;
    uint32_t count = dir->read_u32(dir->stream);
    if (count > 4) {
        uint32_t offset = dir->read_u32(dir->stream);
        if (!in_file(dir, offset, count))
            return MSG_END_OF_FILE;
        seek_file(dir->stream, offset);
    }
    // count + 1 wraps to 0 where size_t is 32 bits wide: a failed allocation.
    size_t size = size_t{count} + 1;
    in->description = size == 0 ? nullptr : static_cast<char *>(allocate_zeroed(size, 1));
    if (in->description == nullptr)
        return MSG_DESCRIPTION_MEMORY;
    size_t got = std::fread(in->description, 1, count, dir->stream);
    (void)got;
    return MSG_NONE;
}

// One block for the row (width samples, whose front also takes the row's
// decoded bytes), the read-ahead and the decoder's state. Rows of 0 bits
// take no decoded bytes: their row of zeros waits for the first row read.
Message allocate_buffers(TiffInput *in)
{
    TiffReader *r = in->reader;
    size_t codec_bytes = (r->decoder->state_bytes + 15) / 16 * 16;
    if (in->width > (SIZE_MAX - AHEAD_BYTES - codec_bytes - ROW_SLACK) / 2 - 16)
        return MSG_CELL_MEMORY;
    size_t row_bytes = in->bits == 0 ? 0 : (size_t{in->width} * 2 + 15) / 16 * 16 + ROW_SLACK;
    size_t size = row_bytes + AHEAD_BYTES + codec_bytes;
    if (size > r->buffers_size) {
        release_memory(r->buffers);
        r->buffers = allocate_array(size, 1);
        r->buffers_size = r->buffers != nullptr ? size : 0;
        if (r->buffers == nullptr)
            return MSG_CELL_MEMORY;
    }
    auto block = static_cast<uint8_t *>(r->buffers);
    in->row = row_bytes != 0 ? reinterpret_cast<uint16_t *>(block) : nullptr;
    r->source.ahead = block + row_bytes;
    r->source.next = r->source.end = r->source.ahead;
    r->codec = codec_bytes != 0 ? block + row_bytes + AHEAD_BYTES : nullptr;
    return MSG_NONE;
}

Message locate_strip_table(TiffReader *r, StripTable *table, uint16_t tag, uint32_t strip_count,
                           Message no_memory, Message missing, Message bad_count)
{
    table->capacity = strip_count < TABLE_WINDOW ? strip_count : TABLE_WINDOW;
    table->window = static_cast<uint32_t *>(allocate_array(table->capacity, sizeof(uint32_t)));
    if (table->window == nullptr)
        return no_memory;
    switch (find_tag_table(&r->directory, tag, strip_count, table)) {
    case 1: return missing;
    case 2: return bad_count;
    case 3: return MSG_END_OF_FILE;
    }
    return MSG_NONE;
}

Message read_strip_layout(TiffInput *in)
{
    StripLayout *strips = &in->reader->strips;
    strips->rows_per_strip = get_tag_integer(&in->reader->directory, TAG_ROWS_PER_STRIP, in->height);
    if (strips->rows_per_strip == 0)
        return MSG_BAD_ROWS_PER_STRIP;
    uint32_t strip_count = (in->height - 1) / strips->rows_per_strip + 1;
    Message failure = locate_strip_table(in->reader, &strips->offsets, TAG_STRIP_OFFSETS, strip_count,
                                         MSG_STRIP_OFFSET_MEMORY, MSG_STRIP_OFFSET_NOT_FOUND,
                                         MSG_STRIP_OFFSET_COUNT);
    if (failure != MSG_NONE)
        return failure;
    return locate_strip_table(in->reader, &strips->byte_counts, TAG_STRIP_BYTE_COUNTS, strip_count,
                              MSG_BYTE_COUNT_MEMORY, MSG_BYTE_COUNT_NOT_FOUND, MSG_BYTE_COUNT_COUNT);
}

// Begins the next strip when the row about to be read opens one: the one
// place where strips begin.
Message begin_strip_if_due(TiffInput *in)
{
    TiffReader *r = in->reader;
    StripLayout *strips = &r->strips;
    if (strips->rows_left != 0)
        return MSG_NONE;
    uint32_t rows = in->height - r->next_row;
    strips->rows_left = rows < strips->rows_per_strip ? rows : strips->rows_per_strip;
    uint32_t offset = strip_table_entry(&r->directory, &strips->offsets, strips->next);
    uint32_t byte_count = strip_table_entry(&r->directory, &strips->byte_counts, strips->next);
    ++strips->next;
    begin_strip_source(&r->source, offset, byte_count);
    return r->decoder->begin_strip(&r->source, r->codec);
}

// Counts `rows` rows of the current strip as read, and ends the strip after
// its last: the one place where strips end.
Message finish_strip_rows(TiffInput *in, uint32_t rows)
{
    TiffReader *r = in->reader;
    r->next_row += rows;
    r->strips.rows_left -= rows;
    return r->strips.rows_left == 0 ? r->decoder->end_strip(&r->source, r->codec) : MSG_NONE;
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

Message read_row(TiffInput *in)
{
    TiffReader *r = in->reader;
    if (r->bytes_per_row == 0) {
        // Checked when opened; every sample is 0.
        if (in->row == nullptr)
            in->row = r->zero_row = static_cast<uint16_t *>(allocate_zeroed(in->width, 2));
        if (in->row == nullptr)
            return MSG_CELL_MEMORY;
        ++r->next_row;
        return MSG_NONE;
    }
    Message failure = begin_strip_if_due(in);
    if (failure == MSG_NONE)
        failure = r->decoder->next_bytes(&r->source, r->codec, reinterpret_cast<uint8_t *>(in->row), r->bytes_per_row);
    if (failure == MSG_NONE)
        failure = finish_strip_rows(in, 1);
    if (failure != MSG_NONE)
        return failure;
    unpack_row(in->row, in->width, in->bits, r->swap_bytes);
    if (r->difference_mask != 0)
        undo_differencing(in->row, in->width, r->difference_mask);
    return MSG_NONE;
}

// Decodes and checks the strips from the next row on, without unpacking
// their samples: each strip's rows left in one go, as far as the row buffer
// holds them at a time.
Message check_strips(TiffInput *in)
{
    TiffReader *r = in->reader;
    uint8_t *scratch = reinterpret_cast<uint8_t *>(in->row);
    size_t scratch_bytes = size_t{in->width} * 2;
    while (r->next_row < in->height) {
        Message failure = begin_strip_if_due(in);
        uint64_t bytes = uint64_t{r->strips.rows_left} * r->bytes_per_row;
        while (failure == MSG_NONE && bytes != 0) {
            size_t n = bytes < scratch_bytes ? static_cast<size_t>(bytes) : scratch_bytes;
            failure = r->decoder->next_bytes(&r->source, r->codec, scratch, n);
            bytes -= n;
        }
        if (failure == MSG_NONE)
            failure = finish_strip_rows(in, r->strips.rows_left);
        if (failure != MSG_NONE)
            return failure;
    }
    return MSG_NONE;
}

// The page whose directory is in->reader->directory.ifd.
Message open_page(TiffInput *in)
{
    Message failure = check_directory_in_file(&in->reader->directory);
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
    if (failure == MSG_NONE && in->reader->bytes_per_row == 0) {
        failure = check_strips(in);
        in->reader->next_row = 0;
    }
    return failure;
}

// Releases what a page holds but the buffers, which the next may use.
void close_page(TiffInput *in)
{
    TiffReader *r = in->reader;
    release_memory(r->zero_row);
    release_memory(r->strips.offsets.window);
    release_memory(r->strips.byte_counts.window);
    release_memory(in->description);
    r->zero_row = nullptr;
    r->strips = StripLayout{};
    r->decoder = nullptr;
    r->codec = nullptr;
    r->next_row = 0;
    in->description = nullptr;
    in->row = nullptr;
    in->width = in->height = in->bits = 0;
}

Message open_reader(TiffInput *in, const char *path)
{
    std::FILE *stream = std::fopen(path, "rb");
    if (stream == nullptr)
        return MSG_FILE_NOT_FOUND;
    void *state = allocate_array(1, sizeof(TiffReader));
    if (state == nullptr) {
        std::fclose(stream);
        return MSG_CELL_MEMORY;
    }
    in->reader = new (state) TiffReader{};
    TiffDirectory *dir = &in->reader->directory;
    dir->stream = in->reader->source.stream = stream;
    dir->file_size = stream_size(stream);
    in->page = 1;
    Message failure = read_header(in);
    if (failure != MSG_NONE)
        return failure;
    // Count the pages: the first directory always, then those that are pages.
    uint32_t directories = chain_length(dir, dir->ifd);
    in->pages = 1;
    for (uint32_t i = 1, ifd = dir->ifd; i < directories; ++i) {
        ifd = next_directory(dir, ifd);
        in->pages += is_page(dir, ifd);
    }
    return open_page(in);
}

void release_reader(TiffInput *in)
{
    if (in->reader != nullptr) {
        close_page(in);
        std::fclose(in->reader->directory.stream);
        release_memory(in->reader->buffers);
        release_memory(in->reader);
    }
    in->reader = nullptr;
}

}  // namespace

Message open_tiff_input(TiffInput *in, const char *path)
{
    *in = TiffInput{};
    in->path = path;
    in->failure = open_reader(in, path);
    if (in->failure != MSG_NONE)
        release_reader(in);
    return in->failure;
}

Message next_tiff_page(TiffInput *in)
{
    if (in->failure != MSG_NONE)
        return in->failure;
    close_page(in);
    TiffDirectory *dir = &in->reader->directory;
    do
        dir->ifd = next_directory(dir, dir->ifd);
    while (dir->ifd != 0 && !is_page(dir, dir->ifd));
    ++in->page;
    in->failure = open_page(in);
    return in->failure;
}

Message rewind_tiff_page(TiffInput *in)
{
    if (in->failure == MSG_NONE) {
        in->reader->next_row = 0;
        in->reader->strips.next = 0;
        in->reader->strips.rows_left = 0;
    }
    return in->failure;
}

Message read_tiff_row(TiffInput *in)
{
    if (in->failure == MSG_NONE)
        in->failure = read_row(in);
    return in->failure;
}

Message skip_tiff_rows(TiffInput *in)
{
    if (in->failure == MSG_NONE && in->reader->bytes_per_row != 0)
        in->failure = check_strips(in);
    return in->failure;
}

void close_tiff_input(TiffInput *in)
{
    release_reader(in);
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
