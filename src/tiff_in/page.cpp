// The page's description: the header and the page count, then for each page
// its tags, checked in a fixed order, its description text, the buffers its
// rows need, and where its strips or tiles are. The strip decoders, one file
// each, are chosen from the table below by the Compression tag.
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
Message read_header(TiffReader *r)
{
    TiffDirectory *dir = &r->directory;
    std::FILE *stream = r->file.stream;
    int mark = std::getc(stream);
    bool little_endian = mark == 0x49;
    if (mark != 0x49 && mark != 0x4D)
        return MSG_BAD_MAGIC;
    if (std::getc(stream) != mark)
        return MSG_BAD_MAGIC;
    dir->read_u16 = little_endian ? read_u16_le : read_u16_be;
    dir->read_u32 = little_endian ? read_u32_le : read_u32_be;
    dir->read_u64 = little_endian ? read_u64_le : read_u64_be;
    uint32_t version = dir->read_u16(stream);
    dir->big = version == 43;
    if (version != 42 && !(dir->big && dir->read_u16(stream) == 8 && dir->read_u16(stream) == 0))
        return MSG_BAD_MAGIC;
    dir->ifd = read_wide(dir);
    // Samples are taken from the row's bytes in the host's order, then
    // swapped where the file's order is the other one.
    r->swap_bytes = little_endian == host_is_big_endian();
    return MSG_NONE;
}

// The image's tags, checked in a fixed order: the first check that fails
// decides the message.
Message read_image_tags(TiffReader *r)
{
    TiffDirectory *dir = &r->directory;
    PageGeometry *page = &r->page;
    page->width = get_tag_integer(dir, TAG_IMAGE_WIDTH, 0);
    if (page->width == 0)
        return MSG_NO_PRIMARY_ATTRIBUTE;
    page->height = get_tag_integer(dir, TAG_IMAGE_LENGTH, 0);
    if (page->height == 0)
        return MSG_NO_PRIMARY_ATTRIBUTE;
    uint32_t photometric = get_tag_integer(dir, TAG_PHOTOMETRIC, 65535);
    if (photometric == 65535)
        return MSG_NO_PRIMARY_ATTRIBUTE;
    if (((page->width | page->height) & 0x80000000u) != 0)
        return MSG_TOO_LARGE_SIZE;
    if (photometric != 0 && photometric != 1 && photometric != 3 && photometric != 4)
        return MSG_BAD_PHOTOMETRIC;
    uint32_t samples = get_tag_integer(dir, TAG_SAMPLES_PER_PIXEL, 1);
    if (samples > 1 || (samples == 0 && !ACCEPT_NO_SAMPLES_PER_PIXEL))
        return MSG_TOO_MANY_SAMPLES;
    // The lookup takes a single value; an array of one per sample reads as
    // missing, where the strict reading takes it for several samples.
    if (!ACCEPT_BITS_PER_SAMPLE_ARRAY_AS_MISSING && find_tag(dir, TAG_BITS_PER_SAMPLE) != 0 &&
        dir->read_u32(r->file.stream) != 1)
        return MSG_TOO_MANY_SAMPLES;
    page->bits = get_tag_integer(dir, TAG_BITS_PER_SAMPLE, 1);
    // SampleFormat: 1 unsigned, 2 signed, 3 floating point; 4 (void) is read
    // as unsigned, as libtiff does.
    uint32_t format = get_tag_integer(dir, TAG_SAMPLE_FORMAT, 1);
    if (format == 4)
        format = 1;
    // Integers above 32 bits would not convert to double exactly.
    bool integer = format == 1 || format == 2;
    if (integer && (page->bits > 32 || (format == 1 && page->bits > 16 && page->bits < 32)))
        return MSG_TOO_MANY_BITS;
    page->kind = format == 1 && page->bits <= 16 ? ROW_SAMPLES : ROW_VALUES;
    r->unpack = choose_unpack(page->bits, r->swap_bytes);
    r->unpack_values = choose_unpack_values(format, page->bits);
    if (page->kind == ROW_VALUES && r->unpack_values == nullptr)
        return MSG_BAD_SAMPLE_FORMAT;
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
    r->predictor = get_tag_integer(dir, TAG_PREDICTOR, 1);
    bool whole_bytes = page->bits == 8 || page->bits == 16 || page->bits == 32 || page->bits == 64;
    bool differencing = r->predictor == 2 && (ACCEPT_PREDICTOR_AT_ANY_DEPTH || whole_bytes);
    bool float_planes = r->predictor == 3 && format == 3;
    if (r->predictor != 1 && !differencing && !float_planes)
        return MSG_UNKNOWN_PREDICTOR;
    if (differencing && page->kind == ROW_SAMPLES)
        r->difference_mask = static_cast<uint16_t>((1u << page->bits) - 1);
    page->bytes_per_row = static_cast<size_t>((uint64_t{page->width} * page->bits + 7) / 8);
    return MSG_NONE;
}

