// Byte-order readers and IFD lookups, on files built byte by byte.
#include <gtest/gtest.h>

#include "support/tiff_builder.h"
#include "tiff_in/reader.h"

namespace {

void open_reader(const Bytes &bytes, bool little_endian)
{
    std::string path = scratch_path("dir.tif");
    write_file(path, bytes);
    if (reader.stream != nullptr)
        std::fclose(reader.stream);
    reader = ReaderState{};
    reader.path = "dir.tif";
    reader.stream = std::fopen(path.c_str(), "rb");
    ASSERT_NE(reader.stream, nullptr);
    reader.read_u16 = little_endian ? read_u16_le : read_u16_be;
    reader.read_u32 = little_endian ? read_u32_le : read_u32_be;
}

// Opens a file holding `entries` and returns its IFD offset.
uint32_t open_directory(const std::vector<TiffEntry> &entries, bool little_endian)
{
    TiffLayout layout;
    layout.little_endian = little_endian;
    layout.entries = entries;
    layout.add_strip_tags = false;
    Bytes bytes = build_tiff(layout);
    open_reader(bytes, little_endian);
    std::fseek(reader.stream, 4, SEEK_SET);
    return reader.read_u32();
}

}  // namespace

TEST(ByteOrderReaders, CombineBytesInTheFilesOrder)
{
    open_reader({0x34, 0x12, 0x78, 0x56, 0x34, 0x12}, true);
    EXPECT_EQ(read_u16_le(), 0x1234u);
    EXPECT_EQ(read_u32_le(), 0x12345678u);
    open_reader({0x12, 0x34, 0x12, 0x34, 0x56, 0x78}, false);
    EXPECT_EQ(read_u16_be(), 0x1234u);
    EXPECT_EQ(read_u32_be(), 0x12345678u);
}

TEST(ByteOrderReaders, BytesPastTheEndReadAsAllOnes)
{
    open_reader({0x34}, true);
    EXPECT_EQ(read_u16_le(), 0xFF34u);
    EXPECT_EQ(read_u16_le(), 0xFFFFu);
    EXPECT_EQ(read_u32_le(), 0xFFFFFFFFu);
    open_reader({0x34}, false);
    EXPECT_EQ(read_u16_be(), 0xFFFFu);
    open_reader({0x12, 0x34, 0x56}, false);
    EXPECT_EQ(read_u32_be(), 0x1234FFFFu);
}

TEST(DirectoryLookups, SingleValuesInBothByteOrders)
{
    for (bool le : {false, true}) {
        SCOPED_TRACE(le ? "little-endian" : "big-endian");
        uint32_t ifd = open_directory({short_entry(258, {12}), long_entry(256, {70000}),
                                       short_entry(258, {5}), short_entry(300, {1, 2}),
                                       long_entry(301, {1, 2}), ascii_entry(270, "ab\0")},
                                      le);
        EXPECT_EQ(find_tag(ifd, 258), 3);
        EXPECT_EQ(find_tag(ifd, 999), 0);
        EXPECT_EQ(get_tag_short(ifd, 258, 1), 12) << "the first of two equal tags wins";
        EXPECT_EQ(get_tag_integer(ifd, 258, 1), 12u);
        EXPECT_EQ(get_tag_integer(ifd, 256, 0), 70000u);
        EXPECT_EQ(get_tag_short(ifd, 256, 7), 7) << "a LONG is not a SHORT";
        EXPECT_EQ(get_tag_integer(ifd, 300, 9), 9u) << "count 2 is not a single value";
        EXPECT_EQ(get_tag_integer(ifd, 301, 9), 9u);
        EXPECT_EQ(get_tag_integer(ifd, 270, 9), 9u) << "ASCII is no integer";
        EXPECT_EQ(get_tag_short(ifd, 270, 9), 9);
        EXPECT_EQ(get_tag_integer(ifd, 999, 4), 4u);
    }
}

