// Storing an image as an uncompressed big-endian TIFF file, a row at a time.
//
// The file is built in a staging file and only then becomes the output, so
// that a failed store leaves whatever was at the output path before. A
// regular output (new, existing, or the target of a symlink) is replaced by
// renaming a temporary file beside it over it, which a killed store also
// leaves as it was. Where no file can be made beside it, an existing output
// is rewritten in place from the staged copy, and any other output (a pipe,
// a FIFO, a character device) receives the complete file, written front to
// back with no seek, at the end: a store killed while it copies leaves the
// output partly written.
#pragma once

#include <cstdint>

#include "common/common.h"
#include "tiff_out/output_file.h"

// Where a page's parts go: its description (when longer than the value
// field, 4 bytes or 8 in a BigTIFF, with its NUL), sample data, an
// odd-offset byte, strip arrays and directory, as a file of its own lays
// them out from the end of the header on.
struct TiffPageLayout {
    bool big = false;  // BigTIFF, where a classic file cannot hold the pages
    uint64_t start = 0;
    uint32_t width = 0;
    uint64_t height = 0;
    uint64_t bytes_per_row = 0;
    uint64_t rows_per_strip = 0;
    uint64_t strip_count = 0;
    uint64_t data_offset = 0;
    uint64_t description_length = 0;  // with its NUL; 0 without a description
    char short_description[8] = {};   // one that fits the value field, which holds it
};

struct TiffStore {
    const char *path = nullptr;  // as given; named by every output message
    uint32_t bits = 0;
    TiffPageLayout page;  // the page being stored
    uint64_t rows_stored = 0;

    StagingFile staging;  // the file being built, and how it becomes the output

    unsigned char *buffer = nullptr;  // bytes not yet written to the staging file
    size_t used = 0;
    size_t capacity = 0;
    bool failed = false;  // a write has failed
};

// Checks that a width x height image of 1 to 16 bits per sample with this
// description can be stored, makes the staging file and writes the header.
// The file is a classic TIFF where `pages` pages of this size keep every
// offset within 32 bits, else a BigTIFF. `description` may be null; it is
// needed only during the call.
Message begin_store(TiffStore *store, const char *path, uint32_t width, uint32_t height, uint32_t bits,
                    const char *description, uint32_t pages);

// Appends the next row of width samples (only the low `bits` bits of each
// are stored).
Message store_row(TiffStore *store, const uint16_t *row);

// After the page's last row: writes its directory, pointing at the next
// page, and begins that page, of the same depth, with the same checks as
// begin_store. The store is ended on failure.
Message next_store_page(TiffStore *store, uint32_t width, uint32_t height, const char *description);

// After the last page's last row: writes its directory and makes the file
// the output. The store is ended whatever the result.
Message finish_store(TiffStore *store);

// Ends a store without touching the output; harmless on a store that was
// never begun or has already ended.
void abandon_store(TiffStore *store);
