// The imgratio binary end to end: usage, the stored ratio image, messages on
// standard error, exit statuses, and which failure wins when several are
// present.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <random>

#include "app/app.h"
#include "support/child_process.h"
#include "support/load_helpers.h"
#include "support/tiff_builder.h"

namespace {

const char *const USAGE = "usage : imgratio input1.tif input2.tif output.tif\n";

// An image in strips of one row; `change` may damage its strips.
TiffLayout image_layout(uint32_t width, uint32_t height, uint32_t bits, const std::vector<uint16_t> &samples,
                        std::optional<std::string> description = {}, bool little_endian = true,
                        const std::function<void(std::vector<Bytes> &)> &change = {})
{
    ImageOptions o;
    o.width = width;
    o.height = height;
    o.bits = bits;
    o.little_endian = little_endian;
    o.rows_per_strip = 1;
    o.description = description;
    std::vector<Bytes> strips = pack_strips(samples, o);
    if (change)
        change(strips);
    return make_image_layout(o, strips);
}

std::string image_file(uint32_t width, uint32_t height, uint32_t bits, const std::vector<uint16_t> &samples,
                       std::optional<std::string> description = {}, bool little_endian = true,
                       const std::function<void(std::vector<Bytes> &)> &change = {})
{
    std::string path = scratch_path("input.tif");
    write_file(path, build_tiff(image_layout(width, height, bits, samples, description, little_endian, change)));
    return path;
}

}  // namespace

TEST(CommandLine, AnyOtherCountThanThreePathsGivesTheUsageLine)
{
    // As `imgratio frames/*.tif out.tif` with four frames: nothing is read
    // and nothing stored, the last frame included.
    std::string a = image_file(1, 1, 8, {7}), b = image_file(1, 1, 8, {9}), c = image_file(1, 1, 8, {5});
    const Bytes c_before = read_file(c);
    std::string out = scratch_path("never.tif");
    // Options are taken only as the sole argument.
    for (const auto &args : std::vector<std::vector<std::string>>{
             {}, {a}, {a, out}, {a, b, c, out}, {"--help", out}, {"-V"}, {"--version", a}}) {
        ChildResult r = imgratio(args);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.err, USAGE);
        EXPECT_EQ(r.out, "");
    }
    EXPECT_FALSE(std::filesystem::exists(out));
    EXPECT_EQ(read_file(c), c_before);
}

TEST(CommandLine, HelpAndVersionOnStandardOutput)
{
    const char *version = "imgratio " IMGRATIO_VERSION "\n";
    for (auto [option, first_line] : {std::pair{"--help", USAGE}, {"-h", USAGE}, {"--version", version}}) {
        ChildResult r = imgratio({option});
        EXPECT_TRUE(r.exit_code == 0 && r.err.empty() && r.out.rfind(first_line, 0) == 0) << option << ": " << r.out;
    }
}

TEST(CommandLine, StoresTheScaledRatioWithTheDividendsDescription)
{
    std::string dividend = image_file(4, 3, 16, {29, 323, 100, 65, 1, 0, 7, 65535, 5, 6, 7, 8}, "dividend text");
    std::string divisor = image_file(4, 3, 16, {100, 5, 1, 1, 3, 7, 0, 1, 0, 0, 0, 0}, "divisor text", false);
    std::string out = scratch_path("ratio.tif");
    ChildResult r = imgratio({dividend, divisor, out});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "");
    Loaded o = load_file(out);
    EXPECT_EQ(o.bits, 16);
    EXPECT_EQ(o.samples, (std::vector<uint16_t>{290, 64599, 34464, 65000, 333, 0, 0, 64536, 0, 0, 0, 0}));
    EXPECT_EQ(o.description, "dividend text");
    EXPECT_EQ(read_file(out).at(0), 'M') << "big-endian output";
}

TEST(CommandLine, EightBitInputsGiveSixteenBitOutputWithoutDescription)
{
    std::string dividend = image_file(3, 1, 8, {255, 10, 0});
    std::string divisor = image_file(3, 1, 8, {1, 20, 0}, "only the divisor has one");
    std::string out = scratch_path("ratio8.tif");
    ASSERT_EQ(imgratio({dividend, divisor, out}).exit_code, 0);
    Loaded o = load_file(out);
    EXPECT_EQ(o.bits, 16);
    EXPECT_EQ(o.samples, (std::vector<uint16_t>{255000 % 65536, 500, 0}));
    EXPECT_EQ(o.description, std::nullopt);
}

