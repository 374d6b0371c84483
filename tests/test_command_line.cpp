// The imgratio binary end to end: usage, the stored ratio image, messages on
// standard error, exit statuses, and no output file after any failure.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <filesystem>

#include "support/child_process.h"
#include "support/load_helpers.h"
#include "support/tiff_builder.h"
#include "tiff_in/tiff_in.h"

namespace {

const char *const USAGE = "usage : imgratio input1.tif input2.tif output.tif\n";

std::string image_file(uint32_t width, uint32_t height, uint32_t bits, const std::vector<uint16_t> &samples,
                       std::optional<std::string> description = {}, bool little_endian = true)
{
    ImageOptions o;
    o.width = width;
    o.height = height;
    o.bits = bits;
    o.little_endian = little_endian;
    o.rows_per_strip = 2;
    o.description = description;
    std::string path = scratch_path("input.tif");
    write_file(path, build_tiff(make_image_layout(o, pack_strips(samples, o))));
    return path;
}

ChildResult imgratio(const std::vector<std::string> &args)
{
    std::vector<std::string> argv = {imgratio_binary()};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv);
}

}  // namespace

TEST(CommandLine, TooFewArgumentsGiveTheUsageLine)
{
    std::string out = scratch_path("never.tif");
    for (const auto &args : std::vector<std::vector<std::string>>{{}, {"a.tif"}, {"a.tif", out}}) {
        ChildResult r = imgratio(args);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.err, USAGE);
        EXPECT_EQ(r.out, "");
    }
    EXPECT_FALSE(std::filesystem::exists(out));
}

TEST(CommandLine, StoresTheScaledRatioWithTheDividendsDescription)
{
    std::string dividend = image_file(4, 3, 16, {29, 323, 100, 65, 1, 0, 7, 65535, 5, 6, 7, 8}, "dividend text");
    std::string divisor = image_file(4, 3, 16, {100, 5, 1, 1, 3, 7, 0, 1, 0, 0, 0, 0}, "divisor text", false);
    std::string out = scratch_path("ratio.tif");
    ChildResult r = imgratio({dividend, divisor, out, "ignored extra"});
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

TEST(CommandLine, InputErrorsNameTheirFileAndLeaveNoOutput)
{
    std::string good = image_file(2, 2, 16, {1, 2, 3, 4});
    std::string bad = scratch_path("bad.tif");
    write_file(bad, {'I', 'I', 43, 0});
    std::string other_size = image_file(2, 3, 16, {1, 2, 3, 4, 5, 6});
    struct Case {
        std::string dividend, divisor, message;
    };
    for (const Case &c : std::vector<Case>{
             {bad, good, bad + " : bad magic number.\n"},
             {good, bad, bad + " : bad magic number.\n"},
             {bad, "/nonexistent.tif", bad + " : bad magic number.\n"},
             {good, "/nonexistent.tif", "/nonexistent.tif : file not found.\n"},
             {good, other_size, other_size + " : image size mismatch.\n"},
             {other_size, good, good + " : image size mismatch.\n"}}) {
        std::string out = scratch_path("out.tif");
        ChildResult r = imgratio({c.dividend, c.divisor, out});
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.err, c.message);
        EXPECT_EQ(r.out, "");
        EXPECT_FALSE(std::filesystem::exists(out));
    }
    // An existing output stays as it was.
    std::string existing = scratch_path("existing.tif");
    write_file(existing, {'o', 'l', 'd'});
    EXPECT_EQ(imgratio({good, bad, existing}).exit_code, 1);
    EXPECT_EQ(read_file(existing), (Bytes{'o', 'l', 'd'}));
}

TEST(CommandLine, WriteFailuresAreReported)
{
    std::string a = image_file(300, 300, 16, std::vector<uint16_t>(90000, 7));
    ChildResult r = imgratio({a, a, "/dev/full"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "/dev/full : file not stored.\n");
    EXPECT_TRUE(std::filesystem::exists("/dev/full"));

    std::string out = scratch_path("limited.tif");
    r = run_program({imgratio_binary(), a, a, out}, [] {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {50000, 50000};
        setrlimit(RLIMIT_FSIZE, &limit);
    });
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, out + " : file not stored.\n");
    EXPECT_FALSE(std::filesystem::exists(out));
}
