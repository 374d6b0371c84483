// The loader against images packed independently by the test builder, the
// worked examples of sample unpacking, descriptions, and every refusal with
// its exact message.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <random>

#include "support/load_helpers.h"
#include "support/tiff_builder.h"
#include "tiff_in/tiff_in.h"

namespace {

Loaded load_layout(const TiffLayout &layout)
{
    return load_bytes(build_tiff(layout));
}

std::vector<uint16_t> random_samples(size_t n, uint32_t bits, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::vector<uint16_t> v(n);
    uint32_t mask = bits == 16 ? 0xFFFF : (1u << bits) - 1;
    for (uint16_t &s : v)
        s = static_cast<uint16_t>(rng() & mask);
    return v;
}

// An 8-bit 4 x 3 image in three strips of one row, with one tag changed.
TiffLayout small_image(const std::function<void(TiffLayout &)> &change = {})
{
    ImageOptions o;
    o.width = 4;
    o.height = 3;
    o.rows_per_strip = 1;
    TiffLayout layout = make_image_layout(o, pack_strips(random_samples(12, 8, 1), o));
    if (change)
        change(layout);
    return layout;
}

TiffEntry *entry(TiffLayout &layout, uint16_t tag)
{
    for (TiffEntry &e : layout.entries)
        if (e.tag == tag)
            return &e;
    return nullptr;
}

void drop(TiffLayout &layout, uint16_t tag)
{
    layout.entries.erase(std::remove_if(layout.entries.begin(), layout.entries.end(),
                                        [&](const TiffEntry &e) { return e.tag == tag; }),
                         layout.entries.end());
}

void set_short(TiffLayout &layout, uint16_t tag, uint32_t value)
{
    drop(layout, tag);
    layout.entries.push_back(short_entry(tag, {value}));
}

}  // namespace

TEST(ImageLoader, EveryDepthFillOrderByteOrderPredictorAndStripLayout)
{
    uint32_t seed = 0;
    for (uint32_t bits = 0; bits <= 16; ++bits)
        for (uint32_t fill_order : {1u, 2u})
            for (bool le : {false, true})
                for (uint32_t predictor : {1u, 2u})
                    for (uint32_t rows_per_strip : {0u, 1u, 3u}) {
                        ImageOptions o;
                        o.width = 13;
                        o.height = 7;
                        o.bits = bits;
                        o.fill_order = fill_order;
                        o.little_endian = le;
                        o.predictor = predictor;
                        o.rows_per_strip = rows_per_strip;
                        std::vector<uint16_t> samples = random_samples(13 * 7, bits, ++seed);
                        Loaded got = load_layout(make_image_layout(o, pack_strips(samples, o)));
                        SCOPED_TRACE(testing::Message() << "bits " << bits << " fill " << fill_order
                                                        << " le " << le << " predictor " << predictor
                                                        << " rps " << rows_per_strip);
                        EXPECT_EQ(got.width, 13);
                        EXPECT_EQ(got.height, 7);
                        EXPECT_EQ(got.bits, static_cast<int32_t>(bits));
                        ASSERT_EQ(got.samples, samples);
                    }
}

TEST(ImageLoader, NarrowAndWideRowsAtEveryDepth)
{
    // Rows are unpacked in place in their own memory: the first and last
    // samples of a row are where that would go wrong.
    for (uint32_t bits = 0; bits <= 16; ++bits)
        for (uint32_t width : {1u, 2u, 3u, 1000u}) {
            ImageOptions o;
            o.width = width;
            o.height = 3;
            o.bits = bits;
            std::vector<uint16_t> samples = random_samples(width * 3, bits, bits * 7 + width);
            ASSERT_EQ(load_layout(make_image_layout(o, pack_strips(samples, o))).samples, samples)
                << bits << " bits, width " << width;
        }
}

