/* ratio_libtiff: the program imgratio is measured against. A small C program
 * a user would write with libtiff that streams: both inputs are read one
 * strip at a time into two strip buffers (row by row with TIFFReadScanline
 * where a strip is too large to hold, as in images stored as one strip), the
 * kernel runs row by row, and each output strip is written with stdio as
 * soon as it is complete, in imgratio's exact layout (libtiff's writer
 * cannot be told it; the output is byte-identical). Stacks: the dividend's
 * directories are read once to plan the output's pages, then each page pair
 * is streamed the same way (TIFFSetDirectory); a divisor of one page
 * divides every page. Tiled inputs are read a row of tiles at a time
 * (TIFFReadEncodedTile into one tile buffer, its rows copied into a band of
 * tile-length rows), so that rows stream as from strips.
 *
 * Unsigned 8- and 16-bit samples are divided as 16-bit integers; signed
 * 8-, 16- and 32-bit, unsigned 32-bit and float 32- and 64-bit samples are
 * each converted to double, row by row, and divided with imgratio's rule for
 * values (NaN, infinite and beyond 2^63: the sign-bit integer).
 *
 * usage: ratio_libtiff dividend.tif divisor.tif output.tif
 * Handles what the benchmarks use: one sample per pixel.
 */
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <tiffio.h>

/* Strips above this many bytes are read a row at a time. */
#define MAX_STRIP_BUFFER (4u << 20)

static void die(const char *what, const char *path)
{
    fprintf(stderr, "%s : %s\n", path, what);
    exit(1);
}

struct input {
    const char *path;
    TIFF *tif;
    uint32_t width, height, rows_per_strip;
    uint16_t bits, format;
    int by_scanline;
    uint8_t *buffer; /* a strip, or a row; for tiles the band */
    tstrip_t strip;  /* the strip (the band) in buffer, or (tstrip_t)-1 */
    uint32_t tile_width; /* 0 for strips */
    uint8_t *tile;
};

/* The current directory's layout and a buffer for it. */
static void read_page(struct input *in)
{
    const char *path = in->path;
    uint16_t spp = 1;
    in->bits = 1;
    TIFFGetField(in->tif, TIFFTAG_IMAGEWIDTH, &in->width);
    TIFFGetField(in->tif, TIFFTAG_IMAGELENGTH, &in->height);
    TIFFGetFieldDefaulted(in->tif, TIFFTAG_BITSPERSAMPLE, &in->bits);
    TIFFGetFieldDefaulted(in->tif, TIFFTAG_SAMPLESPERPIXEL, &spp);
    TIFFGetFieldDefaulted(in->tif, TIFFTAG_SAMPLEFORMAT, &in->format);
    int integer = (in->format == SAMPLEFORMAT_UINT || in->format == SAMPLEFORMAT_INT) &&
                  (in->bits == 8 || in->bits == 16 || in->bits == 32);
    int real = in->format == SAMPLEFORMAT_IEEEFP && (in->bits == 32 || in->bits == 64);
    if (spp != 1 || !(integer || real))
        die("unsupported layout", path);
    free(in->buffer);
    free(in->tile);
    in->buffer = in->tile = NULL;
    in->strip = (tstrip_t)-1;
    in->tile_width = 0;
    if (TIFFIsTiled(in->tif)) {
        TIFFGetField(in->tif, TIFFTAG_TILEWIDTH, &in->tile_width);
        TIFFGetField(in->tif, TIFFTAG_TILELENGTH, &in->rows_per_strip);
        uint32_t across = (in->width + in->tile_width - 1) / in->tile_width;
        in->by_scanline = 0;
        in->tile = malloc((size_t)TIFFTileSize(in->tif));
        in->buffer = malloc((size_t)across * in->tile_width * in->rows_per_strip * (in->bits / 8));
        if (!in->tile || !in->buffer)
            die("out of memory", path);
        return;
    }
    in->rows_per_strip = in->height;
    TIFFGetFieldDefaulted(in->tif, TIFFTAG_ROWSPERSTRIP, &in->rows_per_strip);
    if (in->rows_per_strip > in->height)
        in->rows_per_strip = in->height;
    tmsize_t strip_size = TIFFStripSize(in->tif);
    in->by_scanline = strip_size > (tmsize_t)MAX_STRIP_BUFFER;
    in->buffer = malloc(in->by_scanline ? (size_t)TIFFScanlineSize(in->tif) : (size_t)strip_size);
    if (!in->buffer)
        die("out of memory", path);
}

