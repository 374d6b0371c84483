/* ratio_libtiff: the reference imgratio is measured against. A small C
 * program a user would write with libtiff: read both inputs strip by strip
 * with TIFFReadEncodedStrip, apply the same kernel, and write the same
 * big-endian uncompressed 16-bit file (with stdio, since libtiff's writer
 * cannot be told imgratio's exact layout; the output is byte-identical).
 *
 * usage: ratio_libtiff dividend.tif divisor.tif output.tif
 * Handles what the benchmarks use: one sample per pixel, 8 or 16 bits.
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <tiffio.h>

static void die(const char *what, const char *path)
{
    fprintf(stderr, "%s : %s\n", path, what);
    exit(1);
}

static uint16_t *load(const char *path, uint32_t *width, uint32_t *height, char **description)
{
    TIFF *tif = TIFFOpen(path, "r");
    if (!tif)
        die("cannot open", path);
    uint16_t bits = 1, spp = 1;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, height);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &spp);
    if (spp != 1 || (bits != 8 && bits != 16) || TIFFIsTiled(tif))
        die("unsupported layout", path);
    if (description) {
        const char *text = NULL;
        *description = TIFFGetField(tif, TIFFTAG_IMAGEDESCRIPTION, &text) && text ? strdup(text) : NULL;
    }
    size_t samples = (size_t)*width * *height;
    uint16_t *grid = malloc(samples * sizeof(uint16_t));
    uint8_t *bytes = bits == 8 ? malloc(samples) : (uint8_t *)grid;
    if (!grid || !bytes)
        die("out of memory", path);
    size_t row_bytes = (size_t)*width * (bits / 8);
    uint32_t rows_per_strip = *height;
    TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &rows_per_strip);
    if (rows_per_strip > *height)
        rows_per_strip = *height;
    tstrip_t strips = TIFFNumberOfStrips(tif);
    for (tstrip_t s = 0; s < strips; ++s) {
        size_t at = (size_t)s * rows_per_strip * row_bytes;
        if (TIFFReadEncodedStrip(tif, s, bytes + at, (tmsize_t)-1) < 0)
            die("bad strip", path);
    }
    if (bits == 8) {
        for (size_t i = 0; i < samples; ++i)
            grid[i] = bytes[i];
        free(bytes);
    }
    TIFFClose(tif);
    return grid;
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

int main(int argc, char **argv)
{
    if (argc < 4) {
        fputs("usage: ratio_libtiff dividend.tif divisor.tif output.tif\n", stderr);
        return 1;
    }
    uint32_t w1, h1, width, height;
    char *description = NULL;
    uint16_t *a = load(argv[1], &w1, &h1, &description);
    uint16_t *b = load(argv[2], &width, &height, NULL);
    if (w1 != width || h1 != height)
        die("image size mismatch", argv[2]);

    size_t samples = (size_t)width * height;
    uint16_t *r = malloc(samples * sizeof(uint16_t));
    if (!r)
        die("out of memory", argv[3]);
    for (size_t i = 0; i < samples; ++i)
        r[i] = b[i] == 0 ? 0 : (uint16_t)(int64_t)((double)a[i] / (double)b[i] * 1000.0);

    /* The output layout imgratio writes: header, description (when longer
     * than 4 bytes with its NUL), strips of at most 8192 bytes, strip arrays,
     * directory. */
    FILE *out = fopen(argv[3], "wb");
    if (!out)
        die("file not stored.", argv[3]);
    uint32_t row_bytes = width * 2;
    uint32_t rows_per_strip = row_bytes <= 8192 ? 8192 / row_bytes : 1;
    uint32_t strips = (height + rows_per_strip - 1) / rows_per_strip;
    uint32_t text_length = description ? (uint32_t)strlen(description) + 1 : 0;
    uint32_t data_offset = text_length <= 4 ? 8 : 8 + text_length + (text_length & 1);
    uint64_t data_end = data_offset + (uint64_t)row_bytes * height;
    uint32_t arrays_offset = (uint32_t)(data_end + (data_end & 1));
    uint32_t ifd_offset = arrays_offset + (strips > 1 ? 8 * strips : 0);

    uint8_t header[8] = {0x4D, 0x4D, 0x00, 0x2A};
    put32(header + 4, ifd_offset);
    fwrite(header, 1, 8, out);
    if (text_length > 4) {
        fwrite(description, 1, text_length, out);
        if (text_length & 1)
            fputc(0, out);
    }
    size_t chunk = 1 << 20;
    uint8_t *buffer = malloc(chunk * 2);
    for (size_t i = 0; i < samples; i += chunk) {
        size_t n = samples - i < chunk ? samples - i : chunk;
        for (size_t j = 0; j < n; ++j) {
            buffer[2 * j] = (uint8_t)(r[i + j] >> 8);
            buffer[2 * j + 1] = (uint8_t)r[i + j];
        }
        fwrite(buffer, 1, n * 2, out);
    }
    if (data_end & 1)
        fputc(0, out);
    if (strips > 1) {
        uint8_t v[4];
        for (uint32_t s = 0; s < strips; ++s) {
            put32(v, data_offset + s * rows_per_strip * row_bytes);
            fwrite(v, 1, 4, out);
        }
        for (uint32_t s = 0; s < strips; ++s) {
            uint32_t rows = s + 1 < strips ? rows_per_strip : height - s * rows_per_strip;
            put32(v, rows * row_bytes);
            fwrite(v, 1, 4, out);
        }
    }
    uint8_t ifd[2 + 12 * 12 + 4], *p = ifd + 2;
    uint16_t entries = description ? 12 : 11;
    ifd[0] = 0;
    ifd[1] = (uint8_t)entries;
    p = entry(p, 256, width > 65535 ? 4 : 3, 1, width);
    p = entry(p, 257, height > 65535 ? 4 : 3, 1, height);
    p = entry(p, 258, 3, 1, 16);
    p = entry(p, 259, 3, 1, 1);
    p = entry(p, 262, 3, 1, 1);
    p = entry(p, 266, 3, 1, 1);
    if (description) {
        if (text_length <= 4) {
            p = entry(p, 270, 2, text_length, 0);
            memcpy(p - 4, description, text_length);
        } else {
            p = entry(p, 270, 2, text_length, 8);
        }
    }
    p = entry(p, 273, 4, strips, strips > 1 ? arrays_offset : data_offset);
    p = entry(p, 277, 3, 1, 1);
    p = entry(p, 278, 3, 1, rows_per_strip);
    p = entry(p, 279, 4, strips, strips > 1 ? arrays_offset + 4 * strips : row_bytes * height);
    p = entry(p, 284, 3, 1, 1);
    put32(p, 0);
    p += 4;
    fwrite(ifd, 1, (size_t)(p - ifd), out);
    if (fclose(out) != 0)
        die("file not stored.", argv[3]);
    return 0;
}