TEST(ImageLoader, StripsInAnyOrderBehindTablesLongerThanOneWindow)
{
    // 3000 strips of one row, stored last first, in both table types.
    for (uint16_t type : {3, 4}) {
        SCOPED_TRACE(type == 3 ? "SHORT tables" : "LONG tables");
        ImageOptions o;
        o.width = 3;
        o.height = 3000;
        o.rows_per_strip = 1;
        std::vector<uint16_t> samples = random_samples(3 * 3000, 8, type);
        std::vector<Bytes> strips = pack_strips(samples, o);
        TiffLayout layout = make_image_layout(o, std::vector<Bytes>(strips.rbegin(), strips.rend()));
        layout.add_strip_tags = false;
        std::vector<uint32_t> offsets(3000), counts(3000, 3);
        for (uint32_t i = 0; i < 3000; ++i)
            offsets[i] = 8 + 3 * (2999 - i);
        layout.entries.push_back(TiffEntry{273, type, offsets, {}, {}});
        layout.entries.push_back(TiffEntry{279, type, counts, {}, {}});
        ASSERT_EQ(load_layout(layout).samples, samples);
    }
}

TEST(ImageLoader, WorkedUnpackingExamples)
{
    auto one_row = [](uint32_t width, uint32_t bits, Bytes strip, uint32_t fill = 1,
                      bool le = false, uint32_t predictor = 1) {
        ImageOptions o;
        o.width = width;
        o.bits = bits;
        o.fill_order = fill;
        o.little_endian = le;
        o.predictor = predictor;
        return load_layout(make_image_layout(o, {strip})).samples;
    };
    using V = std::vector<uint16_t>;
    EXPECT_EQ(one_row(2, 12, {0xAB, 0xCD, 0xEF}), (V{0xABC, 0xDEF}));
    EXPECT_EQ(one_row(2, 8, {0x01, 0x0F}, 2), (V{128, 240}));
    EXPECT_EQ(one_row(1, 16, {0x34, 0x12}, 1, true), (V{0x1234}));
    EXPECT_EQ(one_row(1, 16, {0x12, 0x34}, 1, false), (V{0x1234}));
    EXPECT_EQ(one_row(3, 8, {10, 250, 10}, 1, false, 2), (V{10, 4, 14}));
    EXPECT_EQ(one_row(1, 8, {250}, 1, false, 2), (V{250}));
    EXPECT_EQ(one_row(10, 1, {0xA5, 0xBF}), (V{1, 0, 1, 0, 0, 1, 0, 1, 1, 0}));
    // FillOrder 2 at 16 bits: each stored byte bit-reversed, then swapped.
    EXPECT_EQ(one_row(1, 16, {0x01, 0x80}, 2, true), (V{0x0180}));
    EXPECT_EQ(one_row(4, 0, {}), (V{0, 0, 0, 0}));
}

