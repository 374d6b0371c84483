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

// Header: byte-order mark twice, then 42 and the first IFD's offset, or for
// a BigTIFF 43, the offset size 8, 0 and the first IFD's 8-byte offset.
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
    dir->read_u64 = little_endian ? read_u64_le : read_u64_be;
    uint32_t version = dir->read_u16(dir->stream);
    dir->big = version == 43;
    if (version != 42 && !(dir->big && dir->read_u16(dir->stream) == 8 && dir->read_u16(dir->stream) == 0))
        return MSG_BAD_MAGIC;
    dir->ifd = read_wide(dir);
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
    uint64_t count = read_wide(dir);
    if (count > value_field_bytes(dir)) {
        uint64_t offset = read_wide(dir);
        if (!in_file(dir, offset, count))
            return MSG_END_OF_FILE;
        seek_file(dir->stream, offset);
    }
    if (count >= SIZE_MAX)
        return MSG_DESCRIPTION_MEMORY;
    in->description = static_cast<char *>(allocate_zeroed(static_cast<size_t>(count) + 1, 1));
    if (in->description == nullptr)
        return MSG_DESCRIPTION_MEMORY;
    size_t got = std::fread(in->description, 1, static_cast<size_t>(count), dir->stream);
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

Message locate_strip_table(TiffReader *r, StripTable *table, uint16_t tag, uint64_t strip_count,
                           Message no_memory, Message missing, Message bad_count)
{
    table->capacity = strip_count < TABLE_WINDOW ? static_cast<uint32_t>(strip_count) : TABLE_WINDOW;
    table->window = static_cast<uint64_t *>(allocate_array(table->capacity, sizeof(uint64_t)));
    if (table->window == nullptr)
        return no_memory;
    switch (find_tag_table(&r->directory, tag, strip_count, table)) {
    case 1: return missing;
    case 2: return bad_count;
    case 3: return MSG_END_OF_FILE;
    }
    return MSG_NONE;
}

// A tiled page: tiles of a multiple of 16 samples each way, one table
// entry a tile, row of tiles after row of tiles. The band holds a row of
// tiles' rows inside the image: at most min(tile_length, height) rows of
// the image's width, and no padding.
Message read_tile_layout(TiffInput *in)
{
    TiffReader *r = in->reader;
    StripLayout *strips = &r->strips;
    strips->tile_width = get_tag_integer(&r->directory, TAG_TILE_WIDTH, 0);
    strips->rows_per_strip = get_tag_integer(&r->directory, TAG_TILE_LENGTH, 0);
    if (strips->tile_width == 0 || strips->tile_width % 16 != 0 || strips->rows_per_strip == 0 ||
        strips->rows_per_strip % 16 != 0)
        return MSG_BAD_TILE_SIZE;
    strips->tiles_across = (in->width - 1) / strips->tile_width + 1;
    uint64_t tiles = uint64_t{strips->tiles_across} * ((in->height - 1) / strips->rows_per_strip + 1);
    Message failure = locate_strip_table(r, &strips->offsets, TAG_TILE_OFFSETS, tiles, MSG_TILE_OFFSET_MEMORY,
                                         MSG_TILE_OFFSET_NOT_FOUND, MSG_TILE_OFFSET_COUNT);
    if (failure == MSG_NONE)
        failure = locate_strip_table(r, &strips->byte_counts, TAG_TILE_BYTE_COUNTS, tiles,
                                     MSG_TILE_BYTE_COUNT_MEMORY, MSG_TILE_BYTE_COUNT_NOT_FOUND,
                                     MSG_TILE_BYTE_COUNT_COUNT);
    if (failure != MSG_NONE)
        return failure;
    strips->tile_row_bytes = (uint64_t{strips->tile_width} * in->bits + 7) / 8;
    // A tile's bytes must be countable.
    if (strips->tile_row_bytes > UINT64_MAX / strips->rows_per_strip)
        return MSG_BAD_TILE_SIZE;
    uint32_t band_rows = strips->rows_per_strip < in->height ? strips->rows_per_strip : in->height;
    // r->bytes_per_row plus a byte of a partial sample at each tile's end.
    uint64_t band_row_bytes = r->bytes_per_row + strips->tiles_across;
    if (band_row_bytes > (SIZE_MAX - ROW_SLACK) / band_rows)
        return MSG_CELL_MEMORY;
    strips->band = static_cast<uint8_t *>(allocate_array(band_row_bytes * band_rows + ROW_SLACK, 1));
    return strips->band != nullptr ? MSG_NONE : MSG_CELL_MEMORY;
}