/* The band of tiles that holds row y: each tile across decoded, its rows
 * copied into the band (band_width samples a row). */
static void read_band(struct input *in, uint32_t y)
{
    uint32_t band = y / in->rows_per_strip, tw = in->tile_width, bytes = in->bits / 8;
    uint32_t across = (in->width + tw - 1) / tw;
    size_t band_row = (size_t)across * tw * bytes, tile_row = (size_t)tw * bytes;
    for (uint32_t t = 0; t < across; ++t) {
        if (TIFFReadEncodedTile(in->tif, TIFFComputeTile(in->tif, t * tw, band * in->rows_per_strip, 0, 0), in->tile,
                                (tmsize_t)-1) < 0)
            die("bad tile", in->path);
        for (uint32_t r = 0; r < in->rows_per_strip; ++r)
            memcpy(in->buffer + r * band_row + t * tile_row, in->tile + r * tile_row, tile_row);
    }
    in->strip = band;
}

static void open_input(struct input *in, const char *path)
{
    in->path = path;
    in->buffer = in->tile = NULL;
    in->tif = TIFFOpen(path, "r");
    if (!in->tif)
        die("cannot open", path);
    read_page(in);
}

static void set_page(struct input *in, tdir_t page)
{
    if (!TIFFSetDirectory(in->tif, page))
        die("bad directory", in->path);
    read_page(in);
}

/* Whether the input's rows are unsigned 8- or 16-bit samples. */
static int is_samples(const struct input *in)
{
    return in->format == SAMPLEFORMAT_UINT && in->bits <= 16;
}

/* Row y's bytes, decoded, in the host's order. */
static const uint8_t *row_bytes(struct input *in, uint32_t y)
{
    size_t row_bytes = (size_t)in->width * (in->bits / 8);
    const uint8_t *bytes;
    if (in->tile_width) {
        if (y / in->rows_per_strip != in->strip)
            read_band(in, y);
        uint32_t across = (in->width + in->tile_width - 1) / in->tile_width;
        bytes = in->buffer + (size_t)(y % in->rows_per_strip) * across * in->tile_width * (in->bits / 8);
    } else if (in->by_scanline) {
        if (TIFFReadScanline(in->tif, in->buffer, y, 0) < 0)
            die("bad strip", in->path);
        bytes = in->buffer;
    } else {
        tstrip_t s = y / in->rows_per_strip;
        if (s != in->strip) {
            if (TIFFReadEncodedStrip(in->tif, s, in->buffer, (tmsize_t)-1) < 0)
                die("bad strip", in->path);
            in->strip = s;
        }
        bytes = in->buffer + (size_t)(y % in->rows_per_strip) * row_bytes;
    }
    return bytes;
}

/* Row y as 16-bit samples in the host's order. */
static void read_row(struct input *in, uint32_t y, uint16_t *row)
{
    const uint8_t *bytes = row_bytes(in, y);
    if (in->bits == 16)
        memcpy(row, bytes, (size_t)in->width * 2);
    else
        for (uint32_t x = 0; x < in->width; ++x)
            row[x] = bytes[x];
}

/* Row y as the samples' values. */
static void read_values(struct input *in, uint32_t y, double *row)
{
    const uint8_t *bytes = row_bytes(in, y);
    uint32_t w = in->width;
    int format = in->format == SAMPLEFORMAT_IEEEFP ? 3 : in->format == SAMPLEFORMAT_INT ? 2 : 1;
    switch (format * 100 + in->bits) {
    case 108: for (uint32_t x = 0; x < w; ++x) row[x] = bytes[x]; break;
    case 116: for (uint32_t x = 0; x < w; ++x) row[x] = ((const uint16_t *)bytes)[x]; break;
    case 132: for (uint32_t x = 0; x < w; ++x) row[x] = ((const uint32_t *)bytes)[x]; break;
    case 208: for (uint32_t x = 0; x < w; ++x) row[x] = ((const int8_t *)bytes)[x]; break;
    case 216: for (uint32_t x = 0; x < w; ++x) row[x] = ((const int16_t *)bytes)[x]; break;
    case 232: for (uint32_t x = 0; x < w; ++x) row[x] = ((const int32_t *)bytes)[x]; break;
    case 332: for (uint32_t x = 0; x < w; ++x) row[x] = ((const float *)bytes)[x]; break;
    default: memcpy(row, bytes, (size_t)w * 8); break;
    }
}

