// The TIFF writer. The file is written front to back after its 8-byte header
// is reserved; the header goes in last, so an interrupted store never leaves
// a file that starts like a TIFF. Every byte passes through one buffer whose
// writes are checked, and any failure removes what was written.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "tiff_out/tiff_out.h"

namespace {

constexpr uint16_t TYPE_ASCII = 2;
constexpr uint16_t TYPE_SHORT = 3;
constexpr uint16_t TYPE_LONG = 4;
constexpr uint64_t MAX_STRIP_BYTES = 8192;

const bool host_big_endian = host_is_big_endian();

std::FILE *output_stream = nullptr;
const char *output_path = nullptr;
bool output_removable = false;  // a regular file that this store created or truncated
uint32_t strip_bytes_written = 0;

unsigned char out_buffer[1 << 20];
size_t out_used = 0;
bool out_failed = false;

[[noreturn]] void fail_store(const char *message)
{
    if (output_stream != nullptr)
        std::fclose(output_stream);
    output_stream = nullptr;
    if (output_removable)
        std::remove(output_path);
    fatal_path_message(output_path, message);
}

void flush_output()
{
    if (out_used != 0 && std::fwrite(out_buffer, 1, out_used, output_stream) != out_used)
        out_failed = true;
    out_used = 0;
}

inline void put_byte(uint32_t byte)
{
    if (out_used == sizeof out_buffer)
        flush_output();
    out_buffer[out_used++] = static_cast<unsigned char>(byte);
}

void put_u16_be(uint32_t value)
{
    put_byte((value >> 8) & 0xFF);
    put_byte(value & 0xFF);
}

void put_u32_be(uint32_t value)
{
    put_u16_be(value >> 16);
    put_u16_be(value & 0xFFFF);
}

void seek_output(long offset)
{
    flush_output();
    if (std::fseek(output_stream, offset, SEEK_SET) != 0)
        out_failed = true;
}

inline void put_sample_byte(uint32_t byte)
{
    put_byte(byte);
    ++strip_bytes_written;
}

// Byte-swapped 16-bit samples; the buffers never overlap, which lets the
// compiler vectorise the loop.
void store_swapped(unsigned char *__restrict out, const uint16_t *__restrict samples, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        uint16_t swapped = static_cast<uint16_t>((samples[i] >> 8) | (samples[i] << 8));
        std::memcpy(out + 2 * i, &swapped, 2);
    }
}

// Room for at least `bytes` more in the output buffer, flushing it if need be;
// returns how many whole samples of that size fit.
size_t sample_room(size_t bytes_per_sample)
{
    if (sizeof out_buffer - out_used < bytes_per_sample)
        flush_output();
    return (sizeof out_buffer - out_used) / bytes_per_sample;
}

// 8 bits: a sample's low byte; 16 bits: high byte first.
void put_row_bytes(const uint16_t *row, uint32_t width, size_t bytes_per_sample)
{
    for (uint32_t x = 0; x < width;) {
        size_t room = sample_room(bytes_per_sample);
        uint32_t n = static_cast<uint32_t>(room < width - x ? room : width - x);
        unsigned char *out = out_buffer + out_used;
        if (bytes_per_sample == 2) {
            // High byte first: the samples as they are in memory on a
            // big-endian host, byte-swapped on a little-endian one.
            if (host_big_endian) {
                std::memcpy(out, row + x, 2 * size_t{n});
            } else {
                store_swapped(out, row + x, n);
            }
        } else {
            for (size_t i = 0; i < n; ++i)
                out[i] = static_cast<unsigned char>(row[x + i]);
        }
        out_used += n * bytes_per_sample;
        strip_bytes_written += static_cast<uint32_t>(n * bytes_per_sample);
        x += n;
    }
}

// Samples of other depths are packed most significant bit first; each row
// starts on a byte boundary and its last byte is padded with zero bits.
// Sample bits above the depth are ignored.
void put_row(const uint16_t *row, uint32_t width, uint32_t bits)
{
    if (bits == 8 || bits == 16) {
        put_row_bytes(row, width, bits / 8);
        return;
    }
    uint32_t sample_mask = (1u << (bits - 1)) & 0xFFFF;
    uint32_t byte = 0;
    uint32_t out_bit = 0x80;
    for (uint32_t x = 0; x < width; ++x) {
        for (uint32_t test = sample_mask; test != 0; test >>= 1) {
            if (row[x] & test)
                byte |= out_bit;
            if (out_bit == 1) {
                put_sample_byte(byte);
                byte = 0;
                out_bit = 0x80;
            } else {
                out_bit >>= 1;
            }
        }
    }
    if (out_bit != 0x80)
        put_sample_byte(byte);
}

void put_entry(uint16_t tag, uint16_t type, uint32_t count, uint32_t value)
{
    put_u16_be(tag);
    put_u16_be(type);
    put_u32_be(count);
    if (type == TYPE_SHORT) {
        put_u16_be(value);
        put_u16_be(0);
    } else {
        put_u32_be(value);
    }
}

// Sizes above 65535 do not fit a SHORT; readers accept either type.
void put_size_entry(uint16_t tag, uint32_t size)
{
    put_entry(tag, size > 0xFFFF ? TYPE_LONG : TYPE_SHORT, 1, size);
}

bool is_regular_file_itself(const char *path)
{
    std::error_code error;
    return std::filesystem::symlink_status(path, error).type() ==
           std::filesystem::file_type::regular;
}

}  // namespace

