// LZW strips: the code stream byte by byte, the width boundaries with the end
// code at either width, full tables, padding, refusals in their order, and
// random images of every kind encoded by an independent encoder.
#include <gtest/gtest.h>

#include <random>

#include "support/encoders.h"
#include "support/load_helpers.h"
#include "tiff_in/tiff_in.h"

namespace {

constexpr uint32_t COMPRESSION = 5;

// k single-byte data codes after the opening clear code, at the widths
// writers use, then `tail` (end or clear codes at chosen widths).
Bytes single_byte_codes(unsigned k, const std::vector<LzwCode> &tail, Bytes *decoded)
{
    std::vector<LzwCode> codes = {{256, 9}};
    decoded->clear();
    for (unsigned i = 1; i <= k; ++i) {
        uint8_t value = static_cast<uint8_t>(i * 37 + 11);
        codes.push_back({value, lzw_data_code_width(i)});
        decoded->push_back(value);
    }
    codes.insert(codes.end(), tail.begin(), tail.end());
    return pack_codes(codes);
}

Bytes random_bytes(size_t n, uint32_t seed, unsigned alphabet = 256)
{
    std::mt19937 rng(seed);
    Bytes b(n);
    for (uint8_t &v : b)
        v = static_cast<uint8_t>(rng() % alphabet);
    return b;
}

}  // namespace

TEST(LzwDecoder, CodeStreamsThatDecode)
{
    struct Case {
        Bytes strip, decoded;
    };
    for (const Case &c : std::vector<Case>{
             {{0x80, 0x10, 0x60, 0x20}, {0x41}},
             {{0x80, 0x10, 0x60, 0x3F}, {0x41}},  // bits after the end code are not examined
             {{0x80, 0x10, 0x60, 0x44, 0x18, 0x08}, {0x41, 0x41, 0x41, 0x41}},
             {{0x80, 0x10, 0x48, 0x50, 0x28, 0x24, 0x04}, {0x41, 0x42, 0x41, 0x42, 0x41, 0x42, 0x41}},
             {{0x80, 0x10, 0x60, 0x10, 0x10}, {0x41}},  // a clear code before the end code
             {{0x80, 0x40, 0x40}, {}},                  // no byte asked for
             {{0x80, 0x10, 0x60, 0x20, 0x00}, {0x41}},  // zero padding after the end code
             {{0x80, 0x10, 0x60, 0x20, 0x00, 0x00, 0x00}, {0x41}},
             // One decoded byte beyond the rows: the last string's, or a literal's.
             {{0x80, 0x10, 0x60, 0x50, 0x10}, {0x41, 0x41}},
             {{0x80, 0x10, 0x60, 0x50, 0x10, 0x00}, {0x41, 0x41}},
             {{0x80, 0x10, 0x48, 0x50, 0x10}, {0x41}},
         }) {
        if (c.decoded.empty()) {
            // A zero-width image cannot be made: ask for no byte with 0 bits per sample.
            ImageOptions o;
            o.width = 5;
            o.bits = 0;
            o.compression = 5;
            EXPECT_EQ(load_bytes(build_tiff(make_image_layout(o, {c.strip}))).samples,
                      std::vector<uint16_t>(5, 0));
            continue;
        }
        EXPECT_EQ(load_bytes(one_row_image(c.strip, static_cast<uint32_t>(c.decoded.size()), COMPRESSION)).samples,
                  widen(c.decoded));
    }
}

TEST(LzwDecoder, CodeStreamsThatAreRefused)
{
    struct Case {
        Bytes strip;
        uint32_t asked;
        const char *message;
    };
    for (const Case &c : std::vector<Case>{
             {{0x80, 0x40, 0x40}, 1, "LZW unexpected end of code."},
             {{0x00, 0x10, 0x60, 0x20}, 1, "LZW missing first clear code."},
             {{0x80}, 1, "LZW too few codes."},
             {{}, 1, "LZW too few codes."},
             {{0x80, 0x40, 0x08, 0x30, 0x10}, 1, "LZW unknown code after clear code."},
             {{0x80, 0x10, 0x60, 0x70, 0x10}, 2, "LZW too large code."},
             {{0x80, 0x10, 0x60, 0x20}, 2, "LZW unexpected end of code."},
             {{0x80, 0x10, 0x60, 0x20, 0x01}, 1, "LZW too many codes."},  // a non-zero byte after the end code
             {{0x80, 0x10, 0x60, 0x20, 0x00, 0x80}, 1, "LZW too many codes."},
             {{0x80, 0x10, 0x60, 0x50, 0x38, 0x08}, 4, "LZW too many codes."},  // two bytes of AAA left
             {{0x80, 0x10, 0x48, 0x44, 0x38, 0x08}, 1, "LZW missing end of codes."},  // two extra literals
         }) {
        SCOPED_TRACE(testing::Message() << c.strip.size() << " bytes, " << c.asked << " asked: " << c.message);
        expect_refusal(one_row_image(c.strip, c.asked, COMPRESSION), c.message);
    }
}