TEST(CommandLine, TheFailureOfAWholeReadOfDividendThenDivisorThenStoreWins)
{
    const std::vector<uint16_t> samples(4 * 6, 7);
    auto image = [&](const std::function<void(std::vector<Bytes> &)> &change = {}, uint32_t height = 6) {
        return image_file(4, height, 16, std::vector<uint16_t>(samples.begin(), samples.begin() + 4 * height), {},
                          true, change);
    };
    std::string good = image();
    std::string bad_magic = scratch_path("bad.tif");
    write_file(bad_magic, {'I', 'I', 43, 0});
    std::string first_strip_short = image([](std::vector<Bytes> &s) { s[0].pop_back(); });
    std::string last_strip_long = image([](std::vector<Bytes> &s) { s[5].push_back(0); });
    std::string other_size = image({}, 5);
    std::string no_directory = scratch_path("no-such-dir") + "/out.tif";
    // A store that fails after rows have gone through it: the inputs are
    // still read to their ends, and their errors outrank it. The image is
    // taller than the rows a second thread reads ahead.
    const uint32_t wide = 32768, tall = 64;
    auto big_image = [&](bool last_strip_long) {
        return image_file(wide, tall, 16, std::vector<uint16_t>(size_t{wide} * tall, 9), {}, true,
                          [&](std::vector<Bytes> &s) {
                              if (last_strip_long)
                                  s.back().push_back(0);
                          });
    };
    std::string big_good = big_image(false), big_bad = big_image(true);
    struct Case {
        std::string dividend, divisor, output, message;
        rlim_t file_size = RLIM_INFINITY;
    };
    std::string out = scratch_path("out.tif");
    for (const char *threads : {"1", "2"})
    for (const Case &c : std::vector<Case>{
             {bad_magic, "/nonexistent.tif", "", bad_magic + " : bad magic number.\n"},
             {good, "/nonexistent.tif", "", "/nonexistent.tif : file not found.\n"},
             // The divisor fails at once, the dividend only in its last strip.
             {last_strip_long, first_strip_short, "", last_strip_long + " : too many codes.\n"},
             {good, first_strip_short, "", first_strip_short + " : too few codes.\n"},
             // A divisor error outranks a size mismatch, which outranks the output.
             {other_size, last_strip_long, "", last_strip_long + " : too many codes.\n"},
             {good, other_size, no_directory, other_size + " : image size mismatch.\n"},
             {other_size, good, "", good + " : image size mismatch.\n"},
             // An input error outranks an output that cannot be made.
             {last_strip_long, good, no_directory, last_strip_long + " : too many codes.\n"},
             {good, last_strip_long, no_directory, last_strip_long + " : too many codes.\n"},
             {good, good, no_directory, no_directory + " : file not stored.\n"},
             {big_good, big_good, "", out + " : file not stored.\n", 65536},
             {big_good, big_bad, "", big_bad + " : too many codes.\n", 65536},
             {big_bad, big_good, "", big_bad + " : too many codes.\n", 65536}}) {
        SCOPED_TRACE(c.message + " with threads=" + threads);
        std::string output = c.output.empty() ? out : c.output;
        RunOptions options;
        options.threads = threads;
        options.file_size = c.file_size;
        ChildResult r = imgratio({c.dividend, c.divisor, output}, options);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.err, c.message);
        EXPECT_EQ(r.out, "");
        EXPECT_FALSE(std::filesystem::exists(output));
    }
    // An existing output stays as it was.
    std::string existing = scratch_path("existing.tif");
    write_file(existing, {'o', 'l', 'd'});
    EXPECT_EQ(imgratio({good, last_strip_long, existing}).exit_code, 1);
    EXPECT_EQ(read_file(existing), (Bytes{'o', 'l', 'd'}));
}

TEST(CommandLine, TheReaderThreadGivesTheBytesOfOneThread)
{
    // Rows that fill a ring of 2 and of 3 rows, in images several rings tall.
    std::mt19937 rng(5);
    for (uint32_t width : {262144u, 150000u}) {
        SCOPED_TRACE(testing::Message() << "width " << width);
        const uint32_t height = 24;
        std::vector<uint16_t> a(size_t{width} * height), b(a.size());
        for (size_t i = 0; i < a.size(); ++i) {
            a[i] = static_cast<uint16_t>(rng());
            b[i] = static_cast<uint16_t>(rng() % 5000);
        }
        std::string dividend = image_file(width, height, 16, a);
        std::string divisor = image_file(width, height, 16, b);
        std::string one = scratch_path("one.tif"), two = scratch_path("two.tif");
        RunOptions options;
        options.threads = "1";
        ASSERT_EQ(imgratio({dividend, divisor, one}, options).exit_code, 0);
        options.threads = "2";
        ChildResult r = imgratio({dividend, divisor, two}, options);
        ASSERT_EQ(r.exit_code, 0) << r.err;
        EXPECT_TRUE(read_file(one) == read_file(two)) << "outputs differ";
    }
}