TEST(ImageLoader, ValuesOfEveryFormatAndDepthInBothByteOrders)
{
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    // SampleFormat, depth, predictor, the stored row in big-endian order, the values.
    struct Case {
        uint32_t format, bits, predictor;
        Bytes big_endian;
        std::vector<double> values;
    };
    const std::vector<Case> cases = {
        {2, 8, 1, {0x80, 0xFF, 0x7F}, {-128, -1, 127}},
        {2, 16, 1, {0xFC, 0x19, 0x80, 0x00, 0x7F, 0xFF}, {-999, -32768, 32767}},
        {2, 32, 1, {0x80, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFE, 0x7F, 0xFF, 0xFF, 0xFF}, {-2147483648.0, -2, 2147483647}},
        {1, 32, 1, {0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 1}, {4294967295.0, 1}},
        {4, 32, 1, {0x80, 0, 0, 0}, {2147483648.0}},  // void, read as unsigned
        {3, 16, 1, {0x3C, 0x00, 0xC0, 0x00, 0x7C, 0x00, 0x7E, 0x00, 0x00, 0x01, 0x7B, 0xFF, 0x04, 0x00},
         {1, -2, inf, nan, 0x1p-24, 65504, 0x1p-14}},
        {3, 32, 1, {0x3F, 0xA0, 0, 0, 0xC2, 0xF7, 0x80, 0, 0x7F, 0xC0, 0, 0, 0xFF, 0x80, 0, 0, 0, 0, 0, 1},
         {1.25, -123.75, nan, -inf, 0x1p-149}},
        {3, 64, 1, {0xBF, 0xE0, 0, 0, 0, 0, 0, 0, 0x7F, 0xF8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1},
         {-0.5, nan, 0x1p-1074}},
        // Differences summed modulo 2^16 and 2^32, then read as signed.
        {2, 16, 2, {0x00, 0x05, 0xFF, 0xFB, 0x80, 0x00}, {5, 0, -32768}},
        {2, 32, 2, {0x7F, 0xFF, 0xFF, 0xFF, 0, 0, 0, 2}, {2147483647, -2147483647}},
        // 1.25 and -123.75 as byte planes, the most significant first in
        // either byte order, differenced byte by byte.
        {3, 32, 3, {0x3F, 0x83, 0xDE, 0x57, 0x09, 0x80, 0x80, 0x00}, {1.25, -123.75}},
    };
    for (const Case &c : cases)
        for (bool le : {false, true}) {
            SCOPED_TRACE(testing::Message() << "format " << c.format << ", " << c.bits << " bits, predictor "
                                            << c.predictor << (le ? ", little-endian" : ", big-endian"));
            Bytes strip = c.big_endian;
            size_t size = c.bits / 8;
            for (size_t i = 0; le && c.predictor != 3 && i < strip.size(); i += size)
                std::reverse(strip.begin() + static_cast<long>(i), strip.begin() + static_cast<long>(i + size));
            ImageOptions o;
            o.width = static_cast<uint32_t>(c.values.size());
            o.bits = c.bits;
            o.little_endian = le;
            o.predictor = c.predictor;
            TiffLayout layout = make_image_layout(o, {strip});
            layout.entries.push_back(short_entry(339, {c.format}));
            Loaded got = load_layout(layout);
            ASSERT_EQ(got.values.size(), c.values.size());
            for (size_t x = 0; x < c.values.size(); ++x)
                EXPECT_TRUE(std::isnan(c.values[x]) ? std::isnan(got.values[x]) : got.values[x] == c.values[x])
                    << "value " << x << ": " << got.values[x];
        }
}

TEST(ImageLoader, NextRowStartsOnAFreshByte)
{
    ImageOptions o;
    o.width = 10;
    o.height = 2;
    o.bits = 1;
    Loaded got = load_layout(make_image_layout(o, {{0xFF, 0xFF, 0x00, 0x3F}}));
    std::vector<uint16_t> expected(20, 0);
    std::fill(expected.begin(), expected.begin() + 10, 1);
    EXPECT_EQ(got.samples, expected);
}

TEST(ImageLoader, Descriptions)
{
    auto with_entry = [](std::optional<TiffEntry> e) {
        TiffLayout layout = small_image();
        if (e)
            layout.entries.push_back(*e);
        return load_layout(layout).description;
    };
    EXPECT_EQ(with_entry({}), std::nullopt);
    EXPECT_EQ(with_entry(ascii_entry(270, std::string("ab\0", 3))), "ab");
    EXPECT_EQ(with_entry(ascii_entry(270, std::string("abc\0", 4))), "abc");
    EXPECT_EQ(with_entry(ascii_entry(270, std::string("frame 17 of 2000\0", 17))), "frame 17 of 2000");
    EXPECT_EQ(with_entry(ascii_entry(270, "")), "") << "count 0: an empty text";
    EXPECT_EQ(with_entry(TiffEntry{270, 7, {'a', 'b', 0}, {}, {}}), std::nullopt);
}

