// The table of messages, checked allocation and the sample grid.
#include "common/common.h"

#include <cstdlib>
#include <cstring>

namespace {

const char *const message_texts[] = {
    "",
    "file not found.",
    "bad magic number.",
    "primary image attribute not found.",
    "too large image size.",
    "bad photometric interpretation.",
    "too many samples per pixel.",
    "too many bits per sample.",
    "bad sample format.",
    "bad planar configuration.",
    "bad fill order.",
    "unknown image compression method.",
    "unknown differencing predictor.",
    "image description memory allocation error.",
    "cell memory allocation error.",
    "bad rows per strip.",
    "strip offset memory allocation error.",
    "strip offset not found.",
    "bad number of strip offset.",
    "strip bytes count memory allocation error.",
    "strip bytes count not found.",
    "bad number of strip bytes count.",
    "bad tile size.",
    "tile offset memory allocation error.",
    "tile offset not found.",
    "bad number of tile offset.",
    "tile bytes count memory allocation error.",
    "tile bytes count not found.",
    "bad number of tile bytes count.",
    "too few codes.",
    "too many codes.",
    "unexpected end of file.",
    "MPB too few codes.",
    "MPB too many codes.",
    "MPB unexpected end of file.",
    "LZW too few codes.",
    "LZW missing first clear code.",
    "LZW unexpected end of code.",
    "LZW unknown code after clear code.",
    "LZW too large code.",
    "LZW code table overflow.",
    "LZW missing end of codes.",
    "LZW too many codes.",
    "LZW unexpected end of file.",
    "Deflate too few codes.",
    "Deflate bad header.",
    "Deflate bad block type.",
    "Deflate bad stored block length.",
    "Deflate bad code lengths.",
    "Deflate bad code.",
    "Deflate too far back.",
    "Deflate unexpected end of code.",
    "Deflate missing end of codes.",
    "Deflate bad checksum.",
    "Deflate too many codes.",
    "Deflate unexpected end of file.",
    "image size mismatch.",
    "image count mismatch.",
    "cell memory allocation error (1).",
    "cell memory allocation error (2).",
    "file not stored.",
    "TIFF work memory allocation error.",
};
static_assert(sizeof message_texts / sizeof message_texts[0] == MSG_COUNT, "one text per message");

}  // namespace

#if defined(IMGRATIO_ALLOCATION_SEAM)
bool allocation_fails_here()
{
    static const long fail_at = [] {
        const char *n = std::getenv("IMGRATIO_FAIL_ALLOCATION");
        return n != nullptr ? std::atol(n) : 0L;
    }();
    static long count = 0;
    return ++count == fail_at;
}
#else
bool allocation_fails_here()
{
    return false;
}
#endif

const char *message_text(Message message)
{
    return message < MSG_COUNT ? message_texts[message] : "";
}

void *allocate_array(size_t count, size_t size)
{
    if (size != 0 && count > SIZE_MAX / size)
        return nullptr;
    return allocation_fails_here() ? nullptr : std::malloc(count * size);
}

void *allocate_zeroed(size_t count, size_t size)
{
    return allocation_fails_here() ? nullptr : std::calloc(count, size);
}

void release_memory(void *block)
{
    std::free(block);
}

int allocate_sample_grid(SampleGrid *grid, uint32_t width, uint32_t height)
{
    *grid = SampleGrid{};
    auto rows = static_cast<uint16_t **>(allocate_array(height, sizeof(uint16_t *)));
    if (rows == nullptr)
        return 1;
    size_t samples = 0;
    if (width == 0 || height <= SIZE_MAX / width)
        samples = size_t{width} * height;
    auto block = static_cast<uint16_t *>(samples != 0 ? allocate_array(samples, sizeof(uint16_t)) : nullptr);
    if (block == nullptr) {
        release_memory(rows);
        return 2;
    }
    for (uint32_t y = 0; y < height; ++y)
        rows[y] = block + size_t{y} * width;
    grid->width = static_cast<int32_t>(width);
    grid->height = static_cast<int32_t>(height);
    grid->rows = rows;
    grid->samples = block;
    return 0;
}

void release_sample_grid(SampleGrid *grid)
{
    release_memory(grid->samples);
    release_memory(grid->rows);
    *grid = SampleGrid{};
}

bool host_is_big_endian()
{
    const uint16_t probe = 0x0102;
    unsigned char first;
    std::memcpy(&first, &probe, 1);
    return first == 0x01;
}

HostFeatures host_features()
{
#if defined(__GNUC__) && defined(__x86_64__)
    __builtin_cpu_init();  // callers may run among the static initialisers
    return {__builtin_cpu_supports("bmi2") != 0, __builtin_cpu_supports("avx2") != 0};
#else
    return {false, false};
#endif
}
