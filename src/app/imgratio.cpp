// imgratio DIVIDEND DIVISOR OUTPUT: stores 1000 x DIVIDEND / DIVISOR, sample by
// sample, as a 16-bit TIFF carrying the dividend's descriptions. Stacks are
// divided page by page, or every dividend page by a divisor of one page.
//
// Both inputs are open at once and their rows stream through the ratio into
// the store. Which failure wins is that of reading the whole dividend, page
// by page, then the whole divisor, then storing: every dividend error, then
// the divisor's, then a page count mismatch, then a size mismatch, then the
// result's memory, then the output's. So once a failure is known, the
// inputs are still read to their ends for any error that outranks it, and
// nothing is stored.
#include <cstdio>
#include <cstring>

#include "app/app.h"
#include "common/common.h"
#include "tiff_in/tiff_in.h"
#include "tiff_out/tiff_out.h"

namespace {

// "PATH : MESSAGE", or "PATH : page K: MESSAGE" from the second page on.
int fail(const char *path, uint32_t page, Message message)
{
    if (path == nullptr)
        std::fprintf(stderr, "%s\n", message_text(message));
    else if (page >= 2)
        std::fprintf(stderr, "%s : page %u: %s\n", path, page, message_text(message));
    else
        std::fprintf(stderr, "%s : %s\n", path, message_text(message));
    return 1;
}

struct Run {
    TiffInput dividend;
    TiffInput divisor;
    RowSource divisor_rows;
    SampleGrid result;  // one row
    TiffStore store;
    Message later_failure = MSG_NONE;  // after both inputs': counts, sizes, result, output
    const char *later_path = nullptr;
    uint32_t later_page = 0;
};

bool inputs_whole(const Run *r)
{
    return r->dividend.failure == MSG_NONE && r->divisor.failure == MSG_NONE;
}

// Sets up the result row and the store for the page pair both inputs stand
// at, while nothing has failed; false when its rows are not to be stored.
bool begin_output_page(Run *r, const char *output_path)
{
    if (!inputs_whole(r) || r->later_failure != MSG_NONE)
        return false;
    const TiffInput &a = r->dividend, &b = r->divisor;
    if (a.width != b.width || a.height != b.height) {
        r->later_failure = MSG_SIZE_MISMATCH;
        r->later_path = b.path;
        r->later_page = a.page;
        return false;
    }
    if (r->result.width != static_cast<int32_t>(a.width)) {
        release_sample_grid(&r->result);
        switch (allocate_sample_grid(&r->result, a.width, 1)) {
        case 1: r->later_failure = MSG_RESULT_MEMORY_1; return false;
        case 2: r->later_failure = MSG_RESULT_MEMORY_2; return false;
        }
    }
    r->later_path = output_path;
    char *description = a.description != nullptr ? output_description(a.description, a.pages) : nullptr;
    if (a.description != nullptr && description == nullptr)
        r->later_failure = MSG_WORK_MEMORY;
    else if (a.page == 1)
        r->later_failure = begin_store(&r->store, output_path, a.width, a.height, 16, description, a.pages);
    else
        r->later_failure = next_store_page(&r->store, a.width, a.height, description);
    release_memory(description);
    return r->later_failure == MSG_NONE;
}

// The page pair's rows through the ratio into the store, until the first
// failure, which is left in the input or in r->later_failure.
void stream_rows(Run *r)
{
    start_row_source(&r->divisor_rows, &r->divisor);
    for (uint32_t y = 0; y < r->dividend.height; ++y) {
        if (read_tiff_row(&r->dividend) != MSG_NONE)
            break;
        const void *divisor_row = next_source_row(&r->divisor_rows);
        if (divisor_row == nullptr)
            break;
        compute_ratio_row(last_row(&r->dividend), r->dividend.kind, divisor_row, r->divisor.kind,
                          r->result.samples, r->dividend.width);
        release_source_row(&r->divisor_rows);
        r->later_failure = store_row(&r->store, r->result.samples);
        if (r->later_failure != MSG_NONE)
            break;
    }
    stop_row_source(&r->divisor_rows);
}

// Every page of an input, for its errors only.
void skip_pages(TiffInput *in)
{
    while (skip_tiff_rows(in) == MSG_NONE && in->page < in->pages)
        next_tiff_page(in);
}

// Page pair after page pair, each streamed while nothing has failed and
// otherwise read to its end for errors that outrank the one met.
void divide_pages(Run *r, const char *output_path)
{
    for (;;) {
        if (begin_output_page(r, output_path))
            stream_rows(r);
        if (skip_tiff_rows(&r->dividend) != MSG_NONE)
            return;  // the dividend's error outranks every other
        skip_tiff_rows(&r->divisor);
        if (r->dividend.page == r->dividend.pages)
            return;
        next_tiff_page(&r->dividend);
        if (r->divisor.pages == 1)
            rewind_tiff_page(&r->divisor);
        else
            next_tiff_page(&r->divisor);
    }
}

}  // namespace

int run_imgratio(int argc, char **argv)
{
    static const char usage[] = "usage : imgratio input1.tif input2.tif output.tif\n";
    // The only options, and only as the sole argument: any file name is
    // taken as a path in a call of three.
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(usage, stdout);
        std::fputs("Stores 1000 x input1 / input2, sample by sample, as a 16-bit TIFF.\n"
                   "  input1.tif  the dividend: a single-channel TIFF image or stack\n"
                   "  input2.tif  the divisor: as many pages as the dividend, or one\n"
                   "  output.tif  the output, replaced whole or not at all\n"
                   "The manual page imgratio(1) gives the inputs read, the arithmetic and every message.\n",
                   stdout);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::fputs("imgratio " IMGRATIO_VERSION "\n", stdout);
        return 0;
    }
    // Exactly three paths: a fourth is most often a glob that matched one
    // file more than meant, whose last file would be taken as the output.
    if (argc != 4) {
        std::fputs(usage, stderr);
        return 1;
    }
    Run r;
    if (open_tiff_input(&r.dividend, argv[1]) != MSG_NONE)
        return fail(argv[1], r.dividend.page, r.dividend.failure);
    open_tiff_input(&r.divisor, argv[2]);
    uint32_t pages = r.dividend.pages, divisor_pages = r.divisor.pages;
    if (r.divisor.failure == MSG_NONE && divisor_pages != pages && divisor_pages != 1) {
        r.later_failure = MSG_PAGE_COUNT_MISMATCH;
        r.later_path = argv[2];
        skip_pages(&r.dividend);
        if (r.dividend.failure == MSG_NONE)
            skip_pages(&r.divisor);
    } else {
        divide_pages(&r, argv[3]);
    }

    if (inputs_whole(&r) && r.later_failure == MSG_NONE)
        r.later_failure = finish_store(&r.store);
    else
        abandon_store(&r.store);
    release_sample_grid(&r.result);
    close_tiff_input(&r.dividend);
    close_tiff_input(&r.divisor);
    if (r.dividend.failure != MSG_NONE)
        return fail(argv[1], r.dividend.page, r.dividend.failure);
    if (r.divisor.failure != MSG_NONE)
        return fail(argv[2], r.divisor.page, r.divisor.failure);
    if (r.later_failure != MSG_NONE)
        return fail(r.later_path, r.later_page, r.later_failure);
    return 0;
}