void store_tiff_image(const char *path, int32_t width, int32_t height,
                      int32_t bits_per_sample, const SampleGrid &grid,
                      const char *description)
{
    output_path = path;
    output_stream = nullptr;
    output_removable = false;
    if (width < 1 || height < 1 || bits_per_sample < 1 || bits_per_sample > 16)
        fail_store("file not stored.");

    uint64_t bytes_per_row = (static_cast<uint64_t>(width) * bits_per_sample + 7) / 8;
    uint64_t rows_per_strip = bytes_per_row <= MAX_STRIP_BYTES ? MAX_STRIP_BYTES / bytes_per_row : 1;
    uint64_t strip_count = (height + rows_per_strip - 1) / rows_per_strip;
    uint64_t description_length = description != nullptr ? std::strlen(description) + 1 : 0;
    uint64_t data_offset = description_length <= 4 ? 8 : 8 + description_length + (description_length & 1);
    uint64_t data_end = data_offset + bytes_per_row * static_cast<uint64_t>(height);
    uint64_t arrays_offset = data_end + (data_end & 1);
    uint64_t ifd_offset = arrays_offset + (strip_count > 1 ? 8 * strip_count : 0);
    uint32_t entry_count = description != nullptr ? 12 : 11;
    uint64_t file_size = ifd_offset + 2 + 12 * entry_count + 4;
    // Every offset in the file must fit its 32-bit field.
    if (file_size > 0xFFFFFFFFu)
        fail_store("file not stored.");

    output_stream = std::fopen(path, "wb");
    if (output_stream == nullptr)
        fail_store("file not stored.");
    output_removable = is_regular_file_itself(path);
    std::setvbuf(output_stream, nullptr, _IONBF, 0);
    out_used = 0;
    out_failed = false;

    uint32_t *strip_byte_counts =
        static_cast<uint32_t *>(allocate_memory(static_cast<size_t>(strip_count) * sizeof(uint32_t)));
    if (strip_byte_counts == nullptr)
        fail_store("TIFF work memory allocation error.");

    seek_output(8);
    if (description_length > 4) {
        for (uint64_t i = 0; i < description_length; ++i)
            put_byte(static_cast<unsigned char>(description[i]));
        if (description_length & 1)
            put_byte(0);
    }

    for (uint64_t y = 0; y < static_cast<uint64_t>(height); ++y) {
        if (y % rows_per_strip == 0)
            strip_bytes_written = 0;
        put_row(grid.rows[y], static_cast<uint32_t>(width), static_cast<uint32_t>(bits_per_sample));
        if (y + 1 == static_cast<uint64_t>(height) || (y + 1) % rows_per_strip == 0)
            strip_byte_counts[y / rows_per_strip] = strip_bytes_written;
        if (out_failed)
            fail_store("file not stored.");
    }
    if (data_end & 1)
        put_byte(0);

    uint32_t strip_offsets_field = static_cast<uint32_t>(data_offset);
    uint32_t strip_byte_counts_field = strip_byte_counts[0];
    if (strip_count > 1) {
        uint32_t offset = static_cast<uint32_t>(data_offset);
        for (uint64_t s = 0; s < strip_count; ++s) {
            put_u32_be(offset);
            offset += strip_byte_counts[s];
        }
        for (uint64_t s = 0; s < strip_count; ++s)
            put_u32_be(strip_byte_counts[s]);
        strip_offsets_field = static_cast<uint32_t>(arrays_offset);
        strip_byte_counts_field = static_cast<uint32_t>(arrays_offset + 4 * strip_count);
    }

    put_u16_be(entry_count);
    put_size_entry(256, static_cast<uint32_t>(width));
    put_size_entry(257, static_cast<uint32_t>(height));
    put_entry(258, TYPE_SHORT, 1, static_cast<uint32_t>(bits_per_sample));
    put_entry(259, TYPE_SHORT, 1, 1);
    put_entry(262, TYPE_SHORT, 1, bits_per_sample == 1 ? 0 : 1);
    put_entry(266, TYPE_SHORT, 1, 1);
    if (description != nullptr) {
        put_u16_be(270);
        put_u16_be(TYPE_ASCII);
        put_u32_be(static_cast<uint32_t>(description_length));
        if (description_length <= 4) {
            // The text and its zero byte stand in the value field itself.
            for (uint64_t i = 0; i < 4; ++i)
                put_byte(i < description_length ? static_cast<unsigned char>(description[i]) : 0);
        } else {
            put_u32_be(8);
        }
    }
    put_entry(273, TYPE_LONG, static_cast<uint32_t>(strip_count), strip_offsets_field);
    put_entry(277, TYPE_SHORT, 1, 1);
    put_entry(278, TYPE_SHORT, 1, static_cast<uint32_t>(rows_per_strip));
    put_entry(279, TYPE_LONG, static_cast<uint32_t>(strip_count), strip_byte_counts_field);
    put_entry(284, TYPE_SHORT, 1, 1);
    put_u32_be(0);

    seek_output(0);
    put_u32_be(0x4D4D002A);
    put_u32_be(static_cast<uint32_t>(ifd_offset));
    flush_output();
    release_memory(strip_byte_counts);
    bool closed = std::fclose(output_stream) == 0;
    output_stream = nullptr;
    if (out_failed || !closed)
        fail_store("file not stored.");
}
