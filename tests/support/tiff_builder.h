// Builds small TIFF files for the tests: any byte order, any entries with any
// type, count and value field, and raw strip bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

struct TiffEntry {
    uint16_t tag = 0;
    uint16_t type = 3;
    // SHORT/LONG values, or the bytes of ASCII and other byte-sized types.
    std::vector<uint32_t> values;
    std::optional<uint32_t> count;  // stored count, when not values.size()
    std::optional<uint32_t> field;  // stored value field, instead of values or their offset
};

struct TiffLayout {
    bool little_endian = false;
    std::vector<TiffEntry> entries;  // written in this order
    std::vector<Bytes> strips;       // stored from offset 8 on, in order
    // Appends StripOffsets and StripByteCounts (LONG) describing `strips`.
    bool add_strip_tags = true;
    std::optional<uint32_t> ifd_offset;  // stored in the header instead of the real one
};

TiffEntry short_entry(uint16_t tag, std::vector<uint32_t> values);
TiffEntry long_entry(uint16_t tag, std::vector<uint32_t> values);
TiffEntry ascii_entry(uint16_t tag, const std::string &text_with_nul);

Bytes build_tiff(const TiffLayout &layout);

// Pages one after another in one file, each directory pointing at the
// next. The last points at page `last_points_to` when given (a loop), or
// `beyond` bytes past the end of the file when that is not 0, else nowhere.
Bytes build_stack(const std::vector<TiffLayout> &pages, std::optional<int> last_points_to = {},
                  uint32_t beyond = 0);

// Image options for make_image_layout.
struct ImageOptions {
    uint32_t width = 1;
    uint32_t height = 1;
    uint32_t bits = 8;
    uint32_t rows_per_strip = 0;  // 0: no RowsPerStrip tag, one strip
    bool little_endian = false;
    uint32_t fill_order = 1;
    uint32_t predictor = 1;
    uint32_t compression = 1;
    std::optional<std::string> description;  // without its NUL
};

// Packs samples (row-major, width x height) into uncompressed strips the way a
// TIFF writer would: differencing, then bit packing most significant bit
// first, little-endian 16-bit samples low byte first, FillOrder 2 bits
// reversed within each byte.
std::vector<Bytes> pack_strips(const std::vector<uint16_t> &samples, const ImageOptions &options);

// A layout with the usual tags of a single-channel image and `strips` stored.
TiffLayout make_image_layout(const ImageOptions &options, std::vector<Bytes> strips);

// A one-row 8-bit image of `width` samples whose only strip is `strip`.
Bytes one_row_image(const Bytes &strip, uint32_t width, uint32_t compression);

// Bytes as the 8-bit samples they decode to.
std::vector<uint16_t> widen(const Bytes &bytes);

void write_file(const std::string &path, const Bytes &bytes);
Bytes read_file(const std::string &path);

// A fresh path inside this test process's scratch directory.
std::string scratch_path(const std::string &name);