TEST(DirectoryLookups, ArraysInlineAndOutOfLine)
{
    for (bool le : {false, true}) {
        SCOPED_TRACE(le ? "little-endian" : "big-endian");
        uint32_t ifd = open_directory({short_entry(300, {7, 8}), short_entry(301, {1, 2, 3}),
                                       long_entry(302, {70000}), long_entry(303, {5, 6}),
                                       ascii_entry(270, "abc\0"), short_entry(304, {})},
                                      le);
        uint32_t v[3] = {0, 0, 0};
        EXPECT_EQ(get_tag_array(ifd, 300, 2, v), 0);
        EXPECT_EQ(v[0], 7u);
        EXPECT_EQ(v[1], 8u);
        EXPECT_EQ(get_tag_array(ifd, 301, 3, v), 0);
        EXPECT_EQ(v[2], 3u);
        EXPECT_EQ(get_tag_array(ifd, 302, 1, v), 0);
        EXPECT_EQ(v[0], 70000u);
        EXPECT_EQ(get_tag_array(ifd, 303, 2, v), 0);
        EXPECT_EQ(v[1], 6u);
        EXPECT_EQ(get_tag_array(ifd, 304, 0, v), 0);

        uint32_t untouched[2] = {11, 22};
        EXPECT_EQ(get_tag_array(ifd, 303, 1, untouched), 2);
        EXPECT_EQ(get_tag_array(ifd, 270, 4, untouched), 1);
        EXPECT_EQ(get_tag_array(ifd, 999, 1, untouched), 1);
        EXPECT_EQ(untouched[0], 11u);
        EXPECT_EQ(untouched[1], 22u);
    }
}

TEST(DirectoryLookups, OutOfLineArrayBeyond64KiB)
{
    // Pad the file so that the values stand past offset 65536.
    for (bool le : {false, true}) {
        TiffLayout layout;
        layout.little_endian = le;
        layout.add_strip_tags = false;
        layout.strips = {Bytes(70000, 0)};
        layout.entries = {short_entry(300, {1, 2, 65535})};
        open_reader(build_tiff(layout), le);
        std::fseek(reader.stream, 4, SEEK_SET);
        uint32_t ifd = reader.read_u32();
        uint32_t v[3];
        ASSERT_EQ(get_tag_array(ifd, 300, 3, v), 0);
        EXPECT_EQ(v[0], 1u);
        EXPECT_EQ(v[2], 65535u);
    }
}

TEST(DirectoryLookups, EmptyAndMissingDirectories)
{
    uint32_t ifd = open_directory({}, false);
    uint32_t v[1];
    EXPECT_EQ(find_tag(ifd, 256), 0);
    EXPECT_EQ(get_tag_integer(ifd, 256, 3), 3u);
    EXPECT_EQ(get_tag_array(ifd, 273, 1, v), 1);
    // A directory past the end reads as 65535 entries of tag 65535.
    EXPECT_EQ(find_tag(100000, 256), 0);
    EXPECT_EQ(get_tag_short(100000, 262, 65535), 65535);
}

TEST(DirectoryLookups, ArrayRunningPastTheEndFillsAllOnes)
{
    TiffLayout layout;
    layout.add_strip_tags = false;
    layout.entries = {TiffEntry{273, 4, {}, 3, 60}, TiffEntry{279, 3, {}, 3, 60}};
    Bytes bytes = build_tiff(layout);
    bytes.resize(64);
    bytes[60] = 0x00;
    bytes[61] = 0x01;
    bytes[62] = 0x02;
    bytes[63] = 0x03;
    open_reader(bytes, false);
    uint32_t v[3];
    ASSERT_EQ(get_tag_array(8, 273, 3, v), 0);
    EXPECT_EQ(v[0], 0x00010203u);
    EXPECT_EQ(v[1], 0xFFFFFFFFu);
    EXPECT_EQ(v[2], 0xFFFFFFFFu);
    ASSERT_EQ(get_tag_array(8, 279, 3, v), 0);
    EXPECT_EQ(v[0], 0x0001u);
    EXPECT_EQ(v[1], 0x0203u);
    EXPECT_EQ(v[2], 0xFFFFu);
}
