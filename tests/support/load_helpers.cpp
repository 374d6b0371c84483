#include "support/load_helpers.h"

#include <gtest/gtest.h>

#include "tiff_in/tiff_in.h"

// The pages of a file, up to `last` or the first failure: "" or
// "<path> : <message>", with "page K: " from the second page on.
std::string try_load_pages(const std::string &path, std::vector<Loaded> *pages, uint32_t last)
{
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
            if (failure == MSG_NONE && in.kind == ROW_VALUES)
                page.values.insert(page.values.end(), in.values, in.values + in.width);
            else if (failure == MSG_NONE)
                page.samples.insert(page.samples.end(), in.row, in.row + in.width);
        }
        pages->push_back(page);
        if (failure != MSG_NONE || in.page == in.pages || in.page == last)
            break;
        failure = next_tiff_page(&in);
    }
    close_tiff_input(&in);
    if (failure == MSG_NONE)
        return "";
    std::string page = in.page >= 2 ? "page " + std::to_string(in.page) + ": " : "";
    return path + " : " + page + message_text(failure);
}

std::string try_load(const std::string &path, Loaded *result)
{
    std::vector<Loaded> pages;
    std::string failure = try_load_pages(path, &pages, 1);
    if (failure.empty())
        *result = pages.at(0);
    return failure;
}

Loaded load_file(const std::string &path)
{
    Loaded result;
    EXPECT_EQ(try_load(path, &result), "");
    return result;
}

std::vector<Loaded> load_pages(const std::string &path)
{
    std::vector<Loaded> pages;
    EXPECT_EQ(try_load_pages(path, &pages, UINT32_MAX), "");
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
    EXPECT_EQ(try_load(path, &ignored), path + " : " + message);
}