TEST(LzwDecoder, EndCodeAtBothWidthsWhereTheLastEntryRaisedTheWidth)
{
    Bytes decoded;
    for (unsigned k : {254u, 766u, 1790u}) {
        int narrow = lzw_data_code_width(k), wide = lzw_data_code_width(k + 1);
        ASSERT_EQ(wide, narrow + 1);
        for (const std::vector<LzwCode> &tail : std::vector<std::vector<LzwCode>>{
                 {{257, narrow}}, {{257, wide}}, {{256, narrow}, {257, 9}}, {{256, wide}, {257, 9}}}) {
            SCOPED_TRACE(testing::Message() << k << " codes, tail of " << tail.size() << " at width " << tail[0].width);
            Bytes strip = single_byte_codes(k, tail, &decoded);
            EXPECT_EQ(load_bytes(one_row_image(strip, k, COMPRESSION)).samples, widen(decoded));
        }
        // Anything else there is still refused, at either width.
        for (int width : {narrow, wide}) {
            Bytes strip = single_byte_codes(k, {{258, width}, {257, width}}, &decoded);
            expect_refusal(one_row_image(strip, k, COMPRESSION), "LZW missing end of codes.");
        }
    }
}

TEST(LzwDecoder, EndCodeAtTheCurrentWidthOtherwise)
{
    Bytes decoded;
    for (unsigned k : {1u, 2u, 255u, 767u, 1791u, 3000u}) {
        int width = lzw_data_code_width(k);
        SCOPED_TRACE(testing::Message() << k << " codes");
        Bytes strip = single_byte_codes(k, {{257, width}}, &decoded);
        EXPECT_EQ(load_bytes(one_row_image(strip, k, COMPRESSION)).samples, widen(decoded));
        if (k > 254) {
            strip = single_byte_codes(k, {{257, width - 1}}, &decoded);
            expect_refusal(one_row_image(strip, k, COMPRESSION), "LZW missing end of codes.");
        }
    }
}

TEST(LzwDecoder, FullTable)
{
    Bytes decoded;
    // 3839 data codes fill the table; the end code follows at 12 bits.
    Bytes strip = single_byte_codes(3839, {{257, 12}}, &decoded);
    EXPECT_EQ(load_bytes(one_row_image(strip, 3839, COMPRESSION)).samples, widen(decoded));

    // A clear code at 12 bits starts a new table of 9-bit codes.
    strip = single_byte_codes(3839, {{256, 12}, {1, 9}, {2, 9}, {258, 9}, {257, 9}}, &decoded);
    decoded.insert(decoded.end(), {1, 2, 1, 2});
    EXPECT_EQ(load_bytes(one_row_image(strip, 3843, COMPRESSION)).samples, widen(decoded));

    // A 3840th data code has no room.
    strip = single_byte_codes(3839, {{7, 12}, {257, 12}}, &decoded);
    expect_refusal(one_row_image(strip, 3840, COMPRESSION), "LZW code table overflow.");
}

