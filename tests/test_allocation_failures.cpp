// Every allocation-failure message, produced by making that allocation fail:
// through the test build's allocation seam (each allocation in turn), and
// for the large ones through a real address-space limit on the binary.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/child_process.h"
#include "support/tiff_builder.h"

namespace {

std::string pair_file(const std::string &name, const std::string &description)
{
    ImageOptions o;
    o.width = 64;
    o.height = 8;
    o.bits = 16;
    o.rows_per_strip = 4;
    o.description = description;
    std::vector<uint16_t> samples(64 * 8);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<uint16_t>(i * 37 + description.size());
    std::string path = scratch_path(name);
    write_file(path, build_tiff(make_image_layout(o, pack_strips(samples, o))));
    return path;
}

}  // namespace

TEST(AllocationFailures, EachAllocationInTurn)
{
    std::string dividend = pair_file("dividend.tif", "the dividend's description");
    std::string divisor = pair_file("divisor.tif", "the divisor's description");
    // The allocations of a run, in order: per input the reader's state, its
    // description, row buffers and the windows of its two strip tables; the
    // result's row table and row; the output's description; the writer's
    // buffer.
    const std::vector<std::string> expected = {
        dividend + " : cell memory allocation error.\n",
        dividend + " : image description memory allocation error.\n",
        dividend + " : cell memory allocation error.\n",
        dividend + " : strip offset memory allocation error.\n",
        dividend + " : strip bytes count memory allocation error.\n",
        divisor + " : cell memory allocation error.\n",
        divisor + " : image description memory allocation error.\n",
        divisor + " : cell memory allocation error.\n",
        divisor + " : strip offset memory allocation error.\n",
        divisor + " : strip bytes count memory allocation error.\n",
        "cell memory allocation error (1).\n",
        "cell memory allocation error (2).\n",
        "OUT : TIFF work memory allocation error.\n",
        "OUT : TIFF work memory allocation error.\n",
    };
    for (unsigned n = 1; n <= expected.size() + 1; ++n) {
        std::string out = scratch_path("out.tif");
        RunOptions failing;
        failing.fail_allocation = n;
        ChildResult r = imgratio({dividend, divisor, out}, failing);
        SCOPED_TRACE(testing::Message() << "allocation " << n);
        if (n > expected.size()) {
            EXPECT_EQ(r.exit_code, 0) << r.err;
            EXPECT_TRUE(std::filesystem::exists(out));
            continue;
        }
        std::string message = expected[n - 1];
        if (message.rfind("OUT", 0) == 0)
            message.replace(0, 3, out);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.err, message);
        EXPECT_FALSE(std::filesystem::exists(out)) << "no output after a failure";
    }
}

TEST(AllocationFailures, WithoutTheRingOrTheThreadTheDivisorIsReadOnOneThread)
{
    std::string dividend = pair_file("dividend.tif", "the dividend's description");
    std::string divisor = pair_file("divisor.tif", "the divisor's description");
    std::string reference = scratch_path("reference.tif");
    RunOptions one;
    one.threads = "1";
    ASSERT_EQ(imgratio({dividend, divisor, reference}, one).exit_code, 0);
    // After the writer's buffer (allocation 14) come the ring and the thread.
    for (unsigned n : {15u, 16u}) {
        SCOPED_TRACE(testing::Message() << "allocation " << n);
        std::string out = scratch_path("out.tif");
        RunOptions two;
        two.threads = "2";
        two.fail_allocation = n;
        ChildResult r = imgratio({dividend, divisor, out}, two);
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(read_file(out), read_file(reference));
    }
}

#if defined(IMGRATIO_TESTS_UNDER_SANITIZER)
TEST(AllocationFailures, AddressSpaceLimit)
{
    GTEST_SKIP() << "the sanitizers reserve more address space than any limit here allows";
}
#else
TEST(AllocationFailures, AddressSpaceLimit)
{
    RunOptions limited;
    limited.address_space = rlim_t{512} << 20;
    // A row of 2^31 - 1 samples takes 4 GiB of row buffer.
    ImageOptions wide;
    wide.width = 0x7FFFFFFF;
    wide.bits = 16;
    std::string cells = scratch_path("cells.tif");
    write_file(cells, build_tiff(make_image_layout(wide, {{0}})));
    ChildResult r = imgratio({cells, cells, scratch_path("out.tif")}, limited);
    EXPECT_EQ(r.err, cells + " : cell memory allocation error.\n");
    EXPECT_EQ(r.exit_code, 1);
}
#endif
