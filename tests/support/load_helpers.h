// Loading test files through the real reader, whole.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "support/tiff_builder.h"

struct Loaded {
    int32_t width = 0, height = 0, bits = 0;
    std::vector<uint16_t> samples;  // row-major, of pages read as samples
    std::vector<double> values;     // row-major, of pages read as values
    std::optional<std::string> description;
};

Loaded load_file(const std::string &path);
// The first page, or "<path> : <message>" where it is refused.
std::string try_load(const std::string &path, Loaded *result);
// Every page of a file; a refusal fails the test.
std::vector<Loaded> load_pages(const std::string &path);
Loaded load_bytes(const Bytes &bytes);

// Expects loading `bytes` to fail with "<path> : <message>".
void expect_refusal(const Bytes &bytes, const std::string &message);