TEST(ImageLoader, AcceptedVariants)
{
    // SamplesPerPixel 0, PlanarConfiguration 2 with one sample, RowsPerStrip
    // beyond the height, a second IFD that is never read.
    EXPECT_EQ(load_layout(small_image([](TiffLayout &l) { set_short(l, 277, 0); })).width, 4);
    EXPECT_EQ(load_layout(small_image([](TiffLayout &l) { set_short(l, 284, 2); })).width, 4);
    ImageOptions o;
    o.width = 2;
    o.height = 2;
    o.rows_per_strip = 0xFFFFFFFF;
    EXPECT_EQ(load_layout(make_image_layout(o, {{1, 2, 3, 4}})).samples, (std::vector<uint16_t>{1, 2, 3, 4}));
    // A BitsPerSample of count 2 reads as missing: 1 bit per sample.
    o.rows_per_strip = 0;
    TiffLayout layout = make_image_layout(o, {{0x80, 0x40}});
    entry(layout, 258)->values = {8, 8};
    Loaded got = load_layout(layout);
    EXPECT_EQ(got.bits, 1);
    EXPECT_EQ(got.samples, (std::vector<uint16_t>{1, 0, 0, 1}));
    // Of two equal tags the first counts.
    EXPECT_EQ(load_layout(small_image([](TiffLayout &l) { l.entries.push_back(short_entry(258, {17})); })).bits, 8);
    // Two strips whose SHORT tables stand in their value fields.
    o.rows_per_strip = 1;
    layout = make_image_layout(o, {});
    layout.add_strip_tags = false;
    layout.strips = {{5, 6}, {7, 8}};
    layout.entries.push_back(short_entry(273, {8, 10}));
    layout.entries.push_back(short_entry(279, {2, 2}));
    EXPECT_EQ(load_layout(layout).samples, (std::vector<uint16_t>{5, 6, 7, 8}));
}

// A BigTIFF whose second directory lies beyond 4 GiB, in a sparse file: a
// reduced-resolution image there is no page, a page there is read.
TEST(ImageLoader, DirectoriesBeyondFourGiB)
{
    // Little-endian BigTIFF directory of a width x 1 8-bit image whose strip
    // follows it; every entry but the strip table's is a LONG.
    auto directory = [](uint64_t at, uint32_t width, uint32_t subfile_type, uint64_t next) {
        std::vector<std::pair<uint16_t, uint64_t>> entries = {{254, subfile_type}, {256, width}, {257, 1}, {258, 8},
                                                              {262, 1}, {273, at + 8 + 20 * 7 + 8}, {279, width}};
        Bytes b;
        auto put = [&b](uint64_t v, int n) {
            for (int i = 0; i < n; ++i)
                b.push_back(static_cast<uint8_t>(v >> (8 * i)));
        };
        put(entries.size(), 8);
        for (auto [tag, value] : entries) {
            put(tag, 2);
            put(tag == 273 || tag == 279 ? 16 : 4, 2);
            put(1, 8);
            put(value, 8);
        }
        put(next, 8);
        for (uint32_t x = 0; x < width; ++x)
            b.push_back(static_cast<uint8_t>(10 * x + width));
        return b;
    };
    const uint64_t far = (uint64_t{1} << 32) + 64;
    for (uint32_t subfile_type : {1u, 0u}) {
        std::string path = scratch_path("sparse.tif");
        Bytes head = {'I', 'I', 43, 0, 8, 0, 0, 0, 16, 0, 0, 0, 0, 0, 0, 0};
        Bytes first = directory(16, 2, 0, far), second = directory(far, 3, subfile_type, 0);
        head.insert(head.end(), first.begin(), first.end());
        std::FILE *f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fwrite(head.data(), 1, head.size(), f);
        ASSERT_EQ(std::fseek(f, static_cast<long>(far), SEEK_SET), 0);
        std::fwrite(second.data(), 1, second.size(), f);
        std::fclose(f);
        std::vector<Loaded> pages = load_pages(path);
        ASSERT_EQ(pages.size(), subfile_type == 1 ? 1u : 2u);
        EXPECT_EQ(pages[0].samples, (std::vector<uint16_t>{2, 12}));
        if (subfile_type == 0) {
            EXPECT_EQ(pages[1].samples, (std::vector<uint16_t>{3, 13, 23}));
        }
        std::remove(path.c_str());
    }
}

