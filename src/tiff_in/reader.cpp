// The rows of a page: segments (strips, or bands of tiles) begun and ended
// in one place, decoded bytes unpacked into samples by the table below, and
// horizontal differencing undone; then the calls of tiff_in.h.
#include <cstring>
#include <new>

#include "tiff_in/reader.h"

namespace {

// ---- Unpacking ----

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

UnpackRow choose_unpack(uint32_t bits, bool swap_bytes)
{
    for (const auto &u : unpackers)
        if (u.bits == bits)
            return swap_bytes ? u.other_order : u.host_order;
    return unpack_bit_stream;
}

// Each sample was stored as its difference from the one on its left.
void undo_differencing(uint16_t *row, uint32_t width, uint16_t mask)
{
    uint16_t previous = row[0];
    for (uint32_t x = 1; x < width; ++x)
        row[x] = previous = static_cast<uint16_t>((row[x] + previous) & mask);
}

void unpack_row(const TiffReader *r, const uint8_t *bytes, uint16_t *samples, uint32_t count)
{
    r->unpack(bytes, samples, count, r->page.bits);
    if (r->difference_mask != 0)
        undo_differencing(samples, count, r->difference_mask);
}

// ---- Segments ----

// Positions the source at the next strip or tile and begins decoding it.
Message begin_next_block(TiffReader *r)
{
    uint64_t offset = strip_table_entry(&r->directory, &r->offsets, r->cursor.next_block);
    uint64_t byte_count = strip_table_entry(&r->directory, &r->byte_counts, r->cursor.next_block);
    ++r->cursor.next_block;
    begin_strip_source(&r->source, offset, byte_count);
    return r->decoder->begin_strip(&r->source, r->codec);
}

// Decodes `count` bytes of the current strip or tile that no row keeps, a
// scratch at a time.
Message drop_bytes(TiffReader *r, uint64_t count)
{
    Message failure = MSG_NONE;
    while (failure == MSG_NONE && count != 0) {
        size_t n = count < DROP_BYTES ? static_cast<size_t>(count) : DROP_BYTES;
        failure = r->decoder->next_bytes(&r->source, r->codec, r->scratch, n);
        count -= n;
    }
    return failure;
}

// The samples of tile column t inside the image, and the bytes of each of
// its rows that they take.
uint32_t tile_samples(const PageGeometry &page, uint32_t t)
{
    uint32_t x = t * page.tile_width;
    return page.width - x < page.tile_width ? page.width - x : page.tile_width;
}

size_t tile_kept_bytes(const PageGeometry &page, uint32_t t)
{
    return static_cast<size_t>((uint64_t{tile_samples(page, t)} * page.bits + 7) / 8);
}

// Decodes the band of cursor.rows_left rows: every tile across, whole, in
// the order the file lists them. Each tile's rows inside the image are kept
// in the band, tile after tile, and the rest dropped: the right edge's
// padding columns and the bottom edge's padding rows.
Message decode_band(TiffReader *r)
{
    const PageGeometry &page = r->page;
    uint32_t rows = r->cursor.rows_left;
    uint8_t *dst = r->band;
    for (uint32_t t = 0; t < page.tiles_across; ++t) {
        size_t kept = tile_kept_bytes(page, t);
        Message failure = begin_next_block(r);
        if (failure == MSG_NONE && kept == page.tile_row_bytes && kept != 0)
            failure = r->decoder->next_bytes(&r->source, r->codec, dst, kept * rows);
        for (uint32_t y = 0; failure == MSG_NONE && kept != page.tile_row_bytes && y < rows; ++y) {
            failure = r->decoder->next_bytes(&r->source, r->codec, dst + y * kept, kept);
            if (failure == MSG_NONE)
                failure = drop_bytes(r, page.tile_row_bytes - kept);
        }
        if (failure == MSG_NONE)
            failure = drop_bytes(r, uint64_t{page.segment_rows - rows} * page.tile_row_bytes);
        if (failure == MSG_NONE)
            failure = r->decoder->end_strip(&r->source, r->codec, 0, 0);
        if (failure != MSG_NONE)
            return failure;
        dst += kept * rows;
    }
    return MSG_NONE;
}

// Opens the segment that the next row begins, when none is open: the one
// place where segments begin. A strip is begun; a band is decoded whole,
// its tiles begun and ended.
Message begin_segment_if_due(TiffReader *r)
{
    if (r->cursor.rows_left != 0)
        return MSG_NONE;
    uint32_t rows = r->page.height - r->cursor.row;
    r->cursor.rows_left = rows < r->page.segment_rows ? rows : r->page.segment_rows;
    return r->page.tile_width != 0 ? decode_band(r) : begin_next_block(r);
}

// Counts `rows` rows of the open segment as read, and ends a strip after
// its last: the one place where segments end. Only the last strip can be
// shorter than RowsPerStrip.
Message finish_rows(TiffReader *r, uint32_t rows)
{
    const PageGeometry &page = r->page;
    r->cursor.row += rows;
    r->cursor.rows_left -= rows;
    if (r->cursor.rows_left != 0 || page.tile_width != 0)
        return MSG_NONE;
    uint32_t short_by = (page.segment_rows - page.height % page.segment_rows) % page.segment_rows;
    uint32_t spare_rows = ACCEPT_DEFLATE_ROWS_PAST_THE_IMAGE && r->cursor.row == page.height ? short_by : 0;
    return r->decoder->end_strip(&r->source, r->codec, spare_rows, page.bytes_per_row);
}

// The row from the band, tile after tile; differencing restarts at each
// tile's left edge.
void unpack_band_row(TiffReader *r)
{
    const PageGeometry &page = r->page;
    uint32_t y = r->cursor.row % page.segment_rows;
    uint32_t band_rows = y + r->cursor.rows_left;
    const uint8_t *tile = r->band;
    for (uint32_t t = 0, x = 0; t < page.tiles_across; ++t, x += page.tile_width) {
        size_t kept = tile_kept_bytes(page, t);
        unpack_row(r, tile + y * kept, r->row + x, tile_samples(page, t));
        tile += kept * band_rows;
    }
}

Message read_row(TiffReader *r)
{
    if (r->page.bytes_per_row == 0) {
        // Checked when opened; every sample is 0.
        if (r->row == nullptr)
            r->row = r->zero_row = static_cast<uint16_t *>(allocate_zeroed(r->page.width, 2));
        if (r->row == nullptr)
            return MSG_CELL_MEMORY;
        ++r->cursor.row;
        return MSG_NONE;
    }
    auto bytes = reinterpret_cast<uint8_t *>(r->row);
    Message failure = begin_segment_if_due(r);
    if (failure == MSG_NONE && r->page.tile_width == 0)
        failure = r->decoder->next_bytes(&r->source, r->codec, bytes, r->page.bytes_per_row);
    if (failure != MSG_NONE)
        return failure;
    if (r->page.tile_width != 0)
        unpack_band_row(r);
    else
        unpack_row(r, bytes, r->row, r->page.width);
    return finish_rows(r, 1);
}

// Decodes and checks the strips or tiles from the next row on, without
// unpacking their samples: each segment's rows left in one go.
Message check_segments(TiffReader *r)
{
    while (r->cursor.row < r->page.height) {
        Message failure = begin_segment_if_due(r);
        if (failure == MSG_NONE && r->page.tile_width == 0)
            failure = drop_bytes(r, uint64_t{r->cursor.rows_left} * r->page.bytes_per_row);
        if (failure == MSG_NONE)
            failure = finish_rows(r, r->cursor.rows_left);
        if (failure != MSG_NONE)
            return failure;
    }
    return MSG_NONE;
}

// ---- The input ----

// The page whose directory is in->reader->directory.ifd.
Message open_page(TiffInput *in)
{
    TiffReader *r = in->reader;
    Message failure = read_page(r, &in->description);
    in->width = r->page.width;
    in->height = r->page.height;
    in->bits = r->page.bits;
    in->row = r->row;
    if (failure != MSG_NONE)
        return failure;
    r->unpack = choose_unpack(r->page.bits, r->swap_bytes);
    // Rows of 0 bits take no decoded bytes, so checking every strip costs no
    // more than their count: done at once, so that a tiny file declaring a
    // huge image is refused before anything is computed or stored for it.
    if (r->page.bytes_per_row == 0) {
        failure = check_segments(r);
        r->cursor = RowCursor{};
    }
    return failure;
}

void close_page(TiffInput *in)
{
    release_page(in->reader);
    release_memory(in->description);
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
    in->reader->file.stream = stream;
    in->page = 1;
    Message failure = open_file(in->reader, &in->pages);
    return failure != MSG_NONE ? failure : open_page(in);
}

void release_reader(TiffInput *in)
{
    if (in->reader != nullptr) {
        close_page(in);
        std::fclose(in->reader->file.stream);
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
    if (in->failure == MSG_NONE)
        in->reader->cursor = RowCursor{};
    return in->failure;
}

Message read_tiff_row(TiffInput *in)
{
    if (in->failure == MSG_NONE)
        in->failure = read_row(in->reader);
    if (in->failure == MSG_NONE)
        in->row = in->reader->row;
    return in->failure;
}

Message skip_tiff_rows(TiffInput *in)
{
    if (in->failure == MSG_NONE && in->reader->page.bytes_per_row != 0)
        in->failure = check_segments(in->reader);
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
