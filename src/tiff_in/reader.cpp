// The rows of a page: segments (strips, or bands of tiles) begun and ended
// in one place, and their decoded bytes unpacked (unpack.cpp); then the
// calls of tiff_in.h.
#include <cstring>
#include <new>

#include "tiff_in/reader.h"

namespace {

// Unpacks `count` samples' decoded bytes into the row from sample x on.
// Predictor 3 was undone as the bytes were decoded.
void unpack_row(TiffReader *r, const uint8_t *bytes, uint32_t x, uint32_t count)
{
    if (r->page.kind == ROW_SAMPLES) {
        r->unpack(bytes, r->row + x, count, r->page.bits);
        if (r->difference_mask != 0)
            undo_differencing(r->row + x, count, r->difference_mask);
        return;
    }
    auto front = reinterpret_cast<uint8_t *>(r->values + x);
    if (bytes != front)
        std::memmove(front, bytes, size_t{count} * (r->page.bits / 8));
    r->unpack_values(r->values + x, count, r->swap_bytes, r->predictor == 2);
}

// Predictor 3: a row of the strip or tile, `row_samples` samples, decoded
// as its byte planes and put together at `dst` in the file's byte order,
// its first `kept` samples only.
Message decode_float_row(TiffReader *r, uint32_t row_samples, uint8_t *dst, uint32_t kept)
{
    uint32_t size = r->page.bits / 8;
    Message failure = r->decoder->next_bytes(&r->source, r->codec, r->planes, size_t{row_samples} * size);
    if (failure == MSG_NONE)
        undo_float_predictor(r->planes, row_samples, size, dst, kept, r->swap_bytes != host_is_big_endian());
    return failure;
}

// ---- Segments ----

// Positions the source at the next strip or tile, whose rows take `bytes`
// decoded bytes, and begins decoding it.
Message begin_next_block(TiffReader *r, uint64_t bytes)
{
    uint64_t offset = strip_table_entry(&r->directory, &r->offsets, r->cursor.next_block);
    uint64_t byte_count = strip_table_entry(&r->directory, &r->byte_counts, r->cursor.next_block);
    ++r->cursor.next_block;
    begin_strip_source(&r->source, offset, byte_count);
    return r->decoder->begin_strip(&r->source, r->codec, bytes);
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
        bool row_by_row = kept != page.tile_row_bytes || r->predictor == 3;
        Message failure = begin_next_block(r, uint64_t{page.segment_rows} * page.tile_row_bytes);
        if (failure == MSG_NONE && !row_by_row && kept != 0)
            failure = r->decoder->next_bytes(&r->source, r->codec, dst, kept * rows);
        for (uint32_t y = 0; failure == MSG_NONE && row_by_row && y < rows; ++y) {
            if (r->predictor == 3) {
                failure = decode_float_row(r, page.tile_width, dst + y * kept, tile_samples(page, t));
                continue;
            }
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
    if (r->page.tile_width != 0)
        return decode_band(r);
    return begin_next_block(r, uint64_t{r->cursor.rows_left} * r->page.bytes_per_row);
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
        unpack_row(r, tile + y * kept, x, tile_samples(page, t));
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
        failure = r->predictor == 3 ? decode_float_row(r, r->page.width, bytes, r->page.width)
                                    : r->decoder->next_bytes(&r->source, r->codec, bytes, r->page.bytes_per_row);
    if (failure != MSG_NONE)
        return failure;
    if (r->page.tile_width != 0)
        unpack_band_row(r);
    else
        unpack_row(r, bytes, 0, r->page.width);
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
    in->kind = r->page.kind;
    in->row = r->page.kind == ROW_SAMPLES ? r->row : nullptr;
    in->values = r->values;
    if (failure != MSG_NONE)
        return failure;
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
    in->values = nullptr;
    in->kind = ROW_SAMPLES;
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
        release_memory(in->reader->codec);
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
    if (in->failure == MSG_NONE && in->kind == ROW_SAMPLES)
        in->row = in->reader->row;  // the row of zeros is taken at the first
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
