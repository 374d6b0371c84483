// imgratio DIVIDEND DIVISOR OUTPUT: stores 1000 x DIVIDEND / DIVISOR, sample by
// sample, as a 16-bit TIFF carrying the dividend's description.
//
// Both inputs are open at once and their rows stream through the ratio into
// the store. Which failure wins is that of reading the whole dividend, then
// the whole divisor, then storing: every dividend error, then the
// divisor's, then a size mismatch, then the result's memory, then the
// output's. So once a failure is known, the inputs are still read to their
// ends for any error that outranks it, and nothing is stored.
#include <cstdio>

#include "app/app.h"
#include "common/common.h"
#include "tiff_in/tiff_in.h"
#include "tiff_out/tiff_out.h"

namespace {

int fail(const char *path, Message message)
{
    if (path != nullptr)
        std::fprintf(stderr, "%s : %s\n", path, message_text(message));
    else
        std::fprintf(stderr, "%s\n", message_text(message));
    return 1;
}

struct Run {
    TiffInput dividend;
    TiffInput divisor;
    RowSource divisor_rows;
    SampleGrid result;  // one row
    TiffStore store;
    Message later_failure = MSG_NONE;  // after both inputs': mismatch, result, output
    const char *later_path = nullptr;
};

// Sets up the result row and the store once both inputs have opened;
// false when the rows cannot be stored.
bool begin_output(Run *r, const char *output_path)
{
    if (r->dividend.width != r->divisor.width || r->dividend.height != r->divisor.height) {
        r->later_failure = MSG_SIZE_MISMATCH;
        r->later_path = r->divisor.path;
        return false;
    }
    switch (allocate_sample_grid(&r->result, r->divisor.width, 1)) {
    case 1: r->later_failure = MSG_RESULT_MEMORY_1; return false;
    case 2: r->later_failure = MSG_RESULT_MEMORY_2; return false;
    }
    r->later_path = output_path;
    r->later_failure = begin_store(&r->store, output_path, r->divisor.width, r->divisor.height, 16,
                                   r->dividend.description);
    return r->later_failure == MSG_NONE;
}

// The rows of both inputs through the ratio into the store, until the
// first failure, which is left in the input or in r->later_failure.
void stream_rows(Run *r)
{
    for (uint32_t y = 0; y < r->dividend.height; ++y) {
        if (read_tiff_row(&r->dividend) != MSG_NONE)
            return;
        const uint16_t *divisor_row = next_source_row(&r->divisor_rows);
        if (divisor_row == nullptr)
            return;
        compute_ratio_row(r->dividend.row, divisor_row, r->result.samples, r->dividend.width);
        release_source_row(&r->divisor_rows);
        r->later_failure = store_row(&r->store, r->result.samples);
        if (r->later_failure != MSG_NONE)
            return;
    }
}

}  // namespace

int run_imgratio(int argc, char **argv)
{
    // Exactly three paths: a fourth is most often a glob that matched one
    // file more than meant, whose last file would be taken as the output.
    if (argc != 4) {
        std::fputs("usage : imgratio input1.tif input2.tif output.tif\n", stderr);
        return 1;
    }
    Run r;
    if (open_tiff_input(&r.dividend, argv[1]) != MSG_NONE)
        return fail(argv[1], r.dividend.failure);
    if (open_tiff_input(&r.divisor, argv[2]) == MSG_NONE && begin_output(&r, argv[3])) {
        start_row_source(&r.divisor_rows, &r.divisor);
        stream_rows(&r);
        stop_row_source(&r.divisor_rows);
    }
    // What is left unread still has to be free of errors that outrank the
    // one already met.
    if (skip_tiff_rows(&r.dividend) == MSG_NONE)
        skip_tiff_rows(&r.divisor);

    bool inputs_whole = r.dividend.failure == MSG_NONE && r.divisor.failure == MSG_NONE;
    if (inputs_whole && r.later_failure == MSG_NONE)
        r.later_failure = finish_store(&r.store);
    else
        abandon_store(&r.store);
    release_sample_grid(&r.result);
    close_tiff_input(&r.dividend);
    close_tiff_input(&r.divisor);
    if (r.dividend.failure != MSG_NONE)
        return fail(argv[1], r.dividend.failure);
    if (r.divisor.failure != MSG_NONE)
        return fail(argv[2], r.divisor.failure);
    if (r.later_failure != MSG_NONE)
        return fail(r.later_path, r.later_failure);
    return 0;
}
