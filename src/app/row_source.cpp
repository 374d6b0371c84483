// An input's rows, read on the calling thread or on a second one. The second
// thread reads rows into a ring of copies while the caller works on the rows
// before them; either thread wakes the other only once the ring is half full
// or half empty, so that they do not take turns row by row. The input is
// decoded exactly as on one thread, so rows and failures do not depend on it.
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#if defined(__linux__)
#include <sched.h>
#endif

#include "app/app.h"

struct RowRing {
    TiffInput *input = nullptr;
    uint8_t *slots = nullptr;  // `capacity` rows of `row_bytes`
    size_t row_bytes = 0;
    uint32_t capacity = 0;
    std::mutex lock;
    std::condition_variable row_ready;
    std::condition_variable slot_free;
    uint32_t produced = 0;  // rows put in the ring
    uint32_t consumed = 0;  // rows the caller is done with
    bool stopped = false;   // the caller takes no more rows
    bool finished = false;  // the reader puts no more rows
    std::thread reader;
};

namespace {

constexpr uint64_t THREAD_MIN_SAMPLES = uint64_t{1} << 22;  // below this, a thread costs more than it saves
// Rows narrower than this cost less to read than the ring's locking of each.
constexpr uint32_t THREAD_MIN_WIDTH = 512;
constexpr size_t RING_BYTES = size_t{1} << 20;
constexpr size_t RING_MAX_ROW_BYTES = RING_BYTES / 2;

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

uint8_t *ring_slot(RowRing *ring, uint32_t row)
{
    return ring->slots + size_t{row % ring->capacity} * ring->row_bytes;
}

// The second thread: the input's rows into the ring, waiting while it is
// full, until the input fails or the caller stops taking rows. The rows it
// never read are left to the caller.
void read_ahead(RowRing *ring)
{
    TiffInput *in = ring->input;
    for (uint32_t y = 0; y < in->height; ++y) {
        {
            std::unique_lock<std::mutex> hold(ring->lock);
            ring->slot_free.wait(hold, [ring] { return ring->produced - ring->consumed < ring->capacity || ring->stopped; });
            if (ring->stopped)
                break;
        }
        if (read_tiff_row(in) != MSG_NONE)
            break;
        std::memcpy(ring_slot(ring, y), last_row(in), ring->row_bytes);
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
        ring->finished = true;
    }
    ring->row_ready.notify_one();
}

void release_ring(RowRing *ring)
{
    ring->~RowRing();
    release_memory(ring);
}

// The ring, in one block with its slots, and the thread that fills it; null,
// with nothing started, when either cannot be had.
RowRing *start_ring(TiffInput *input)
{
    size_t header = (sizeof(RowRing) + 15) / 16 * 16;
    size_t row_bytes = size_t{input->width} * row_sample_bytes(input);
    auto capacity = static_cast<uint32_t>(RING_BYTES / row_bytes);
    void *block = allocate_array(header + capacity * row_bytes, 1);
    if (block == nullptr)
        return nullptr;
    RowRing *ring = new (block) RowRing;
    ring->input = input;
    ring->row_bytes = row_bytes;
    ring->capacity = capacity;
    ring->slots = static_cast<uint8_t *>(block) + header;
    if (allocation_fails_here()) {
        release_ring(ring);
        return nullptr;
    }
    try {
        ring->reader = std::thread(read_ahead, ring);
    } catch (const std::system_error &) {
        release_ring(ring);
        return nullptr;
    }
    return ring;
}

}  // namespace

bool wants_reader_thread(uint32_t width, uint32_t sample_bytes, uint32_t height, const char *setting,
                         unsigned processors)
{
    if (size_t{width} * sample_bytes > RING_MAX_ROW_BYTES)
        return false;
    if (setting != nullptr && std::strcmp(setting, "1") == 0)
        return false;
    if (setting != nullptr && std::strcmp(setting, "2") == 0)
        return true;
    return width >= THREAD_MIN_WIDTH && uint64_t{width} * height >= THREAD_MIN_SAMPLES && processors >= 2;
}

void start_row_source(RowSource *source, TiffInput *input)
{
    *source = RowSource{};
    source->input = input;
    if (wants_reader_thread(input->width, row_sample_bytes(input), input->height, std::getenv("IMGRATIO_THREADS"),
                            available_processors()))
        source->ring = start_ring(input);
}

const void *next_source_row(RowSource *source)
{
    RowRing *ring = source->ring;
    if (ring == nullptr)
        return read_tiff_row(source->input) == MSG_NONE ? last_row(source->input) : nullptr;
    std::unique_lock<std::mutex> hold(ring->lock);
    ring->row_ready.wait(hold, [ring] { return ring->produced != ring->consumed || ring->finished; });
    return ring->produced != ring->consumed ? ring_slot(ring, ring->consumed) : nullptr;
}

void release_source_row(RowSource *source)
{
    RowRing *ring = source->ring;
    if (ring == nullptr)
        return;
    bool wake;
    {
        std::lock_guard<std::mutex> hold(ring->lock);
        ++ring->consumed;
        wake = ring->produced - ring->consumed <= ring->capacity / 2;
    }
    if (wake)
        ring->slot_free.notify_one();
}

void stop_row_source(RowSource *source)
{
    RowRing *ring = source->ring;
    if (ring == nullptr)
        return;
    {
        std::lock_guard<std::mutex> hold(ring->lock);
        ring->stopped = true;
    }
    ring->slot_free.notify_one();
    ring->reader.join();
    release_ring(ring);
    source->ring = nullptr;
}
