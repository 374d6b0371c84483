// PackBits strips: the run structure byte by byte, runs across rows and
// samples, every refusal, and random images of every kind encoded by an
// independent encoder.
#include <gtest/gtest.h>

#include <random>

#include "support/encoders.h"
#include "support/load_helpers.h"

namespace {

constexpr uint32_t COMPRESSION = 32773;

Bytes repeated(uint8_t value, size_t n)
{
    return Bytes(n, value);
}

}  // namespace

TEST(PackBitsDecoder, RunKinds)
{
    Bytes literal128(128);
    for (size_t i = 0; i < 128; ++i)
        literal128[i] = static_cast<uint8_t>(i * 7);
    Bytes literal_strip = {0x7F};
    literal_strip.insert(literal_strip.end(), literal128.begin(), literal128.end());
    struct Case {
        Bytes strip, decoded;
    };
    for (const Case &c : std::vector<Case>{
             {{0x02, 0x41, 0x42, 0x43}, {0x41, 0x42, 0x43}},
             {{0xFE, 0x07}, repeated(0x07, 3)},
             {{0x81, 0x55}, repeated(0x55, 128)},
             {{0xFF, 0x55}, repeated(0x55, 2)},
             {literal_strip, literal128},
             {{0x00, 0x09}, {0x09}},
             {{0x00, 0x09, 0xFF, 0x01}, {0x09, 0x01, 0x01}},
             {{0x80, 0x80, 0x00, 0x05}, {0x05}},
         }) {
        EXPECT_EQ(load_bytes(one_row_image(c.strip, static_cast<uint32_t>(c.decoded.size()), COMPRESSION)).samples,
                  widen(c.decoded));
    }
}

TEST(PackBitsDecoder, Refusals)
{
    struct Case {
        Bytes strip;
        uint32_t asked;
        const char *message;
    };
    for (const Case &c : std::vector<Case>{
             {{0xFD, 0x09}, 3, "MPB too many codes."},        // a copy left
             {{0x02, 0x41, 0x42}, 3, "MPB too few codes."},   // literal cut short
             {{0x05, 0x41}, 1, "MPB too many codes."},        // open literal, no bytes left
             {{0x00, 0x41, 0x80}, 1, "MPB too many codes."},  // trailing header never taken
             {{0x00, 0x41, 0x80}, 2, "MPB too few codes."},   // header passed over, then nothing
             {{}, 1, "MPB too few codes."},
             {{0xFE}, 1, "MPB too few codes."},               // repeat run without its byte
         }) {
        SCOPED_TRACE(testing::Message() << c.strip.size() << " bytes, " << c.asked << " asked");
        expect_refusal(one_row_image(c.strip, c.asked, COMPRESSION), c.message);
    }
}

TEST(PackBitsDecoder, RunsCrossRowsAndSplitSamples)
{
    // 16-bit, 3 x 2: 0x12 alone, then 0x34 seven times (ending in row 1),
    // then 01 02 03 04; the first sample takes a byte from each of two runs.
    ImageOptions o;
    o.width = 3;
    o.height = 2;
    o.bits = 16;
    o.compression = 32773;
    Bytes strip = {0x00, 0x12, 0xFA, 0x34, 0x03, 0x01, 0x02, 0x03, 0x04};
    EXPECT_EQ(load_bytes(build_tiff(make_image_layout(o, {strip}))).samples,
              (std::vector<uint16_t>{0x1234, 0x3434, 0x3434, 0x3434, 0x0102, 0x0304}));
}

TEST(PackBitsDecoder, NoRunCarriesIntoTheNextStrip)
{
    ImageOptions o;
    o.width = 2;
    o.height = 2;
    o.rows_per_strip = 1;
    o.compression = 32773;
    // The first strip's repeat run gives 3 copies where its row takes 2.
    Bytes bytes = build_tiff(make_image_layout(o, {{0xFE, 0x07}, {0x01, 0x08, 0x09}}));
    expect_refusal(bytes, "MPB too many codes.");
    bytes = build_tiff(make_image_layout(o, {{0xFF, 0x07}, {0x01, 0x08, 0x09}}));
    EXPECT_EQ(load_bytes(bytes).samples, (std::vector<uint16_t>{7, 7, 8, 9}));
}

TEST(PackBitsDecoder, RandomImagesOfEveryKindMatchTheirUncompressedTwins)
{
    std::mt19937 rng(7);
    for (uint32_t bits : {1u, 2u, 4u, 7u, 8u, 12u, 16u})
        for (uint32_t fill_order : {1u, 2u})
            for (bool le : {false, true})
                for (uint32_t predictor : {1u, 2u}) {
                    ImageOptions o;
                    o.width = 37;
                    o.height = 9;
                    o.bits = bits;
                    o.fill_order = fill_order;
                    o.little_endian = le;
                    o.predictor = predictor;
                    o.rows_per_strip = 4;
                    // Long flat stretches and noise, so both run kinds occur.
                    std::vector<uint16_t> samples(o.width * o.height);
                    uint32_t mask = bits == 16 ? 0xFFFF : (1u << bits) - 1;
                    for (size_t i = 0; i < samples.size(); ++i)
                        samples[i] = static_cast<uint16_t>((i / 11) % 3 == 0 ? rng() & mask : mask / 3);
                    // Compress the uncompressed strips (FillOrder 2 reverses the
                    // stored, compressed bytes).
                    ImageOptions plain = o;
                    plain.fill_order = 1;
                    std::vector<Bytes> strips;
                    for (const Bytes &s : pack_strips(samples, plain)) {
                        Bytes packed = packbits_encode(s, 3);
                        strips.push_back(fill_order == 2 ? reverse_bits_each(packed) : packed);
                    }
                    o.compression = 32773;
                    SCOPED_TRACE(testing::Message() << "bits " << bits << " fill " << fill_order << " le " << le
                                                    << " predictor " << predictor);
                    ASSERT_EQ(load_bytes(build_tiff(make_image_layout(o, strips))).samples, samples);
                }
}
