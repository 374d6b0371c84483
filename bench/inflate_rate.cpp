// inflate_rate FILE...: the decode rate of imgratio's Deflate decoder against
// libdeflate's libdeflate_zlib_decompress and zlib's uncompress, on the same
// strips, one thread, in decoded MB/s (medians of 7 runs over all strips).
// Tiled files give their tiles. libtiff takes each strip's stored bytes out
// of the file first. Two rates of imgratio's: its decoder alone, through
// the strip operations on those same bytes in memory into one buffer, as
// the libraries decode; and its reader, which reads the file itself and
// checks every strip without unpacking samples (skip_tiff_rows), so that
// rate includes reading the file from the page cache and copying rows out.
#include "tiff_in/reader.h"
#include "tiff_in/tiff_in.h"

#include <libdeflate.h>
#include <tiffio.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

double seconds_of(const std::function<void()> &run)
{
    std::vector<double> times;
    for (int i = 0; i < 7; ++i) {
        auto start = std::chrono::steady_clock::now();
        run();
        times.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    return times[3];
}

}  // namespace

int main(int argc, char **argv)
{
    std::printf("| file | decoded MB | imgratio decoder MB/s | imgratio reader MB/s | libdeflate MB/s | zlib MB/s "
                "| decoder / libdeflate | reader / libdeflate | decoder / zlib |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|\n");
    for (int f = 1; f < argc; ++f) {
        TIFF *tif = TIFFOpen(argv[f], "r");
        if (tif == nullptr)
            return 1;
        // Strips, or tiles (each decoded whole, padding included).
        bool tiled = TIFFIsTiled(tif) != 0;
        std::vector<std::vector<uint8_t>> strips;
        std::vector<size_t> sizes;
        size_t decoded = 0;
        uint32_t count = tiled ? TIFFNumberOfTiles(tif) : TIFFNumberOfStrips(tif);
        for (uint32_t s = 0; s < count; ++s) {
            tmsize_t raw = static_cast<tmsize_t>(TIFFGetStrileByteCount(tif, s));
            strips.emplace_back(static_cast<size_t>(raw));
            if (tiled)
                TIFFReadRawTile(tif, s, strips.back().data(), raw);
            else
                TIFFReadRawStrip(tif, s, strips.back().data(), raw);
        }
        sizes.resize(strips.size());
        uint32_t rows_per_strip = 0, height = 0;
        TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height);
        TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &rows_per_strip);
        for (uint32_t s = 0; s < strips.size(); ++s) {
            uint32_t rows = std::min(rows_per_strip, height - s * rows_per_strip);
            sizes[s] = static_cast<size_t>(tiled ? TIFFTileSize(tif) : TIFFVStripSize(tif, rows));
            decoded += sizes[s];
        }
        TIFFClose(tif);
        std::vector<uint8_t> out(*std::max_element(sizes.begin(), sizes.end()));

        libdeflate_decompressor *d = libdeflate_alloc_decompressor();
        double t_libdeflate = seconds_of([&] {
            for (size_t s = 0; s < strips.size(); ++s)
                if (libdeflate_zlib_decompress(d, strips[s].data(), strips[s].size(), out.data(), sizes[s],
                                               nullptr) != LIBDEFLATE_SUCCESS)
                    std::fprintf(stderr, "libdeflate failed\n");
        });
        libdeflate_free_decompressor(d);
        double t_zlib = seconds_of([&] {
            for (size_t s = 0; s < strips.size(); ++s) {
                uLongf n = static_cast<uLongf>(sizes[s]);
                if (uncompress(out.data(), &n, strips[s].data(), static_cast<uLong>(strips[s].size())) != Z_OK)
                    std::fprintf(stderr, "zlib failed\n");
            }
        });
        // The strip operations, as the reader calls them, on the stored bytes
        // in memory: the source is all read ahead, with no file behind it.
        std::vector<uint64_t> codec((deflate_decoder.state_bytes(out.size()) + 7) / 8);
        std::vector<uint8_t> rows(out.size() + ROW_SLACK);
        double t_decoder = seconds_of([&] {
            for (size_t s = 0; s < strips.size(); ++s) {
                StripSource source;
                source.next = strips[s].data();
                source.end = source.next + strips[s].size();
                if (deflate_decoder.begin_strip(&source, codec.data(), sizes[s]) != MSG_NONE ||
                    deflate_decoder.next_bytes(&source, codec.data(), rows.data(), sizes[s]) != MSG_NONE ||
                    deflate_decoder.end_strip(&source, codec.data(), 0, 0) != MSG_NONE)
                    std::fprintf(stderr, "imgratio's decoder failed\n");
            }
        });
        double t_ours = seconds_of([&] {
            TiffInput in;
            if (open_tiff_input(&in, argv[f]) != MSG_NONE || skip_tiff_rows(&in) != MSG_NONE)
                std::fprintf(stderr, "imgratio: %s\n", message_text(in.failure));
            close_tiff_input(&in);
        });
        double mb = static_cast<double>(decoded) / 1e6;
        std::printf("| %s | %.0f | %.0f | %.0f | %.0f | %.0f | %.2f | %.2f | %.2f |\n", argv[f], mb, mb / t_decoder,
                    mb / t_ours, mb / t_libdeflate, mb / t_zlib, t_libdeflate / t_decoder, t_libdeflate / t_ours,
                    t_zlib / t_decoder);
    }
    return 0;
}