static uint16_t ratio_value(double a, double b)
{
    double r = a / b * 1000.0;
    int64_t t = r >= -0x1p63 && r < 0x1p63 ? (int64_t)r : INT64_MIN;
    return (uint16_t)(uint64_t)t;
}

static void put32(uint8_t *p, uint32_t v)
{
    p[0] = (uint8_t)(v >> 24);
    p[1] = (uint8_t)(v >> 16);
    p[2] = (uint8_t)(v >> 8);
    p[3] = (uint8_t)v;
}

static uint8_t *entry(uint8_t *p, uint16_t tag, uint16_t type, uint32_t count, uint32_t value)
{
    p[0] = (uint8_t)(tag >> 8);
    p[1] = (uint8_t)tag;
    p[2] = 0;
    p[3] = (uint8_t)type;
    put32(p + 4, count);
    if (type == 3 && count == 1)
        put32(p + 8, value << 16);
    else
        put32(p + 8, value);
    return p + 12;
}

/* An output page in imgratio's layout: description (when longer than 4 bytes
 * with its NUL), strips of at most 8192 bytes, strip arrays, directory. */
struct page {
    uint32_t width, height, rows_per_strip, strips, text_length;
    char *description;
    uint32_t start, data_offset, arrays_offset, ifd_offset, end;
};

static void plan_page(struct page *p, uint32_t start)
{
    uint32_t row_bytes = p->width * 2;
    p->rows_per_strip = row_bytes <= 8192 ? 8192 / row_bytes : 1;
    p->strips = (p->height + p->rows_per_strip - 1) / p->rows_per_strip;
    p->start = start;
    p->data_offset = p->text_length <= 4 ? start : start + p->text_length + (p->text_length & 1);
    uint64_t data_end = p->data_offset + (uint64_t)row_bytes * p->height;
    p->arrays_offset = (uint32_t)(data_end + (data_end & 1));
    p->ifd_offset = p->arrays_offset + (p->strips > 1 ? 8 * p->strips : 0);
    p->end = p->ifd_offset + 2 + 12 * (p->description ? 12 : 11) + 4;
}

static void write_directory(FILE *out, const struct page *p, uint32_t next_ifd)
{
    uint32_t row_bytes = p->width * 2;
    if ((p->data_offset + (uint64_t)row_bytes * p->height) & 1)
        fputc(0, out);
    if (p->strips > 1) {
        uint8_t v[4];
        for (uint32_t s = 0; s < p->strips; ++s) {
            put32(v, p->data_offset + s * p->rows_per_strip * row_bytes);
            fwrite(v, 1, 4, out);
        }
        for (uint32_t s = 0; s < p->strips; ++s) {
            uint32_t rows = s + 1 < p->strips ? p->rows_per_strip : p->height - s * p->rows_per_strip;
            put32(v, rows * row_bytes);
            fwrite(v, 1, 4, out);
        }
    }
    uint8_t ifd[2 + 12 * 12 + 4], *q = ifd + 2;
    uint16_t entries = p->description ? 12 : 11;
    ifd[0] = 0;
    ifd[1] = (uint8_t)entries;
    q = entry(q, 256, p->width > 65535 ? 4 : 3, 1, p->width);
    q = entry(q, 257, p->height > 65535 ? 4 : 3, 1, p->height);
    q = entry(q, 258, 3, 1, 16);
    q = entry(q, 259, 3, 1, 1);
    q = entry(q, 262, 3, 1, 1);
    q = entry(q, 266, 3, 1, 1);
    if (p->description) {
        if (p->text_length <= 4) {
            q = entry(q, 270, 2, p->text_length, 0);
            memcpy(q - 4, p->description, p->text_length);
        } else {
            q = entry(q, 270, 2, p->text_length, p->start);
        }
    }
    q = entry(q, 273, 4, p->strips, p->strips > 1 ? p->arrays_offset : p->data_offset);
    q = entry(q, 277, 3, 1, 1);
    q = entry(q, 278, 3, 1, p->rows_per_strip);
    q = entry(q, 279, 4, p->strips, p->strips > 1 ? p->arrays_offset + 4 * p->strips : row_bytes * p->height);
    q = entry(q, 284, 3, 1, 1);
    put32(q, next_ifd);
    q += 4;
    fwrite(ifd, 1, (size_t)(q - ifd), out);
}