namespace {

// A page of 16-bit samples, in strips of one row.
TiffLayout stack_page(uint32_t width, uint32_t height, uint16_t first, std::optional<std::string> description = {},
                      uint32_t new_subfile_type = 0)
{
    std::vector<uint16_t> samples(size_t{width} * height);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<uint16_t>(first + 7 * i);
    TiffLayout page = image_layout(width, height, 16, samples, description);
    if (new_subfile_type != 0)
        page.entries.push_back(long_entry(254, {new_subfile_type}));
    return page;
}

std::string stack_file(const std::vector<TiffLayout> &pages, std::optional<int> last_points_to = {},
                       uint32_t beyond = 0)
{
    std::string path = scratch_path("stack.tif");
    write_file(path, build_stack(pages, last_points_to, beyond));
    return path;
}

std::vector<uint16_t> ratio_of(const std::vector<uint16_t> &a, const std::vector<uint16_t> &b)
{
    std::vector<uint16_t> r(a.size());
    for (size_t i = 0; i < a.size(); ++i)
        r[i] = ratio_sample(a[i], b[i]);
    return r;
}

}  // namespace

TEST(Stacks, PagesAreDividedPairwiseOrAllByOneDivisorPage)
{
    // The dividend's chain: a thumbnail page skipped, and its last
    // next-directory offset a loop.
    std::vector<TiffLayout> dividend_pages = {stack_page(4, 3, 10, "first page"), stack_page(2, 2, 1, {}, 1),
                                              stack_page(4, 3, 500), stack_page(4, 3, 3000, "3rd")};
    std::vector<TiffLayout> divisor_pages = {stack_page(4, 3, 5), stack_page(4, 3, 6), stack_page(4, 3, 7)};
    std::string divisor = stack_file(divisor_pages);
    std::string one_page = stack_file({divisor_pages[1]});
    std::vector<Loaded> b = load_pages(divisor);
    ASSERT_EQ(b.size(), 3u);
    for (const std::string &dividend :
         {stack_file(dividend_pages), stack_file(dividend_pages, 0)}) {
        std::vector<Loaded> a = load_pages(dividend);
        ASSERT_EQ(a.size(), 3u) << "the thumbnail is not a page";
        for (const char *threads : {"1", "2"}) {
            SCOPED_TRACE(threads);
            RunOptions options;
            options.threads = threads;
            std::string out = scratch_path("out.tif");
            ChildResult r = imgratio({dividend, divisor, out}, options);
            ASSERT_EQ(r.exit_code, 0) << r.err;
            std::vector<Loaded> o = load_pages(out);
            ASSERT_EQ(o.size(), 3u);
            for (size_t k = 0; k < 3; ++k) {
                EXPECT_EQ(o[k].samples, ratio_of(a[k].samples, b[k].samples)) << "page " << k + 1;
                EXPECT_EQ(o[k].description, a[k].description) << "page " << k + 1;
            }
            ASSERT_EQ(imgratio({dividend, one_page, out}, options).exit_code, 0);
            o = load_pages(out);
            ASSERT_EQ(o.size(), 3u);
            for (size_t k = 0; k < 3; ++k)
                EXPECT_EQ(o[k].samples, ratio_of(a[k].samples, b[1].samples)) << "page " << k + 1;
        }
    }
}

TEST(Stacks, CountsSizesAndErrorsInLaterPagesAndWhichWins)
{
    std::vector<TiffLayout> three = {stack_page(4, 3, 10), stack_page(4, 3, 20), stack_page(4, 3, 30)};
    std::string a3 = stack_file(three), a2 = stack_file({three[0], three[1]}), a1 = stack_file({three[0]});
    std::vector<TiffLayout> other_size = three;
    other_size[1] = stack_page(4, 2, 20);
    std::string b_size = stack_file(other_size);
    std::vector<TiffLayout> damaged = three;
    damaged[2].strips[1].push_back(0);
    std::string a_bad3 = stack_file(damaged);
    std::vector<TiffLayout> damaged2 = {three[0], three[1]};
    damaged2[1].strips[0].pop_back();
    std::string b_bad2 = stack_file(damaged2);
    // Two pages and a next-directory offset past the end: cut before page 3.
    std::string cut = stack_file({three[0], three[1]}, {}, 100);
    std::string out = scratch_path("out.tif");
    struct Case {
        std::string dividend, divisor, message;
    };
    for (const char *threads : {"1", "2"})
    for (const Case &c : std::vector<Case>{
             {a3, a2, a2 + " : image count mismatch.\n"},
             {a1, a3, a3 + " : image count mismatch.\n"},
             {a3, b_size, b_size + " : page 2: image size mismatch.\n"},
             {a_bad3, a3, a_bad3 + " : page 3: too many codes.\n"},
             // A dividend error in a later page outranks the divisor's, which
             // outrank a count mismatch, which outranks sizes.
             {a_bad3, b_bad2, a_bad3 + " : page 3: too many codes.\n"},
             {a3, b_bad2, b_bad2 + " : page 2: too few codes.\n"},
             {a_bad3, b_size, a_bad3 + " : page 3: too many codes.\n"},
             {cut, a1, cut + " : page 3: unexpected end of file.\n"},
             {a3, cut, cut + " : page 3: unexpected end of file.\n"}}) {
        SCOPED_TRACE(c.message + " with threads=" + threads);
        RunOptions options;
        options.threads = threads;
        ChildResult r = imgratio({c.dividend, c.divisor, out}, options);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.err, c.message);
        EXPECT_FALSE(std::filesystem::exists(out));
    }
}
