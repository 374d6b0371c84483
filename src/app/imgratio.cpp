// imgratio DIVIDEND DIVISOR OUTPUT: stores 1000 x DIVIDEND / DIVISOR, sample by
// sample, as a 16-bit TIFF carrying the dividend's description.
//
// Both inputs are open at once and their rows stream through the ratio into
// the store. Which failure wins is that of reading the whole dividend, then
// the whole divisor, then storing: every dividend error, then the
// divisor's, then a size mismatch, then the result's memory, then the
// output's. So once a failure is known, the inputs are still read to their
// ends for any error that outranks it, and nothing is stored.
//
// Large images have their divisor read on a second thread, a few rows ahead
// of the main thread, which reads the dividend, computes and stores. Both
// threads decode exactly as one would, so output bytes and messages do not
// depend on it.
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

#if defined(__linux__)
#include <sched.h>
#endif

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

// The divisor's rows read ahead on a second thread into a ring of copies.
// Either thread wakes the other only once the ring is half full or half
// empty, so that they do not take turns row by row.
struct RowRing {
    TiffInput *input = nullptr;
    uint16_t *slots = nullptr;  // `capacity` rows of input->width samples
    uint32_t capacity = 0;
    std::mutex lock;
    std::condition_variable row_ready;
    std::condition_variable slot_free;
    uint32_t produced = 0;   // rows put in the ring
    uint32_t consumed = 0;   // rows the main thread is done with
    bool stopped = false;    // the main thread takes no more rows
    bool finished = false;   // the reader puts no more rows
    Message failure = MSG_NONE;  // the input's first, once finished
    std::thread reader;
};

struct Run {
    TiffInput dividend;
    TiffInput divisor;
    SampleGrid result;  // one row
    RowRing ring;
    bool ring_running = false;
    TiffStore store;
    Message divisor_failure = MSG_NONE;
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

// Processors this process may run on; 1 where that cannot be told.
unsigned available_processors()
{
#if defined(__linux__)
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0)
        return static_cast<unsigned>(CPU_COUNT(&set));
    return 1;
#else
    unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : n;
#endif
}

constexpr uint64_t THREAD_MIN_SAMPLES = uint64_t{1} << 22;  // below this, a thread costs more than it saves
constexpr size_t RING_BYTES = size_t{1} << 20;
constexpr size_t RING_MAX_ROW_BYTES = RING_BYTES / 2;

// Whether the divisor is read on a second thread. IMGRATIO_THREADS=1 keeps
// everything on one; IMGRATIO_THREADS=2 uses the second thread whatever the
// image's size.
bool wants_reader_thread(const TiffInput &divisor)
{
    if (size_t{divisor.width} * 2 > RING_MAX_ROW_BYTES)
        return false;
    const char *setting = std::getenv("IMGRATIO_THREADS");
    if (setting != nullptr && std::strcmp(setting, "1") == 0)
        return false;
    if (setting != nullptr && std::strcmp(setting, "2") == 0)
        return true;
    return uint64_t{divisor.width} * divisor.height >= THREAD_MIN_SAMPLES && available_processors() >= 2;
}

uint16_t *ring_slot(RowRing *ring, uint32_t row)
{
    return ring->slots + size_t{row % ring->capacity} * ring->input->width;
}

// The reader thread: the input's rows into the ring, waiting while it is
// full, until the input fails or the main thread stops taking rows. The
// rows it never read are left to the main thread to check.
void read_ahead(RowRing *ring)
{
    TiffInput *in = ring->input;
    Message failure = MSG_NONE;
    for (uint32_t y = 0; y < in->height; ++y) {
        {
            std::unique_lock<std::mutex> hold(ring->lock);
            ring->slot_free.wait(hold, [ring] { return ring->produced - ring->consumed < ring->capacity || ring->stopped; });
            if (ring->stopped)
                break;
        }
        failure = read_tiff_row(in);
        if (failure != MSG_NONE)
            break;
        std::memcpy(ring_slot(ring, y), in->row, size_t{in->width} * 2);
        bool wake;
        {
            std::lock_guard<std::mutex> hold(ring->lock);
            ++ring->produced;
            wake = ring->produced - ring->consumed >= ring->capacity / 2;
        }
        if (wake)
            ring->row_ready.notify_one();
    }
    {
        std::lock_guard<std::mutex> hold(ring->lock);
        ring->failure = failure;
        ring->finished = true;
    }
    ring->row_ready.notify_one();
}

