#include "support/load_helpers.h"

#include <gtest/gtest.h>

#include "tiff_in/tiff_in.h"

namespace {

// "<path> : <message>" for a failed load, "" for a successful one.
std::string load_into(const std::string &path, Loaded *result)
{
    SampleGrid grid;
    char *description = nullptr;
    uint32_t bits = 0;
    Message failure = load_tiff_image(path.c_str(), &grid, &bits, &description);
    if (failure != MSG_NONE)
        return path + " : " + message_text(failure);
    result->width = grid.width;
    result->height = grid.height;
    result->bits = static_cast<int32_t>(bits);
    result->samples.assign(grid.samples, grid.samples + size_t(grid.width) * size_t(grid.height));
    if (description != nullptr)
        result->description = std::string(description);
    release_memory(description);
    release_sample_grid(&grid);
    return "";
}

}  // namespace

Loaded load_file(const std::string &path)
{
    Loaded result;
    std::string failure = load_into(path, &result);
    EXPECT_EQ(failure, "");
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
    Loaded ignored;
    EXPECT_EQ(load_into(path, &ignored), path + " : " + message);
}
