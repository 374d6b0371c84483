// The writer's file layout byte by byte, its strip geometry, bit packing,
// BigTIFF outputs, and the failures it finds before anything is stored.
// Descriptions and large sizes are read back by libtiff's tools; how the
// output is replaced is tested end to end, with the program.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "support/load_helpers.h"
#include "support/tiff_builder.h"
#include "tiff_in/tiff_in.h"
#include "tiff_out/tiff_out.h"

namespace {

// Stores width x height samples, taken in turn from `samples`, and returns
// the file.
Bytes store(uint32_t width, uint32_t height, uint32_t bits, const std::vector<uint16_t> &samples,
            const char *description = nullptr, uint32_t pages = 1)
{
    std::string path = scratch_path("out.tif");
    TiffStore s;
    EXPECT_EQ(begin_store(&s, path.c_str(), width, height, bits, description, pages), MSG_NONE);
    std::vector<uint16_t> row(width);
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x)
            row[x] = samples[(size_t{y} * width + x) % samples.size()];
        EXPECT_EQ(store_row(&s, row.data()), MSG_NONE);
    }
    EXPECT_EQ(finish_store(&s), MSG_NONE);
    return read_file(path);
}

uint32_t be16(const Bytes &b, size_t at) { return (b.at(at) << 8) | b.at(at + 1); }
uint32_t be32(const Bytes &b, size_t at) { return (be16(b, at) << 16) | be16(b, at + 2); }

struct Entry {
    uint32_t type, count, field;
};

// The directory of a big-endian file, read independently of the loader.
std::map<uint32_t, Entry> directory(const Bytes &file)
{
    std::map<uint32_t, Entry> entries;
    uint32_t ifd = be32(file, 4);
    uint32_t n = be16(file, ifd);
    for (uint32_t i = 0; i < n; ++i) {
        size_t at = ifd + 2 + 12 * i;
        entries[be16(file, at)] = Entry{be16(file, at + 2), be32(file, at + 4), be32(file, at + 8)};
    }
    EXPECT_EQ(file.size(), ifd + 2 + 12 * n + 4) << "the directory ends the file";
    EXPECT_EQ(be32(file, ifd + 2 + 12 * n), 0u);
    return entries;
}

}  // namespace

TEST(TiffWriter, TwoSamplesByteForByte)
{
    Bytes expected = {0x4D, 0x4D, 0x00, 0x2A, 0x00, 0x00, 0x00, 0x0C, 0x12, 0x34, 0xAB, 0xCD, 0x00, 0x0B};
    auto entry = [&](uint16_t tag, uint16_t type, uint32_t value) {
        Bytes e = {uint8_t(tag >> 8), uint8_t(tag), 0, uint8_t(type), 0, 0, 0, 1};
        if (type == 3)
            e.insert(e.end(), {uint8_t(value >> 8), uint8_t(value), 0, 0});
        else
            e.insert(e.end(), {uint8_t(value >> 24), uint8_t(value >> 16), uint8_t(value >> 8), uint8_t(value)});
        expected.insert(expected.end(), e.begin(), e.end());
    };
    entry(256, 3, 2);
    entry(257, 3, 1);
    entry(258, 3, 16);
    entry(259, 3, 1);
    entry(262, 3, 1);
    entry(266, 3, 1);
    entry(273, 4, 8);
    entry(277, 3, 1);
    entry(278, 3, 2048);
    entry(279, 4, 4);
    entry(284, 3, 1);
    expected.insert(expected.end(), {0, 0, 0, 0});
    ASSERT_EQ(expected.size(), 150u);
    EXPECT_EQ(store(2, 1, 16, {0x1234, 0xABCD}), expected);
}

TEST(TiffWriter, StripGeometry)
{
    struct Case {
        int32_t width, height, bits;
        uint32_t rows_per_strip, strip_count, strip_bytes;
    };
    for (const Case &c : std::vector<Case>{{4096, 2, 16, 1, 2, 8192},
                                           {4095, 2, 16, 1, 2, 8190},
                                           {2048, 3, 16, 2, 2, 8192},
                                           {5000, 2, 16, 1, 2, 10000},
                                           {100, 10, 16, 40, 1, 2000},
                                           {3, 5461, 12, 1638, 4, 8190}}) {
        SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << "x" << c.bits);
        Bytes file = store(c.width, c.height, c.bits, {1, 2, 3});
        auto dir = directory(file);
        EXPECT_EQ(dir[278].field >> 16, c.rows_per_strip);
        EXPECT_EQ(dir[273].count, c.strip_count);
        EXPECT_EQ(dir[279].count, c.strip_count);
        uint32_t first_count = c.strip_count == 1 ? dir[279].field : be32(file, dir[279].field);
        EXPECT_EQ(first_count, c.strip_bytes);
    }
}