Message read_description(TiffReader *r, char **description)
{
    TiffDirectory *dir = &r->directory;
    if (find_tag(dir, TAG_IMAGE_DESCRIPTION) != TYPE_ASCII)
        return MSG_NONE;
    uint64_t count = read_wide(dir);
    if (count > value_field_bytes(dir)) {
        uint64_t offset = read_wide(dir);
        if (!in_file(dir, offset, count))
            return MSG_END_OF_FILE;
        seek_file(r->file.stream, offset);
    }
    if (count >= SIZE_MAX)
        return MSG_DESCRIPTION_MEMORY;
    *description = static_cast<char *>(allocate_zeroed(static_cast<size_t>(count) + 1, 1));
    if (*description == nullptr)
        return MSG_DESCRIPTION_MEMORY;
    size_t got = std::fread(*description, 1, static_cast<size_t>(count), r->file.stream);
    (void)got;
    return MSG_NONE;
}

// A block kept from page to page while large enough: taken anew, of `size`
// bytes, where it is smaller. False where that cannot be had.
bool grow_block(void **block, size_t *capacity, size_t size)
{
    if (size <= *capacity)
        return true;
    release_memory(*block);
    *block = allocate_array(size, 1);
    *capacity = *block != nullptr ? size : 0;
    return *block != nullptr;
}

// One block for the row (width samples, whose front also takes the row's
// decoded bytes), the scratch and the read-ahead. Rows
// of 0 bits take no decoded bytes: their row of zeros waits for the first
// row read.
Message allocate_buffers(TiffReader *r)
{
    constexpr size_t scratch_bytes = DROP_BYTES + ROW_SLACK;
    size_t sample_bytes = r->page.kind == ROW_VALUES ? sizeof(double) : 2;
    if (r->page.width > (SIZE_MAX - scratch_bytes - AHEAD_BYTES - ROW_SLACK) / sample_bytes - 16)
        return MSG_CELL_MEMORY;
    size_t row_bytes = r->page.bits == 0 ? 0 : (size_t{r->page.width} * sample_bytes + 15) / 16 * 16 + ROW_SLACK;
    if (!grow_block(&r->buffers, &r->buffers_size, row_bytes + scratch_bytes + AHEAD_BYTES))
        return MSG_CELL_MEMORY;
    auto block = static_cast<uint8_t *>(r->buffers);
    r->row = row_bytes != 0 ? reinterpret_cast<uint16_t *>(block) : nullptr;
    r->values = r->page.kind == ROW_VALUES ? reinterpret_cast<double *>(block) : nullptr;
    r->scratch = block + row_bytes;
    r->source.ahead = r->scratch + scratch_bytes;
    r->source.next = r->source.end = r->source.ahead;
    return MSG_NONE;
}

// The decoder's state, for strips or tiles of at most `largest` decoded
// bytes; kept from page to page while large enough.
Message allocate_codec(TiffReader *r, uint64_t largest)
{
    return grow_block(&r->codec, &r->codec_size, r->decoder->state_bytes(largest)) ? MSG_NONE : MSG_CELL_MEMORY;
}

