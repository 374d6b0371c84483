// The program: its flow, the rows of the divisor, read here or on a second
// thread, and the ratio kernel, the scaled quotient of two images sample by
// sample.
#pragma once

#include <cstdint>

#include "tiff_in/tiff_in.h"

// a / b in IEEE double, times 1000.0, truncated toward zero to a signed
// 64-bit integer, low 16 bits kept (no clamping). A zero divisor gives 0: the
// conversion of an infinite or NaN quotient is defined as the integer with
// only the sign bit set, whose low 16 bits are 0.
//
// Written without branches so that the compiler vectorises it: a zero
// divisor is replaced by 1 and its result masked afterwards, and since the
// scaled quotient lies between 0 and 65535000 the truncation to 32 bits gives
// the same low 16 bits as the one to 64 bits.
inline uint16_t ratio_sample(uint16_t a, uint16_t b)
{
    uint32_t nonzero = b != 0;
    double divisor = static_cast<double>(b | (nonzero ^ 1));
    double scaled = static_cast<double>(a) / divisor * 1000.0;
    uint32_t low_bits = static_cast<uint16_t>(static_cast<int32_t>(scaled));
    return static_cast<uint16_t>(low_bits & (0u - nonzero));
}

// The same for values of any kind: a / b rounded to double, times 1000.0
// rounded to double, truncated toward zero to a signed 64-bit integer, low
// 16 bits kept. A quotient that is infinite or not a number, and a scaled
// quotient outside [-2^63, 2^63), give the integer with only the sign bit
// set, as on the common hosts, but here on every host. For two 16-bit
// samples it equals ratio_sample.
inline uint16_t ratio_value(double a, double b)
{
    double scaled = a / b * 1000.0;
    bool in_range = scaled >= -0x1p63 && scaled < 0x1p63;  // false for NaN
    int64_t truncated = in_range ? static_cast<int64_t>(scaled) : INT64_MIN;
    return static_cast<uint16_t>(static_cast<uint64_t>(truncated));
}

// result[x] = ratio_sample(dividend[x], divisor[x]) for x below width.
void compute_ratio_row(const uint16_t *dividend, const uint16_t *divisor, uint16_t *result, uint32_t width);
// The same for rows of either kind (uint16_t samples or double values):
// ratio_sample where both are samples, ratio_value otherwise.
void compute_ratio_row(const void *dividend, RowKind dividend_kind, const void *divisor, RowKind divisor_kind,
                       uint16_t *result, uint32_t width);

// The dividend page's description as the output carries it: where it is
// OME-XML, its Pixels say uint16; where it is ImageJ's, its image count and
// dimensions match the output's `pages`. Null where the memory cannot be
// had; the caller releases the text with release_memory.
char *output_description(const char *description, uint32_t pages);

// An input's rows one after another, read on the calling thread or, for
// large images, on a second thread into a ring a few rows ahead. The rows
// and the input's failure are the same either way.
struct RowRing;
struct RowSource {
    TiffInput *input = nullptr;
    RowRing *ring = nullptr;  // null: rows are read on the calling thread
};

// Starts taking the rows of an open input. The second thread is used where
// wants_reader_thread says so and the ring and the thread can be had.
void start_row_source(RowSource *source, TiffInput *input);
// The next row, of the input's kind, or null once the input has failed.
const void *next_source_row(RowSource *source);
// The caller is done with the row next_source_row gave it.
void release_source_row(RowSource *source);
// Stops taking rows; the input then stands after the last row read, and its
// failure, if it met one, is in input->failure.
void stop_row_source(RowSource *source);

// Whether rows of `width` samples of `sample_bytes` are read on a second
// thread: only where a ring holds at least two of them (rows of up to
// 512 KiB), then as `setting`
// (IMGRATIO_THREADS) says, "1" never and "2" always, and otherwise for
// images of 4 Mi samples and more, in rows of 512 samples or more, where two
// processors can be had.
bool wants_reader_thread(uint32_t width, uint32_t sample_bytes, uint32_t height, const char *setting,
                         unsigned processors);

// The whole program: checks the arguments, streams the rows of the dividend
// and the divisor through the ratio into the output, prints the message of
// the failure that wins, if any, and returns the exit status.
int run_imgratio(int argc, char **argv);