TEST(ImageLoaderRefusals, HeaderAndFile)
{
    Loaded ignored;
    EXPECT_EQ(try_load("/nonexistent/x.tif", &ignored), "/nonexistent/x.tif : file not found.");

    Bytes good = build_tiff(small_image());
    expect_refusal({}, "bad magic number.");
    Bytes im = good;
    im[0] = 'I';
    expect_refusal(im, "bad magic number.");
    Bytes xx = good;
    xx[0] = xx[1] = 'X';
    expect_refusal(xx, "bad magic number.");
    Bytes not42 = good;
    not42[3] = 43;
    expect_refusal(not42, "bad magic number.");
    Bytes little = build_tiff([] {
        TiffLayout l = small_image();
        l.little_endian = true;
        return l;
    }());
    little[2] = 0;
    little[3] = 42;  // 42 in the wrong byte order
    expect_refusal(little, "bad magic number.");

    // The directory, wholly or partly past the end of the file, before any
    // tag is looked up (its next-directory offset included, though it is
    // never followed).
    TiffLayout beyond = small_image();
    beyond.ifd_offset = 1000000;
    expect_refusal(build_tiff(beyond), "unexpected end of file.");
    Bytes cut = build_tiff(small_image([](TiffLayout &l) { l.entries.front().values = {0}; }));
    cut.pop_back();
    expect_refusal(cut, "unexpected end of file.");

    // Values outside their entries that the reader uses: a description, or
    // a strip table (checked whole, right after its count).
    TiffLayout description = small_image();
    description.entries.push_back(TiffEntry{270, 2, {}, 40, 0});
    uint32_t size = static_cast<uint32_t>(build_tiff(description).size());
    description.entries.back().field = size - 39;
    expect_refusal(build_tiff(description), "unexpected end of file.");
    description.entries.back().field = size - 40;
    EXPECT_EQ(load_layout(description).width, 4) << "a description that ends with the file";
    for (uint16_t tag : {273, 279}) {
        TiffLayout table = small_image([](TiffLayout &l) {
            l.add_strip_tags = false;
            l.entries.push_back(long_entry(273, {8, 12, 16}));
            l.entries.push_back(long_entry(279, {4, 4, 4}));
        });
        entry(table, tag)->field = static_cast<uint32_t>(build_tiff(table).size()) - 11;
        expect_refusal(build_tiff(table), "unexpected end of file.");
    }
}