TEST(LzwDecoder, PhotoshopsExtraByteAtTheWidthBoundaries)
{
    Bytes decoded;
    // k single-byte codes make the rows; the extra byte is a (k+1)-th
    // literal, or code 258 (the first two bytes) whose second byte is extra.
    for (unsigned k : {253u, 254u, 765u, 766u, 1789u, 1790u}) {
        int width = lzw_data_code_width(k + 1), after = lzw_data_code_width(k + 2);
        for (uint32_t extra : {7u, 258u}) {
            unsigned rows = extra == 258 ? k + 1 : k;
            for (int end_width : {width, after}) {
                SCOPED_TRACE(testing::Message() << k << " codes, extra " << extra << ", end at " << end_width);
                Bytes strip = single_byte_codes(k, {{extra, width}, {257, end_width}}, &decoded);
                if (extra == 258)
                    decoded.push_back(decoded[0]);
                EXPECT_EQ(load_bytes(one_row_image(strip, rows, COMPRESSION)).samples, widen(decoded));
                strip = single_byte_codes(k, {{extra, width}, {256, end_width}, {257, 9}}, &decoded);
                EXPECT_EQ(load_bytes(one_row_image(strip, rows, COMPRESSION)).samples.size(), rows);
            }
            // Anything more, or other than the end code after it, keeps the
            // strict reading's message.
            Bytes strip = single_byte_codes(k, {{extra, width}, {9, after}, {257, after}}, &decoded);
            expect_refusal(one_row_image(strip, rows, COMPRESSION), "LZW missing end of codes.");
        }
        // An extra code of two bytes.
        Bytes strip = single_byte_codes(k, {{259, width}, {257, after}}, &decoded);
        expect_refusal(one_row_image(strip, k, COMPRESSION), "LZW missing end of codes.");
    }
}

TEST(LzwDecoder, PhotoshopsExtraByteInEveryStripOfDifferencedImages)
{
    for (uint32_t bits : {8u, 16u})
        for (bool le : {false, true}) {
            ImageOptions o;
            o.width = 37;
            o.height = 7;
            o.bits = bits;
            o.little_endian = le;
            o.predictor = 2;
            o.rows_per_strip = 3;
            o.compression = 5;
            std::vector<uint16_t> samples(37 * 7);
            std::mt19937 rng(bits + le);
            for (uint16_t &v : samples)
                v = static_cast<uint16_t>(rng() % 300 + 1000) & (bits == 8 ? 0xFF : 0xFFFF);
            std::vector<Bytes> strips = pack_strips(samples, o);
            for (size_t i = 0; i < strips.size(); ++i) {
                Bytes plus_one = strips[i];
                plus_one.push_back(static_cast<uint8_t>(i % 2 == 0 ? plus_one.back() : rng()));
                strips[i] = lzw_encode(plus_one);
            }
            SCOPED_TRACE(testing::Message() << bits << " bits, little-endian " << le);
            EXPECT_EQ(load_bytes(build_tiff(make_image_layout(o, strips))).samples, samples);
            // Two extra bytes are refused.
            strips[1] = lzw_encode([&] {
                Bytes two = pack_strips(samples, o)[1];
                two.insert(two.end(), {1, 2});
                return two;
            }());
            std::string path = scratch_path("two.tif");
            write_file(path, build_tiff(make_image_layout(o, strips)));
            Loaded ignored;
            std::string failure = try_load(path, &ignored);
            EXPECT_TRUE(failure == path + " : LZW missing end of codes." || failure == path + " : LZW too many codes.")
                << failure;
        }
}

TEST(LzwDecoder, StringsCrossRowsAndSamplesAndNothingCrossesStrips)
{
    // 16-bit, 3 x 2: 0x41 0x41 0x41 0x41 (codes 65, 258) then more; strings
    // split 16-bit samples and continue into the next row.
    ImageOptions o;
    o.width = 3;
    o.height = 2;
    o.bits = 16;
    o.compression = 5;
    Bytes data = {0x41, 0x41, 0x41, 0x41, 0x41, 0x42, 0x41, 0x42, 0x41, 0x42, 0x41, 0x42};
    EXPECT_EQ(load_bytes(build_tiff(make_image_layout(o, {lzw_encode(data)}))).samples,
              (std::vector<uint16_t>{0x4141, 0x4141, 0x4142, 0x4142, 0x4142, 0x4142}));

    // Runs of one byte: every string after the first is the entry about to
    // be made, and most of them are split between two rows.
    for (uint32_t width : {1u, 2u, 3u, 5u}) {
        ImageOptions runs;
        runs.width = width;
        runs.height = 40;
        runs.compression = 5;
        Bytes data(width * 40, 0x33);
        EXPECT_EQ(load_bytes(build_tiff(make_image_layout(runs, {lzw_encode(data)}))).samples,
                  std::vector<uint16_t>(data.size(), 0x33)) << width;
    }

    // A string left over at the end of the first strip is refused there:
    // codes A, AA, AAA give 6 bytes where the row takes 4.
    o.bits = 8;
    o.width = 4;
    o.rows_per_strip = 1;
    Bytes first = lzw_encode(Bytes(6, 0x41));
    Bytes second = lzw_encode({1, 2, 3, 4});
    expect_refusal(build_tiff(make_image_layout(o, {first, second})), "LZW too many codes.");
}

