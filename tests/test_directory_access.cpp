// Byte-order readers, IFD lookups and strip tables read a window at a time,
// on files built byte by byte.
#include <gtest/gtest.h>

#include "support/tiff_builder.h"
#include "tiff_in/reader.h"

namespace {

// An input positioned just after the header, with the readers of its order.
struct OpenFile {
    TiffInput in;
    OpenFile(const Bytes &bytes, bool little_endian)
    {
        std::string path = scratch_path("dir.tif");
        write_file(path, bytes);
        in.stream = std::fopen(path.c_str(), "rb");
        in.read_u16 = little_endian ? read_u16_le : read_u16_be;
        in.read_u32 = little_endian ? read_u32_le : read_u32_be;
        std::fseek(in.stream, 4, SEEK_SET);
        in.ifd = in.read_u32(in.stream);
    }
    ~OpenFile() { std::fclose(in.stream); }
};

Bytes directory_file(const std::vector<TiffEntry> &entries, bool little_endian)
{
    TiffLayout layout;
    layout.little_endian = little_endian;
    layout.entries = entries;
    layout.add_strip_tags = false;
    return build_tiff(layout);
}

// Entries 0 .. count - 1 of a located table, read in order.
std::vector<uint32_t> table_values(TiffInput *in, uint16_t tag, uint32_t count, uint32_t window)
{
    std::vector<uint32_t> storage(window);
    StripTable table;
    table.window = storage.data();
    table.capacity = window;
    in->strip_count = count;
    EXPECT_EQ(find_tag_array(in, tag, count, &table), 0);
    std::vector<uint32_t> values;
    for (uint32_t i = 0; i < count; ++i)
        values.push_back(strip_table_entry(in, &table, i));
    return values;
}

}  // namespace

TEST(ByteOrderReaders, CombineBytesInTheFilesOrderAndReadAllOnesPastTheEnd)
{
    OpenFile le({'I', 'I', 0, 0, 0x34, 0x12, 0x78, 0x56, 0x34, 0x12, 0x56}, true);
    std::fseek(le.in.stream, 4, SEEK_SET);
    EXPECT_EQ(read_u16_le(le.in.stream), 0x1234u);
    EXPECT_EQ(read_u32_le(le.in.stream), 0x12345678u);
    EXPECT_EQ(read_u16_le(le.in.stream), 0xFF56u);
    EXPECT_EQ(read_u32_le(le.in.stream), 0xFFFFFFFFu);
    OpenFile be({'M', 'M', 0, 0, 0x12, 0x34, 0x12, 0x34, 0x56}, false);
    std::fseek(be.in.stream, 4, SEEK_SET);
    EXPECT_EQ(read_u16_be(be.in.stream), 0x1234u);
    EXPECT_EQ(read_u32_be(be.in.stream), 0x1234FFFFu) << "a 16-bit half cut short is all ones";
}

TEST(DirectoryLookups, SingleValuesInBothByteOrders)
{
    for (bool le : {false, true}) {
        SCOPED_TRACE(le ? "little-endian" : "big-endian");
        OpenFile f(directory_file({short_entry(258, {12}), long_entry(256, {70000}), short_entry(258, {5}),
                                   short_entry(300, {1, 2}), long_entry(301, {1, 2}), ascii_entry(270, "ab\0")},
                                  le),
                   le);
        TiffInput *in = &f.in;
        EXPECT_EQ(find_tag(in, 258), 3);
        EXPECT_EQ(find_tag(in, 999), 0);
        EXPECT_EQ(get_tag_short(in, 258, 1), 12) << "the first of two equal tags wins";
        EXPECT_EQ(get_tag_integer(in, 256, 0), 70000u);
        EXPECT_EQ(get_tag_short(in, 256, 7), 7) << "a LONG is not a SHORT";
        EXPECT_EQ(get_tag_integer(in, 300, 9), 9u) << "count 2 is not a single value";
        EXPECT_EQ(get_tag_integer(in, 301, 9), 9u);
        EXPECT_EQ(get_tag_integer(in, 270, 9), 9u) << "ASCII is no integer";
        // A directory past the end reads as 65535 entries of tag 65535.
        in->ifd = 100000;
        EXPECT_EQ(get_tag_short(in, 262, 65535), 65535);
    }
}

TEST(StripTables, InlineOutOfLineAndLongerThanTheWindow)
{
    std::vector<uint32_t> many(5000);
    for (uint32_t i = 0; i < many.size(); ++i)
        many[i] = i * 7 + 1;
    for (bool le : {false, true}) {
        SCOPED_TRACE(le ? "little-endian" : "big-endian");
        OpenFile f(directory_file({short_entry(300, {7, 8}), long_entry(302, {70000}), short_entry(301, {1, 2, 3}),
                                   long_entry(303, many), ascii_entry(270, "abc\0")},
                                  le),
                   le);
        TiffInput *in = &f.in;
        EXPECT_EQ(table_values(in, 300, 2, 1), (std::vector<uint32_t>{7, 8}));
        EXPECT_EQ(table_values(in, 302, 1, 1), (std::vector<uint32_t>{70000}));
        EXPECT_EQ(table_values(in, 301, 3, 2), (std::vector<uint32_t>{1, 2, 3}));
        EXPECT_EQ(table_values(in, 303, 5000, 1024), many);
        StripTable table;
        EXPECT_EQ(find_tag_array(in, 303, 4999, &table), 2);
        EXPECT_EQ(find_tag_array(in, 270, 4, &table), 1);
        EXPECT_EQ(find_tag_array(in, 999, 1, &table), 1);
    }
}

TEST(StripTables, ValuesPastTheEndReadAsAllOnes)
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
    OpenFile f(bytes, false);
    EXPECT_EQ(table_values(&f.in, 273, 3, 2), (std::vector<uint32_t>{0x00010203, 0xFFFFFFFF, 0xFFFFFFFF}));
    EXPECT_EQ(table_values(&f.in, 279, 3, 2), (std::vector<uint32_t>{0x0001, 0x0203, 0xFFFF}));
}