int main(int argc, char **argv)
{
    if (argc < 4) {
        fputs("usage: ratio_libtiff dividend.tif divisor.tif output.tif\n", stderr);
        return 1;
    }
    struct input a, b;
    open_input(&a, argv[1]);
    open_input(&b, argv[2]);
    tdir_t pages = TIFFNumberOfDirectories(a.tif), divisor_pages = TIFFNumberOfDirectories(b.tif);
    if (divisor_pages != pages && divisor_pages != 1)
        die("image count mismatch", argv[2]);

    /* The output's layout, page by page, from the dividend's directories. */
    struct page *plan = calloc(pages, sizeof *plan);
    if (!plan)
        die("out of memory", argv[3]);
    uint32_t start = 8;
    for (tdir_t k = 0; k < pages; ++k) {
        if (k > 0 && !TIFFReadDirectory(a.tif))
            die("bad directory", argv[1]);
        const char *text = NULL;
        TIFFGetField(a.tif, TIFFTAG_IMAGEWIDTH, &plan[k].width);
        TIFFGetField(a.tif, TIFFTAG_IMAGELENGTH, &plan[k].height);
        if (TIFFGetField(a.tif, TIFFTAG_IMAGEDESCRIPTION, &text)) {
            plan[k].description = strdup(text);
            plan[k].text_length = (uint32_t)strlen(text) + 1;
        }
        plan_page(&plan[k], start);
        start = plan[k].end;
    }

    FILE *out = fopen(argv[3], "wb");
    if (!out)
        die("file not stored.", argv[3]);
    uint8_t header[8] = {0x4D, 0x4D, 0x00, 0x2A};
    put32(header + 4, plan[0].ifd_offset);
    fwrite(header, 1, 8, out);
    uint16_t *ra = NULL, *rb = NULL;
    double *va = NULL, *vb = NULL;
    uint8_t *strip = NULL;
    for (tdir_t k = 0; k < pages; ++k) {
        struct page *p = &plan[k];
        set_page(&a, k);
        if (divisor_pages > 1 || k == 0)
            set_page(&b, divisor_pages > 1 ? k : 0);
        else
            b.strip = (tstrip_t)-1; /* the one divisor page again */
        if (a.width != b.width || a.height != b.height)
            die("image size mismatch", argv[2]);
        uint32_t width = p->width, height = p->height, row_bytes = width * 2;
        free(ra);
        free(rb);
        free(va);
        free(vb);
        free(strip);
        ra = malloc((size_t)width * 2);
        rb = malloc((size_t)width * 2);
        va = malloc((size_t)width * 8);
        vb = malloc((size_t)width * 8);
        strip = malloc((size_t)p->rows_per_strip * row_bytes);
        if (!ra || !rb || !va || !vb || !strip)
            die("out of memory", argv[3]);
        int samples = is_samples(&a) && is_samples(&b);
        if (p->text_length > 4) {
            fwrite(p->description, 1, p->text_length, out);
            if (p->text_length & 1)
                fputc(0, out);
        }
        for (uint32_t y = 0; y < height; ++y) {
            uint8_t *o = strip + (size_t)(y % p->rows_per_strip) * row_bytes;
            if (samples) {
                read_row(&a, y, ra);
                read_row(&b, y, rb);
                for (uint32_t x = 0; x < width; ++x) {
                    uint16_t r = rb[x] == 0 ? 0 : (uint16_t)(int64_t)((double)ra[x] / (double)rb[x] * 1000.0);
                    o[2 * x] = (uint8_t)(r >> 8);
                    o[2 * x + 1] = (uint8_t)r;
                }
            } else {
                read_values(&a, y, va);
                read_values(&b, y, vb);
                for (uint32_t x = 0; x < width; ++x) {
                    uint16_t r = ratio_value(va[x], vb[x]);
                    o[2 * x] = (uint8_t)(r >> 8);
                    o[2 * x + 1] = (uint8_t)r;
                }
            }
            if (y + 1 == height || (y + 1) % p->rows_per_strip == 0)
                fwrite(strip, 1, (size_t)(y % p->rows_per_strip + 1) * row_bytes, out);
        }
        write_directory(out, p, k + 1 < pages ? plan[k + 1].ifd_offset : 0);
    }
    if (fclose(out) != 0)
        die("file not stored.", argv[3]);
    TIFFClose(a.tif);
    TIFFClose(b.tif);
    return 0;
}
