#include "tiff_builder.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace {

uint32_t type_size(uint16_t type)
{
    return type == 3 ? 2 : type == 4 ? 4 : 1;
}

void put(Bytes &out, uint32_t value, uint32_t size, bool little_endian)
{
    for (uint32_t i = 0; i < size; ++i) {
        uint32_t shift = little_endian ? 8 * i : 8 * (size - 1 - i);
        out.push_back(static_cast<uint8_t>(value >> shift));
    }
}

void patch32(Bytes &out, size_t at, uint32_t value, bool little_endian)
{
    Bytes tmp;
    put(tmp, value, 4, little_endian);
    std::copy(tmp.begin(), tmp.end(), out.begin() + static_cast<std::ptrdiff_t>(at));
}

uint8_t reverse_bits(uint8_t b)
{
    uint8_t r = 0;
    for (int i = 0; i < 8; ++i)
        if (b & (1 << i))
            r = static_cast<uint8_t>(r | (0x80 >> i));
    return r;
}

std::string scratch_directory()
{
    static std::string dir = [] {
        std::string templ = (std::filesystem::temp_directory_path() / "imgratio-test-XXXXXX").string();
        if (mkdtemp(templ.data()) == nullptr)
            std::abort();
        std::string made = templ;
        struct Cleanup : testing::Environment {
            std::string path;
            explicit Cleanup(std::string p) : path(std::move(p)) {}
            void TearDown() override { std::filesystem::remove_all(path); }
        };
        testing::AddGlobalTestEnvironment(new Cleanup(made));
        return made;
    }();
    return dir;
}

}  // namespace

TiffEntry short_entry(uint16_t tag, std::vector<uint32_t> values)
{
    return TiffEntry{tag, 3, std::move(values), {}, {}};
}

TiffEntry long_entry(uint16_t tag, std::vector<uint32_t> values)
{
    return TiffEntry{tag, 4, std::move(values), {}, {}};
}

TiffEntry ascii_entry(uint16_t tag, const std::string &text_with_nul)
{
    return TiffEntry{tag, 2, std::vector<uint32_t>(text_with_nul.begin(), text_with_nul.end()), {}, {}};
}

namespace {

// Appends a page's strips, values and directory, whose next-IFD offset is
// the last 4 bytes; returns the directory's offset.
uint32_t append_page(Bytes &out, const TiffLayout &layout)
{
    const bool le = layout.little_endian;
    std::vector<TiffEntry> entries = layout.entries;
    if (layout.add_strip_tags) {
        std::vector<uint32_t> offsets, counts;
        for (const Bytes &strip : layout.strips) {
            offsets.push_back(static_cast<uint32_t>(out.size()));
            counts.push_back(static_cast<uint32_t>(strip.size()));
            out.insert(out.end(), strip.begin(), strip.end());
        }
        entries.push_back(long_entry(273, offsets));
        entries.push_back(long_entry(279, counts));
    } else {
        for (const Bytes &strip : layout.strips)
            out.insert(out.end(), strip.begin(), strip.end());
    }

    // Out-of-line values, each on an even offset.
    std::vector<uint32_t> value_offsets(entries.size(), 0);
    for (size_t i = 0; i < entries.size(); ++i) {
        const TiffEntry &e = entries[i];
        uint32_t size = type_size(e.type);
        if (e.field || e.values.size() * size <= 4)
            continue;
        if (out.size() & 1)
            out.push_back(0);
        value_offsets[i] = static_cast<uint32_t>(out.size());
        for (uint32_t v : e.values)
            put(out, v, size, le);
    }
    if (out.size() & 1)
        out.push_back(0);

    uint32_t ifd = static_cast<uint32_t>(out.size());
    put(out, static_cast<uint32_t>(entries.size()), 2, le);
    for (size_t i = 0; i < entries.size(); ++i) {
        const TiffEntry &e = entries[i];
        put(out, e.tag, 2, le);
        put(out, e.type, 2, le);
        put(out, e.count.value_or(static_cast<uint32_t>(e.values.size())), 4, le);
        uint32_t size = type_size(e.type);
        if (e.field) {
            put(out, *e.field, 4, le);
        } else if (e.values.size() * size <= 4) {
            size_t used = 0;
            for (uint32_t v : e.values) {
                put(out, v, size, le);
                used += size;
            }
            for (; used < 4; ++used)
                out.push_back(0);
        } else {
            put(out, value_offsets[i], 4, le);
        }
    }
    put(out, 0, 4, le);
    return ifd;
}

Bytes header(bool le)
{
    Bytes out;
    out.push_back(le ? 'I' : 'M');
    out.push_back(le ? 'I' : 'M');
    put(out, 42, 2, le);
    put(out, 0, 4, le);  // IFD offset, patched later
    return out;
}

}  // namespace