// Predictor 3: the byte planes of a row of `bytes`, the image's or a
// tile's, taken whole before they are put together.
Message allocate_planes(TiffReader *r, uint64_t bytes)
{
    if (r->predictor != 3)
        return MSG_NONE;
    if (bytes > SIZE_MAX - ROW_SLACK)
        return MSG_CELL_MEMORY;
    r->planes = static_cast<uint8_t *>(allocate_array(static_cast<size_t>(bytes) + ROW_SLACK, 1));
    return r->planes != nullptr ? MSG_NONE : MSG_CELL_MEMORY;
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

// The tag of a tile table: the strip tag where the tile tag is absent (a
// strip tag absent too gives the tile table's message all the same).
uint16_t tile_table_tag(TiffReader *r, uint16_t tile_tag, uint16_t strip_tag)
{
    return ACCEPT_TILES_IN_STRIP_TAGS && find_tag(&r->directory, tile_tag) == 0 ? strip_tag : tile_tag;
}

// A tiled page: tiles of a multiple of 16 samples each way, one table
// entry a tile, row of tiles after row of tiles. The band holds a row of
// tiles' rows inside the image: at most min(tile_length, height) rows of
// the image's width, and no padding. Every tile but the last across starts
// on a whole byte, so a band row takes the image row's bytes exactly.
Message read_tile_layout(TiffReader *r)
{
    PageGeometry *page = &r->page;
    page->tile_width = get_tag_integer(&r->directory, TAG_TILE_WIDTH, 0);
    page->segment_rows = get_tag_integer(&r->directory, TAG_TILE_LENGTH, 0);
    if (page->tile_width == 0 || page->tile_width % 16 != 0 || page->segment_rows == 0 ||
        page->segment_rows % 16 != 0)
        return MSG_BAD_TILE_SIZE;
    page->tiles_across = (page->width - 1) / page->tile_width + 1;
    uint64_t tiles = uint64_t{page->tiles_across} * ((page->height - 1) / page->segment_rows + 1);
    Message failure = locate_strip_table(r, &r->offsets, tile_table_tag(r, TAG_TILE_OFFSETS, TAG_STRIP_OFFSETS),
                                         tiles, MSG_TILE_OFFSET_MEMORY, MSG_TILE_OFFSET_NOT_FOUND,
                                         MSG_TILE_OFFSET_COUNT);
    if (failure == MSG_NONE)
        failure = locate_strip_table(r, &r->byte_counts,
                                     tile_table_tag(r, TAG_TILE_BYTE_COUNTS, TAG_STRIP_BYTE_COUNTS), tiles,
                                     MSG_TILE_BYTE_COUNT_MEMORY, MSG_TILE_BYTE_COUNT_NOT_FOUND,
                                     MSG_TILE_BYTE_COUNT_COUNT);
    if (failure != MSG_NONE)
        return failure;
    page->tile_row_bytes = (uint64_t{page->tile_width} * page->bits + 7) / 8;
    // A tile's bytes must be countable.
    if (page->tile_row_bytes > UINT64_MAX / page->segment_rows)
        return MSG_BAD_TILE_SIZE;
    uint32_t band_rows = page->segment_rows < page->height ? page->segment_rows : page->height;
    if (page->bytes_per_row > (SIZE_MAX - ROW_SLACK) / band_rows)
        return MSG_CELL_MEMORY;
    r->band = static_cast<uint8_t *>(allocate_array(page->bytes_per_row * band_rows + ROW_SLACK, 1));
    return r->band != nullptr ? MSG_NONE : MSG_CELL_MEMORY;
}

Message read_strip_layout(TiffReader *r)
{
    PageGeometry *page = &r->page;
    if (find_tag(&r->directory, TAG_TILE_WIDTH) != 0)
        return read_tile_layout(r);
    page->segment_rows = get_tag_integer(&r->directory, TAG_ROWS_PER_STRIP, page->height);
    if (page->segment_rows == 0)
        return MSG_BAD_ROWS_PER_STRIP;
    uint32_t strip_count = (page->height - 1) / page->segment_rows + 1;
    Message failure = locate_strip_table(r, &r->offsets, TAG_STRIP_OFFSETS, strip_count, MSG_STRIP_OFFSET_MEMORY,
                                         MSG_STRIP_OFFSET_NOT_FOUND, MSG_STRIP_OFFSET_COUNT);
    if (failure != MSG_NONE)
        return failure;
    return locate_strip_table(r, &r->byte_counts, TAG_STRIP_BYTE_COUNTS, strip_count, MSG_BYTE_COUNT_MEMORY,
                              MSG_BYTE_COUNT_NOT_FOUND, MSG_BYTE_COUNT_COUNT);
}

// What a strip or tile takes once the layout is known: the byte planes of
// one of its rows (predictor 3), and the decoder's state for the largest.
// A tile always holds TileLength rows; a strip at most the image's.
Message allocate_segment_buffers(TiffReader *r)
{
    const PageGeometry &page = r->page;
    bool tiled = page.tile_width != 0;
    uint64_t row_bytes = tiled ? page.tile_row_bytes : page.bytes_per_row;
    uint32_t rows = tiled || page.segment_rows < page.height ? page.segment_rows : page.height;
    Message failure = allocate_planes(r, row_bytes);
    bool countable = row_bytes <= UINT64_MAX / rows;
    return failure != MSG_NONE ? failure : allocate_codec(r, countable ? rows * row_bytes : UINT64_MAX);
}

}  // namespace

Message open_file(TiffReader *r, uint32_t *pages)
{
    TiffDirectory *dir = &r->directory;
    dir->file = &r->file;
    r->source.file = &r->file;
    r->file.size = stream_size(r->file.stream);
    Message failure = read_header(r);
    if (failure != MSG_NONE)
        return failure;
    // The first directory is always a page; of those after it, those that
    // are pages.
    uint32_t directories = chain_length(dir, dir->ifd);
    *pages = 1;
    uint64_t ifd = dir->ifd;
    for (uint32_t i = 1; i < directories; ++i) {
        ifd = next_directory(dir, ifd);
        *pages += is_page(dir, ifd);
    }
    return MSG_NONE;
}

Message read_page(TiffReader *r, char **description)
{
    *description = nullptr;
    Message failure = check_directory_in_file(&r->directory);
    if (failure == MSG_NONE)
        failure = read_image_tags(r);
    if (failure == MSG_NONE)
        failure = read_description(r, description);
    if (failure == MSG_NONE)
        failure = allocate_buffers(r);
    if (failure == MSG_NONE)
        failure = read_strip_layout(r);
    if (failure == MSG_NONE)
        failure = allocate_segment_buffers(r);
    return failure;
}

void release_page(TiffReader *r)
{
    release_memory(r->zero_row);
    release_memory(r->offsets.window);
    release_memory(r->byte_counts.window);
    release_memory(r->band);
    release_memory(r->planes);
    r->zero_row = nullptr;
    r->band = nullptr;
    r->planes = nullptr;
    r->offsets = r->byte_counts = StripTable{};
    r->decoder = nullptr;
    r->page = PageGeometry{};
    r->cursor = RowCursor{};
    r->row = nullptr;
    r->values = nullptr;
    r->unpack = nullptr;
    r->unpack_values = nullptr;
    r->difference_mask = 0;
    r->predictor = 1;
}