Message read_strip_layout(TiffInput *in)
{
    StripLayout *strips = &in->reader->strips;
    if (find_tag(&in->reader->directory, TAG_TILE_WIDTH) != 0)
        return read_tile_layout(in);
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

// The rows of the strip or band that the row about to be read opens.
uint32_t rows_of_next_block(const TiffInput *in)
{
    uint32_t rows = in->height - in->reader->next_row;
    return rows < in->reader->strips.rows_per_strip ? rows : in->reader->strips.rows_per_strip;
}

// The samples of tile column t inside the image, and the bytes of each of
// its rows that they take.
uint32_t tile_samples(const TiffInput *in, uint32_t t)
{
    uint32_t x = t * in->reader->strips.tile_width;
    return in->width - x < in->reader->strips.tile_width ? in->width - x : in->reader->strips.tile_width;
}

size_t tile_kept_bytes(const TiffInput *in, uint32_t t)
{
    return static_cast<size_t>((uint64_t{tile_samples(in, t)} * in->bits + 7) / 8);
}

// Positions the source at the next strip or tile and begins decoding it.
Message begin_next_strip(TiffReader *r)
{
    StripLayout *strips = &r->strips;
    uint64_t offset = strip_table_entry(&r->directory, &strips->offsets, strips->next);
    uint64_t byte_count = strip_table_entry(&r->directory, &strips->byte_counts, strips->next);
    ++strips->next;
    begin_strip_source(&r->source, offset, byte_count);
    return r->decoder->begin_strip(&r->source, r->codec);
}

// Begins the next strip when the row about to be read opens one: the one
// place where strips begin.
Message begin_strip_if_due(TiffInput *in)
{
    TiffReader *r = in->reader;
    StripLayout *strips = &r->strips;
    if (strips->rows_left != 0)
        return MSG_NONE;
    strips->rows_left = rows_of_next_block(in);
    return begin_next_strip(r);
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

// Decodes `count` bytes of the current strip that are not kept, in pieces
// the row's memory holds.
Message drop_bytes(TiffInput *in, uint64_t count)
{
    TiffReader *r = in->reader;
    auto scratch = reinterpret_cast<uint8_t *>(in->row);
    size_t scratch_bytes = size_t{in->width} * 2;
    Message failure = MSG_NONE;
    while (failure == MSG_NONE && count != 0) {
        size_t n = count < scratch_bytes ? static_cast<size_t>(count) : scratch_bytes;
        failure = r->decoder->next_bytes(&r->source, r->codec, scratch, n);
        count -= n;
    }
    return failure;
}

// Decodes the band that the row about to be read opens: every tile across,
// whole, in the order the file lists them. Each tile's rows inside the
// image are kept in the band, tile after tile, and the rest dropped: the
// right edge's padding columns and the bottom edge's padding rows.
Message decode_band(TiffInput *in)
{
    TiffReader *r = in->reader;
    StripLayout *strips = &r->strips;
    strips->rows_left = rows_of_next_block(in);
    uint8_t *dst = strips->band;
    for (uint32_t t = 0; t < strips->tiles_across; ++t) {
        size_t kept = tile_kept_bytes(in, t);
        Message failure = begin_next_strip(r);
        if (failure == MSG_NONE && kept == strips->tile_row_bytes && kept != 0)
            failure = r->decoder->next_bytes(&r->source, r->codec, dst, kept * strips->rows_left);
        for (uint32_t y = 0; failure == MSG_NONE && kept != strips->tile_row_bytes && y < strips->rows_left; ++y) {
            failure = r->decoder->next_bytes(&r->source, r->codec, dst + y * kept, kept);
            if (failure == MSG_NONE)
                failure = drop_bytes(in, strips->tile_row_bytes - kept);
        }
        if (failure == MSG_NONE)
            failure = drop_bytes(in, uint64_t{strips->rows_per_strip - strips->rows_left} * strips->tile_row_bytes);
        if (failure == MSG_NONE)
            failure = r->decoder->end_strip(&r->source, r->codec);
        if (failure != MSG_NONE)
            return failure;
        dst += kept * strips->rows_left;
    }
    return MSG_NONE;
}

// Turns decoded bytes into `count` samples; in place where `bytes` is the
// samples' own memory. Depths below 16 are unpacked from the last sample to
// the first, so that no byte is overwritten before it is read: sample x
// takes bytes at or below x * bits / 8 and is stored at byte 2x.
void unpack_samples(const uint8_t *bytes, uint16_t *samples, uint32_t count, uint32_t bits, bool swap_bytes)
{
    if (bits == 16) {
        if (bytes != reinterpret_cast<const uint8_t *>(samples))
            std::memcpy(samples, bytes, size_t{count} * 2);
        if (swap_bytes)
            for (uint32_t x = 0; x < count; ++x)
                samples[x] = static_cast<uint16_t>((samples[x] >> 8) | (samples[x] << 8));
        return;
    }
    if (bits == 8) {
        for (uint32_t x = count; x-- > 0;)
            samples[x] = bytes[x];
        return;
    }
    // Bit stream, most significant bit of each byte first.
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

// Each sample was stored as its difference from the one on its left.
void undo_differencing(uint16_t *row, uint32_t width, uint16_t mask)
{
    uint16_t previous = row[0];
    for (uint32_t x = 1; x < width; ++x)
        row[x] = previous = static_cast<uint16_t>((row[x] + previous) & mask);
}

// The row from the band, tile after tile; differencing restarts at each
// tile's left edge.
Message read_tiled_row(TiffInput *in)
{
    TiffReader *r = in->reader;
    StripLayout *strips = &r->strips;
    if (strips->rows_left == 0) {
        Message failure = decode_band(in);
        if (failure != MSG_NONE)
            return failure;
    }
    uint32_t y = r->next_row % strips->rows_per_strip;
    uint32_t band_rows = y + strips->rows_left;
    const uint8_t *tile = strips->band;
    for (uint32_t t = 0, x = 0; t < strips->tiles_across; ++t, x += strips->tile_width) {
        uint32_t samples = tile_samples(in, t);
        size_t kept = tile_kept_bytes(in, t);
        unpack_samples(tile + y * kept, in->row + x, samples, in->bits, r->swap_bytes);
        if (r->difference_mask != 0)
            undo_differencing(in->row + x, samples, r->difference_mask);
        tile += kept * band_rows;
    }
    ++r->next_row;
    --strips->rows_left;
    return MSG_NONE;
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
    if (r->strips.tile_width != 0)
        return read_tiled_row(in);
    Message failure = begin_strip_if_due(in);
    if (failure == MSG_NONE)
        failure = r->decoder->next_bytes(&r->source, r->codec, reinterpret_cast<uint8_t *>(in->row), r->bytes_per_row);
    if (failure == MSG_NONE)
        failure = finish_strip_rows(in, 1);
    if (failure != MSG_NONE)
        return failure;
    unpack_samples(reinterpret_cast<const uint8_t *>(in->row), in->row, in->width, in->bits, r->swap_bytes);
    if (r->difference_mask != 0)
        undo_differencing(in->row, in->width, r->difference_mask);
    return MSG_NONE;
}

// Decodes and checks the strips or tiles from the next row on, without
// unpacking their samples: each strip's rows left in one go, as far as the
// row buffer holds them at a time.
Message check_strips(TiffInput *in)
{
    TiffReader *r = in->reader;
    StripLayout *strips = &r->strips;
    while (r->next_row < in->height) {
        Message failure = MSG_NONE;
        if (strips->tile_width != 0) {
            if (strips->rows_left == 0)
                failure = decode_band(in);
            r->next_row += strips->rows_left;
            strips->rows_left = 0;
        } else {
            failure = begin_strip_if_due(in);
            if (failure == MSG_NONE)
                failure = drop_bytes(in, uint64_t{strips->rows_left} * r->bytes_per_row);
            if (failure == MSG_NONE)
                failure = finish_strip_rows(in, strips->rows_left);
        }
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
    release_memory(r->strips.band);
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
    dir->file_size = in->reader->source.file_size = stream_size(stream);
    in->page = 1;
    Message failure = read_header(in);
    if (failure != MSG_NONE)
        return failure;
    // Count the pages: the first directory always, then those that are pages.
    uint32_t directories = chain_length(dir, dir->ifd);
    in->pages = 1;
    uint64_t ifd = dir->ifd;
    for (uint32_t i = 1; i < directories; ++i) {
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