TEST(ImageLoaderRefusals, TagsInTheirOrder)
{
    struct Case {
        const char *what;
        std::function<void(TiffLayout &)> change;
        const char *message;
    };
    const std::vector<Case> cases = {
        {"width 0", [](TiffLayout &l) { entry(l, 256)->values = {0}; }, "primary image attribute not found."},
        {"no height", [](TiffLayout &l) { drop(l, 257); }, "primary image attribute not found."},
        {"no photometric", [](TiffLayout &l) { drop(l, 262); }, "primary image attribute not found."},
        {"photometric ASCII", [](TiffLayout &l) { entry(l, 262)->type = 2; }, "primary image attribute not found."},
        {"photometric count 2", [](TiffLayout &l) { entry(l, 262)->values = {1, 1}; }, "primary image attribute not found."},
        {"photometric 65535", [](TiffLayout &l) { entry(l, 262)->values = {65535}; }, "primary image attribute not found."},
        {"missing attribute before size", [](TiffLayout &l) { drop(l, 262); entry(l, 256)->values = {0x80000000}; }, "primary image attribute not found."},
        {"width bit 31", [](TiffLayout &l) { entry(l, 256)->values = {0x80000000}; }, "too large image size."},
        {"height bit 31", [](TiffLayout &l) { entry(l, 257)->values = {0xFFFFFFFF}; }, "too large image size."},
        {"size before photometric", [](TiffLayout &l) { entry(l, 257)->values = {0xFFFFFFFF}; entry(l, 262)->values = {2}; }, "too large image size."},
        {"photometric 2", [](TiffLayout &l) { entry(l, 262)->values = {2}; }, "bad photometric interpretation."},
        // A LONG beyond 16 bits is not cut to them.
        {"photometric LONG 65537", [](TiffLayout &l) { *entry(l, 262) = long_entry(262, {65537}); }, "bad photometric interpretation."},
        {"compression LONG 65541", [](TiffLayout &l) { set_short(l, 259, 0); *entry(l, 259) = long_entry(259, {65541}); }, "unknown image compression method."},
        {"photometric before samples", [](TiffLayout &l) { entry(l, 262)->values = {5}; set_short(l, 277, 3); }, "bad photometric interpretation."},
        {"3 samples", [](TiffLayout &l) { set_short(l, 277, 3); }, "too many samples per pixel."},
        {"samples before bits", [](TiffLayout &l) { set_short(l, 277, 2); set_short(l, 258, 32); }, "too many samples per pixel."},
        {"17 bits", [](TiffLayout &l) { set_short(l, 258, 17); }, "too many bits per sample."},
        {"bits before planar", [](TiffLayout &l) { set_short(l, 258, 17); set_short(l, 284, 3); }, "too many bits per sample."},
        {"unsigned 24 bits", [](TiffLayout &l) { set_short(l, 258, 24); set_short(l, 339, 1); }, "too many bits per sample."},
        {"signed 64 bits", [](TiffLayout &l) { set_short(l, 258, 64); set_short(l, 339, 2); }, "too many bits per sample."},
        {"signed 12 bits", [](TiffLayout &l) { set_short(l, 258, 12); set_short(l, 339, 2); }, "bad sample format."},
        {"float 24 bits", [](TiffLayout &l) { set_short(l, 258, 24); set_short(l, 339, 3); }, "bad sample format."},
        {"float 8 bits", [](TiffLayout &l) { set_short(l, 339, 3); }, "bad sample format."},
        {"complex", [](TiffLayout &l) { set_short(l, 258, 32); set_short(l, 339, 6); }, "bad sample format."},
        {"sample format 0", [](TiffLayout &l) { set_short(l, 339, 0); }, "bad sample format."},
        {"sample format before planar", [](TiffLayout &l) { set_short(l, 339, 7); set_short(l, 284, 3); }, "bad sample format."},
        {"predictor 3 on signed samples", [](TiffLayout &l) { set_short(l, 339, 2); set_short(l, 317, 3); }, "unknown differencing predictor."},
        {"planar 3", [](TiffLayout &l) { set_short(l, 284, 3); }, "bad planar configuration."},
        {"planar 0", [](TiffLayout &l) { set_short(l, 284, 0); }, "bad planar configuration."},
        {"fill order 3", [](TiffLayout &l) { set_short(l, 266, 3); }, "bad fill order."},
        {"fill order 0", [](TiffLayout &l) { set_short(l, 266, 0); }, "bad fill order."},
        {"compression 7", [](TiffLayout &l) { set_short(l, 259, 7); }, "unknown image compression method."},
        {"compression before predictor", [](TiffLayout &l) { set_short(l, 259, 2); set_short(l, 317, 3); }, "unknown image compression method."},
        {"predictor 3", [](TiffLayout &l) { set_short(l, 317, 3); }, "unknown differencing predictor."},
        {"rows per strip 0", [](TiffLayout &l) { drop(l, 278); l.entries.push_back(long_entry(278, {0})); }, "bad rows per strip."},
        {"no strip offsets", [](TiffLayout &l) { l.add_strip_tags = false; }, "strip offset not found."},
        {"ASCII strip offsets", [](TiffLayout &l) {
             l.add_strip_tags = false;
             l.entries.push_back(TiffEntry{273, 2, {8, 12, 16}, {}, {}});
         }, "strip offset not found."},
        {"strip offsets count", [](TiffLayout &l) {
             l.add_strip_tags = false;
             l.entries.push_back(long_entry(273, {8, 12}));
             l.entries.push_back(long_entry(279, {4, 4}));
         }, "bad number of strip offset."},
        {"strip offsets past the end before no byte counts", [](TiffLayout &l) {
             l.add_strip_tags = false;
             l.entries.push_back(TiffEntry{273, 4, {}, 3, 0x10000});
         }, "unexpected end of file."},
        {"no strip byte counts", [](TiffLayout &l) {
             l.add_strip_tags = false;
             l.entries.push_back(long_entry(273, {8, 12, 16}));
         }, "strip bytes count not found."},
        {"strip byte counts count", [](TiffLayout &l) {
             l.add_strip_tags = false;
             l.entries.push_back(short_entry(273, {8, 12, 16}));
             l.entries.push_back(short_entry(279, {4, 4, 4, 4}));
         }, "bad number of strip bytes count."},
        {"strip one byte too long", [](TiffLayout &l) { l.strips[1].push_back(0); }, "too many codes."},
        {"strip one byte too short", [](TiffLayout &l) { l.strips[2].pop_back(); }, "too few codes."},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        expect_refusal(build_tiff(small_image(c.change)), c.message);
    }
}