Bytes build_tiff(const TiffLayout &layout)
{
    Bytes out = header(layout.little_endian);
    uint32_t ifd = append_page(out, layout);
    patch32(out, 4, layout.ifd_offset.value_or(ifd), layout.little_endian);
    return out;
}

Bytes build_stack(const std::vector<TiffLayout> &pages, std::optional<int> last_points_to, uint32_t beyond)
{
    const bool le = pages.at(0).little_endian;
    Bytes out = header(le);
    std::vector<uint32_t> ifds;
    for (const TiffLayout &page : pages) {
        size_t next_field = out.size() - 4;
        ifds.push_back(append_page(out, page));
        patch32(out, next_field, ifds.back(), le);  // the header's, then the previous page's
    }
    uint32_t last_next = last_points_to ? ifds.at(static_cast<size_t>(*last_points_to)) : 0;
    if (beyond != 0)
        last_next = static_cast<uint32_t>(out.size()) + beyond - 1;
    patch32(out, out.size() - 4, last_next, le);
    return out;
}

std::vector<Bytes> pack_strips(const std::vector<uint16_t> &samples, const ImageOptions &o)
{
    uint32_t rows_per_strip = o.rows_per_strip == 0 ? o.height : o.rows_per_strip;
    uint32_t mask = o.bits == 16 ? 0xFFFF : (1u << o.bits) - 1;
    std::vector<Bytes> strips;
    for (uint32_t y = 0; y < o.height; ++y) {
        if (y % rows_per_strip == 0)
            strips.emplace_back();
        Bytes &strip = strips.back();
        std::vector<uint32_t> row(samples.begin() + static_cast<std::ptrdiff_t>(y) * o.width,
                                  samples.begin() + static_cast<std::ptrdiff_t>(y + 1) * o.width);
        if (o.predictor == 2)
            for (uint32_t x = o.width - 1; x >= 1; --x)
                row[x] = (row[x] - row[x - 1]) & mask;
        Bytes packed;
        if (o.bits == 16) {
            for (uint32_t v : row) {
                packed.push_back(static_cast<uint8_t>(o.little_endian ? v : v >> 8));
                packed.push_back(static_cast<uint8_t>(o.little_endian ? v >> 8 : v));
            }
        } else {
            uint32_t acc = 0, nbits = 0;
            for (uint32_t v : row) {
                for (int b = static_cast<int>(o.bits) - 1; b >= 0; --b) {
                    acc = (acc << 1) | ((v >> b) & 1);
                    if (++nbits == 8) {
                        packed.push_back(static_cast<uint8_t>(acc));
                        acc = nbits = 0;
                    }
                }
            }
            if (nbits != 0)
                packed.push_back(static_cast<uint8_t>(acc << (8 - nbits)));
        }
        if (o.fill_order == 2)
            for (uint8_t &b : packed)
                b = reverse_bits(b);
        strip.insert(strip.end(), packed.begin(), packed.end());
    }
    return strips;
}

TiffLayout make_image_layout(const ImageOptions &o, std::vector<Bytes> strips)
{
    TiffLayout layout;
    layout.little_endian = o.little_endian;
    layout.entries.push_back(long_entry(256, {o.width}));
    layout.entries.push_back(long_entry(257, {o.height}));
    layout.entries.push_back(short_entry(258, {o.bits}));
    layout.entries.push_back(short_entry(259, {o.compression}));
    layout.entries.push_back(short_entry(262, {1}));
    if (o.fill_order != 1)
        layout.entries.push_back(short_entry(266, {o.fill_order}));
    if (o.description)
        layout.entries.push_back(ascii_entry(270, *o.description + '\0'));
    layout.entries.push_back(short_entry(277, {1}));
    if (o.rows_per_strip != 0)
        layout.entries.push_back(long_entry(278, {o.rows_per_strip}));
    if (o.predictor != 1)
        layout.entries.push_back(short_entry(317, {o.predictor}));
    layout.strips = std::move(strips);
    return layout;
}

Bytes one_row_image(const Bytes &strip, uint32_t width, uint32_t compression)
{
    ImageOptions o;
    o.width = width;
    o.compression = compression;
    return build_tiff(make_image_layout(o, {strip}));
}

std::vector<uint16_t> widen(const Bytes &bytes)
{
    return std::vector<uint16_t>(bytes.begin(), bytes.end());
}

void write_file(const std::string &path, const Bytes &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        std::abort();
}

Bytes read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string scratch_path(const std::string &name)
{
    static std::atomic<unsigned> counter{0};
    return scratch_directory() + "/" + std::to_string(counter++) + "-" + name;
}
