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

std::vector<Loaded> load_pages(const std::string &path)
{
    std::vector<Loaded> pages;
    TiffInput in;
    Message failure = open_tiff_input(&in, path.c_str());
    while (failure == MSG_NONE) {
        Loaded page;
        page.width = static_cast<int32_t>(in.width);
        page.height = static_cast<int32_t>(in.height);
        page.bits = static_cast<int32_t>(in.bits);
        if (in.description != nullptr)
            page.description = std::string(in.description);
        for (uint32_t y = 0; failure == MSG_NONE && y < in.height; ++y) {
            failure = read_tiff_row(&in);
            if (failure == MSG_NONE)
                page.samples.insert(page.samples.end(), in.row, in.row + in.width);
        }
        pages.push_back(page);
        if (failure != MSG_NONE || in.page == in.pages)
            break;
        failure = next_tiff_page(&in);
    }
    close_tiff_input(&in);
    EXPECT_EQ(failure, MSG_NONE) << path << " : page " << in.page << ": " << message_text(failure);
    return pages;
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
