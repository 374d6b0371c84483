#include "support/load_helpers.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "support/child_process.h"
#include "tiff_in/tiff_in.h"

Loaded load_file(const std::string &path)
{
    Loaded result;
    SampleGrid grid;
    char *description = nullptr;
    load_tiff_image(path.c_str(), &result.width, &result.height, &result.bits, &grid, &description);
    for (int32_t y = 0; y < grid.height; ++y)
        result.samples.insert(result.samples.end(), grid.rows[y], grid.rows[y] + grid.width);
    if (description != nullptr)
        result.description = std::string(description);
    std::free(description);
    release_sample_grid(&grid);
    return result;
}

Loaded load_bytes(const Bytes &bytes)
{
    std::string path = scratch_path("in.tif");
    write_file(path, bytes);
    return load_file(path);
}

void expect_refusal(const Bytes &bytes, const std::string &message)
{
    std::string path = scratch_path("bad.tif");
    write_file(path, bytes);
    ChildResult r = run_in_child([&] {
        SampleGrid grid;
        char *description = nullptr;
        int32_t w, h, b;
        load_tiff_image(path.c_str(), &w, &h, &b, &grid, &description);
    });
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, path + " : " + message + "\n");
    EXPECT_EQ(r.out, "");
}