// Starts reading the divisor on a second thread; false, with nothing
// started, when the ring or the thread cannot be had.
bool start_ring(Run *r)
{
    RowRing *ring = &r->ring;
    ring->input = &r->divisor;
    ring->capacity = static_cast<uint32_t>(RING_BYTES / (size_t{r->divisor.width} * 2));
    ring->slots = static_cast<uint16_t *>(allocate_array(size_t{ring->capacity} * r->divisor.width, 2));
    if (ring->slots == nullptr)
        return false;
    try {
        ring->reader = std::thread(read_ahead, ring);
    } catch (const std::system_error &) {
        release_memory(ring->slots);
        ring->slots = nullptr;
        return false;
    }
    return true;
}

// The divisor's next row from the ring, or null with the input's failure.
const uint16_t *take_ring_row(RowRing *ring, Message *failure)
{
    std::unique_lock<std::mutex> hold(ring->lock);
    ring->row_ready.wait(hold, [ring] { return ring->produced != ring->consumed || ring->finished; });
    if (ring->produced != ring->consumed)
        return ring_slot(ring, ring->consumed);
    *failure = ring->failure;
    return nullptr;
}

void release_ring_row(RowRing *ring)
{
    bool wake;
    {
        std::lock_guard<std::mutex> hold(ring->lock);
        ++ring->consumed;
        wake = ring->produced - ring->consumed <= ring->capacity / 2;
    }
    if (wake)
        ring->slot_free.notify_one();
}

// Stops the reader and waits for it; returns the divisor's failure, if it
// met one.
Message stop_ring(RowRing *ring)
{
    {
        std::lock_guard<std::mutex> hold(ring->lock);
        ring->stopped = true;
    }
    ring->slot_free.notify_one();
    ring->reader.join();
    release_memory(ring->slots);
    ring->slots = nullptr;
    return ring->failure;
}

// The divisor's next row, from the ring or read here.
const uint16_t *next_divisor_row(Run *r)
{
    if (r->ring_running)
        return take_ring_row(&r->ring, &r->divisor_failure);
    r->divisor_failure = read_tiff_row(&r->divisor);
    return r->divisor_failure == MSG_NONE ? r->divisor.row : nullptr;
}

// The rows of both inputs through the ratio into the store, until the
// first failure. Returns a dividend failure; others are noted in r.
Message stream_rows(Run *r)
{
    for (uint32_t y = 0; y < r->dividend.height; ++y) {
        Message failure = read_tiff_row(&r->dividend);
        if (failure != MSG_NONE)
            return failure;
        const uint16_t *divisor_row = next_divisor_row(r);
        if (divisor_row == nullptr)
            return MSG_NONE;
        compute_ratio_row(r->dividend.row, divisor_row, r->result.samples, r->dividend.width);
        if (r->ring_running)
            release_ring_row(&r->ring);
        r->later_failure = store_row(&r->store, r->result.samples);
        if (r->later_failure != MSG_NONE)
            return MSG_NONE;
    }
    return MSG_NONE;
}

}  // namespace

int run_imgratio(int argc, char **argv)
{
    if (argc < 4) {
        std::fputs("usage : imgratio input1.tif input2.tif output.tif\n", stderr);
        return 1;
    }
    Run r;
    Message failure = open_tiff_input(&r.dividend, argv[1]);
    if (failure != MSG_NONE)
        return fail(argv[1], failure);
    r.divisor_failure = open_tiff_input(&r.divisor, argv[2]);
    if (r.divisor_failure == MSG_NONE && begin_output(&r, argv[3])) {
        r.ring_running = wants_reader_thread(r.divisor) && start_ring(&r);
        failure = stream_rows(&r);
    }
    if (r.ring_running)
        r.divisor_failure = stop_ring(&r.ring);
    // What is left unread still has to be free of errors that outrank the
    // one already met.
    if (failure == MSG_NONE)
        failure = skip_tiff_rows(&r.dividend);
    if (failure == MSG_NONE && r.divisor_failure == MSG_NONE)
        r.divisor_failure = skip_tiff_rows(&r.divisor);

    if (failure == MSG_NONE && r.divisor_failure == MSG_NONE && r.later_failure == MSG_NONE)
        r.later_failure = finish_store(&r.store);
    else
        abandon_store(&r.store);
    release_sample_grid(&r.result);
    close_tiff_input(&r.dividend);
    close_tiff_input(&r.divisor);
    if (failure != MSG_NONE)
        return fail(argv[1], failure);
    if (r.divisor_failure != MSG_NONE)
        return fail(argv[2], r.divisor_failure);
    if (r.later_failure != MSG_NONE)
        return fail(r.later_path, r.later_failure);
    return 0;
}