TEST(TiffWriter, SampleEncodingAtOtherDepths)
{
    Bytes file = store(10, 1, 1, {1, 0, 1, 1, 0, 0, 0, 0, 1, 3});
    EXPECT_EQ(file.at(8), 0xB0);
    EXPECT_EQ(file.at(9), 0xC0);
    EXPECT_EQ(directory(file)[262].field >> 16, 0u) << "one bit: zero is white";

    file = store(3, 1, 12, {0xABC, 0x123, 0xFFF});
    EXPECT_EQ(Bytes(file.begin() + 8, file.begin() + 13), (Bytes{0xAB, 0xC1, 0x23, 0xFF, 0xF0}));
    EXPECT_EQ(directory(file)[262].field >> 16, 1u);

    file = store(2, 1, 8, {0x0102, 0x00FF});
    EXPECT_EQ(Bytes(file.begin() + 8, file.begin() + 10), (Bytes{0x02, 0xFF}));
}

// Pages that a classic file cannot hold make a BigTIFF: with one strip, two
// (whose byte counts share the 8-byte field) and more; descriptions in the
// value field and beyond it. The reader, checked against libtiff's on
// BigTIFF files of other writers, reads each back.
TEST(TiffWriter, BigTiffWhereAClassicFileCannotHoldThePages)
{
    for (auto [width, height, text] : std::vector<std::tuple<uint32_t, uint32_t, const char *>>{
             {3, 2, "1234567"}, {4096, 2, "12345678"}, {4096, 5, nullptr}, {5000, 3, "a longer text"}}) {
        SCOPED_TRACE(testing::Message() << width << " x " << height);
        std::vector<uint16_t> samples;
        for (uint32_t i = 0; i < 7919; ++i)
            samples.push_back(static_cast<uint16_t>(i * 40503u));
        Bytes file = store(width, height, 16, samples, text, 0xFFFFFFFF);
        EXPECT_EQ(Bytes(file.begin(), file.begin() + 8), (Bytes{'M', 'M', 0, 43, 0, 8, 0, 0}));
        std::string path = scratch_path("big.tif");
        write_file(path, file);
        Loaded got = load_file(path);
        for (uint32_t i = 0; i < width * height; ++i)
            ASSERT_EQ(got.samples.at(i), samples[i % samples.size()]) << "sample " << i;
        EXPECT_EQ(got.description, text != nullptr ? std::optional<std::string>(text) : std::nullopt);
    }
    EXPECT_EQ(store(3, 2, 16, {1}, nullptr, 2).at(3), 42) << "two small pages fit a classic file";
}

TEST(TiffWriterFailures, RefusedBeforeAnythingIsMade)
{
    std::string path = scratch_path("existing.tif");
    write_file(path, {'k', 'e', 'e', 'p'});
    for (auto [w, h, b] : std::vector<std::tuple<uint32_t, uint32_t, uint32_t>>{
             {0, 1, 16}, {1, 0, 16}, {1, 1, 0}, {1, 1, 17}}) {
        SCOPED_TRACE(testing::Message() << w << "x" << h << "x" << b);
        TiffStore s;
        EXPECT_EQ(begin_store(&s, path.c_str(), w, h, b, nullptr, 1), MSG_NOT_STORED);
        EXPECT_EQ(read_file(path), (Bytes{'k', 'e', 'e', 'p'}));
    }
    TiffStore s;
    EXPECT_EQ(begin_store(&s, "/nonexistent/dir/out.tif", 1, 1, 16, nullptr, 1), MSG_NOT_STORED);
}

TEST(TiffWriterFailures, AnEndedStoreLeavesTheOutputAsItWas)
{
    std::string dir = scratch_path("store");
    std::filesystem::create_directory(dir);
    std::string path = dir + "/kept.tif";
    write_file(path, {'o', 'l', 'd'});
    std::vector<uint16_t> row(64, 9);
    TiffStore s;
    ASSERT_EQ(begin_store(&s, path.c_str(), 64, 4, 16, nullptr, 1), MSG_NONE);
    store_row(&s, row.data());
    abandon_store(&s);
    TiffStore short_of_rows;
    ASSERT_EQ(begin_store(&short_of_rows, path.c_str(), 64, 4, 16, nullptr, 1), MSG_NONE);
    store_row(&short_of_rows, row.data());
    EXPECT_EQ(finish_store(&short_of_rows), MSG_NOT_STORED);
    EXPECT_EQ(read_file(path), (Bytes{'o', 'l', 'd'}));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), std::filesystem::directory_iterator{}), 1)
        << "no temporary file is left";
}