TEST(LzwDecoder, RandomImagesOfEveryKindMatchTheirUncompressedTwins)
{
    uint32_t seed = 0;
    for (uint32_t bits : {1u, 4u, 8u, 12u, 16u})
        for (uint32_t fill_order : {1u, 2u})
            for (bool le : {false, true})
                for (uint32_t predictor : {1u, 2u})
                    for (const LzwOptions &lzw : {LzwOptions{}, LzwOptions{300, true, false},
                                                  LzwOptions{3839, true, true}}) {
                        ImageOptions o;
                        o.width = 301;
                        o.height = 24;
                        o.bits = bits;
                        o.fill_order = fill_order;
                        o.little_endian = le;
                        o.predictor = predictor;
                        o.rows_per_strip = 10;
                        // Few distinct values: long strings, wide codes and full tables.
                        std::mt19937 rng(++seed);
                        std::vector<uint16_t> samples(o.width * o.height);
                        uint32_t mask = bits == 16 ? 0xFFFF : (1u << bits) - 1;
                        for (size_t i = 0; i < samples.size(); ++i)
                            samples[i] = static_cast<uint16_t>((rng() % 4 == 0 ? rng() : i / 50) & mask);
                        ImageOptions plain = o;
                        plain.fill_order = 1;
                        std::vector<Bytes> strips;
                        for (const Bytes &s : pack_strips(samples, plain)) {
                            Bytes packed = lzw_encode(s, lzw);
                            strips.push_back(fill_order == 2 ? reverse_bits_each(packed) : packed);
                        }
                        o.compression = 5;
                        SCOPED_TRACE(testing::Message() << "bits " << bits << " fill " << fill_order << " le " << le
                                                        << " predictor " << predictor << " table "
                                                        << lzw.codes_per_table << " wide end " << lzw.end_at_wider);
                        ASSERT_EQ(load_bytes(build_tiff(make_image_layout(o, strips))).samples, samples);
                    }
}

TEST(LzwDecoder, LongStringsFromARunOfOneByte)
{
    // 100000 equal bytes give strings up to several hundred bytes long and
    // several full tables.
    Bytes data(100000, 0x5A);
    Bytes decoded = data;
    EXPECT_EQ(load_bytes(one_row_image(lzw_encode(data), 100000, COMPRESSION)).samples, widen(decoded));
    Bytes noise = random_bytes(100000, 3, 3);
    EXPECT_EQ(load_bytes(one_row_image(lzw_encode(noise, LzwOptions{3839, true, false}), 100000, COMPRESSION)).samples,
              widen(noise));
}

TEST(LzwDecoder, AStripThatEndsInsideItsEndCodeOnceTheRowsAreComplete)
{
    // k single-byte codes, then a last one (the end code) of which only the
    // bits in the byte that holds the last bit before it are left (none, or
    // fewer than a code).
    auto cut_inside_last = [](unsigned k, LzwCode last, Bytes *decoded) {
        int bits = 9;
        for (unsigned i = 1; i <= k; ++i)
            bits += lzw_data_code_width(i);
        Bytes strip = single_byte_codes(k, {last}, decoded);
        strip.resize(static_cast<size_t>(bits + 7) / 8);
        return strip;
    };
    Bytes decoded;
    // 6 bits of the end code left; none left; either width where the last
    // entry raised it; the current width otherwise.
    for (auto [k, width] : std::vector<std::pair<unsigned, int>>{{1, 9}, {7, 9}, {254, 9}, {254, 10}, {255, 10}}) {
        SCOPED_TRACE(testing::Message() << k << " codes, end code at " << width);
        Bytes strip = cut_inside_last(k, {257, width}, &decoded);
        EXPECT_EQ(load_bytes(one_row_image(strip, k, COMPRESSION)).samples, widen(decoded));
    }
    // Bits that do not begin the end code, and rows that are not complete.
    Bytes strip = cut_inside_last(1, {7, 9}, &decoded);
    expect_refusal(one_row_image(strip, 1, COMPRESSION), "LZW too few codes.");
    strip = cut_inside_last(1, {257, 9}, &decoded);
    expect_refusal(one_row_image(strip, 2, COMPRESSION), "LZW too few codes.");
}
