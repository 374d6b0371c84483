// Types and helpers shared by the TIFF reader, the writer and the program
// entry: the table of messages, the TIFF vocabulary, the sample grid and
// checked allocation.
#pragma once

#include <cstddef>
#include <cstdint>

// Every message the program can print, in one table (message_text). A
// function that can fail returns one of these; MSG_NONE means success.
enum Message : uint8_t {
    MSG_NONE,
    // An input, named by its path.
    MSG_FILE_NOT_FOUND,
    MSG_BAD_MAGIC,
    MSG_NO_PRIMARY_ATTRIBUTE,
    MSG_TOO_LARGE_SIZE,
    MSG_BAD_PHOTOMETRIC,
    MSG_TOO_MANY_SAMPLES,
    MSG_TOO_MANY_BITS,
    MSG_BAD_SAMPLE_FORMAT,
    MSG_BAD_PLANAR,
    MSG_BAD_FILL_ORDER,
    MSG_UNKNOWN_COMPRESSION,
    MSG_UNKNOWN_PREDICTOR,
    MSG_DESCRIPTION_MEMORY,
    MSG_CELL_MEMORY,
    MSG_BAD_ROWS_PER_STRIP,
    MSG_STRIP_OFFSET_MEMORY,
    MSG_STRIP_OFFSET_NOT_FOUND,
    MSG_STRIP_OFFSET_COUNT,
    MSG_BYTE_COUNT_MEMORY,
    MSG_BYTE_COUNT_NOT_FOUND,
    MSG_BYTE_COUNT_COUNT,
    MSG_BAD_TILE_SIZE,
    MSG_TILE_OFFSET_MEMORY,
    MSG_TILE_OFFSET_NOT_FOUND,
    MSG_TILE_OFFSET_COUNT,
    MSG_TILE_BYTE_COUNT_MEMORY,
    MSG_TILE_BYTE_COUNT_NOT_FOUND,
    MSG_TILE_BYTE_COUNT_COUNT,
    MSG_RAW_TOO_FEW,
    MSG_RAW_TOO_MANY,
    MSG_END_OF_FILE,  // of the file: its directory, a value, an uncompressed strip
    MSG_MPB_TOO_FEW,
    MSG_MPB_TOO_MANY,
    MSG_MPB_END_OF_FILE,
    MSG_LZW_TOO_FEW,
    MSG_LZW_NO_FIRST_CLEAR,
    MSG_LZW_EARLY_END,
    MSG_LZW_BAD_CODE_AFTER_CLEAR,
    MSG_LZW_TOO_LARGE_CODE,
    MSG_LZW_TABLE_OVERFLOW,
    MSG_LZW_NO_END,
    MSG_LZW_TOO_MANY,
    MSG_LZW_END_OF_FILE,
    MSG_DEFLATE_TOO_FEW,
    MSG_DEFLATE_BAD_HEADER,
    MSG_DEFLATE_BAD_BLOCK_TYPE,
    MSG_DEFLATE_BAD_STORED_LENGTH,
    MSG_DEFLATE_BAD_CODE_LENGTHS,
    MSG_DEFLATE_BAD_CODE,
    MSG_DEFLATE_TOO_FAR,
    MSG_DEFLATE_EARLY_END,
    MSG_DEFLATE_NO_END,
    MSG_DEFLATE_BAD_CHECKSUM,
    MSG_DEFLATE_TOO_MANY,
    MSG_DEFLATE_END_OF_FILE,
    MSG_SIZE_MISMATCH,  // names the divisor
    MSG_PAGE_COUNT_MISMATCH,  // names the divisor
    // The result, named by no path.
    MSG_RESULT_MEMORY_1,
    MSG_RESULT_MEMORY_2,
    // The output, named by its path.
    MSG_NOT_STORED,
    MSG_WORK_MEMORY,
    MSG_COUNT
};

const char *message_text(Message message);

// Tags of the TIFF standard that the reader or the writer uses, by the names
// the standard gives them.
enum TiffTag : uint16_t {
    TAG_NEW_SUBFILE_TYPE = 254,
    TAG_IMAGE_WIDTH = 256,
    TAG_IMAGE_LENGTH = 257,
    TAG_BITS_PER_SAMPLE = 258,
    TAG_COMPRESSION = 259,
    TAG_PHOTOMETRIC = 262,
    TAG_FILL_ORDER = 266,
    TAG_IMAGE_DESCRIPTION = 270,
    TAG_STRIP_OFFSETS = 273,
    TAG_SAMPLES_PER_PIXEL = 277,
    TAG_ROWS_PER_STRIP = 278,
    TAG_STRIP_BYTE_COUNTS = 279,
    TAG_PLANAR_CONFIGURATION = 284,
    TAG_PREDICTOR = 317,
    TAG_TILE_WIDTH = 322,
    TAG_TILE_LENGTH = 323,
    TAG_TILE_OFFSETS = 324,
    TAG_TILE_BYTE_COUNTS = 325,
    TAG_SAMPLE_FORMAT = 339,
};

// Field types of directory entries.
enum TiffType : uint16_t {
    TYPE_BYTE = 1,
    TYPE_ASCII = 2,
    TYPE_SHORT = 3,
    TYPE_LONG = 4,
    TYPE_LONG8 = 16,  // BigTIFF only
};

// Values of the Compression tag.
enum TiffCompression : uint16_t {
    COMPRESSION_NONE = 1,
    COMPRESSION_LZW = 5,
    COMPRESSION_DEFLATE = 8,  // Adobe Deflate
    COMPRESSION_PACKBITS = 32773,
    COMPRESSION_OLD_DEFLATE = 32946,
};

// An image of unsigned 16-bit samples: `height` rows of `width` samples in
// one block, `samples`, reached through the `rows` table.
struct SampleGrid {
    int32_t width = 0;
    int32_t height = 0;
    uint16_t **rows = nullptr;
    uint16_t *samples = nullptr;
};

// Allocates a width x height grid and sets its row table. Returns 0 on
// success, 1 when the row table, 2 when the sample block cannot be had.
int allocate_sample_grid(SampleGrid *grid, uint32_t width, uint32_t height);
void release_sample_grid(SampleGrid *grid);

// Heap blocks for every size that comes from file data: null on failure,
// and for allocate_array also when count x size does not fit in size_t.
void *allocate_array(size_t count, size_t size);
void *allocate_zeroed(size_t count, size_t size);
void release_memory(void *block);

// Whether the allocation about to be made fails: always false, but in a
// build with IMGRATIO_ALLOCATION_SEAM, made for the tests only, for the
// allocation whose number (from 1) the environment variable
// IMGRATIO_FAIL_ALLOCATION gives, so that every failure path can be
// reached. The functions above ask it; so does the start of a thread, whose
// stack is an allocation too.
bool allocation_fails_here();

// True on a host that stores the high byte of a 16-bit value first.
bool host_is_big_endian();

// What the processor offers beyond the build's baseline, for the few loops
// built a second time for it: written once, forced inline into a plain
// function and into one marked BUILT_FOR("avx2") (or "bmi2"), and the
// second chosen once at start where the feature is there. Only GCC and
// Clang on x86-64 tell the features; elsewhere both builds are plain and
// the first is used.
struct HostFeatures {
    bool bmi2;
    bool avx2;
};
HostFeatures host_features();
#if defined(__GNUC__) && defined(__x86_64__)
#define BUILT_FOR(isa) __attribute__((target(isa)))
#else
#define BUILT_FOR(isa)
#endif
#if defined(__GNUC__)
#define ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define ALWAYS_INLINE inline
#endif
