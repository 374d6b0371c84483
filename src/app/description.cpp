// The dividend's description as the output carries it. The output holds
// 16-bit unsigned samples and the dividend's page count, so where the text
// states a pixel type or a page count that the output does not have, only
// that is rewritten: OME-XML's Pixels Type (and SignificantBits), and an
// ImageJ description's image count and, where they no longer multiply to
// it, its dimensions; OME's channel count where one channel was split out.
// Everything else is carried byte for byte.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/app.h"

namespace {

// The text being built, in a block the size of the worst case.
struct Text {
    char *out;
    size_t length;
};

void append(Text *t, const char *s, size_t n)
{
    std::memcpy(t->out + t->length, s, n);
    t->length += n;
}

bool starts_with(const char *s, const char *prefix)
{
    return std::strncmp(s, prefix, std::strlen(prefix)) == 0;
}

// ---- OME-XML ----

// The value of attribute `name` inside the start tag [tag, end): where its
// quoted value begins, or null.
const char *attribute_value(const char *tag, const char *end, const char *name, char *quote)
{
    size_t n = std::strlen(name);
    for (const char *p = tag; p + n + 2 < end; ++p)
        if ((*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r') && std::strncmp(p + 1, name, n) == 0 &&
            p[n + 1] == '=' && (p[n + 2] == '"' || p[n + 2] == '\'')) {
            *quote = p[n + 2];
            return p + n + 3;
        }
    return nullptr;
}

struct Replacement {
    const char *name, *value;
};

// Copies the start tag [tag, end) with the values of the named attributes
// (at most 3) replaced. Each name's next value is looked for again only
// once the copy has passed it, so a long tag is read in one pass.
void copy_tag(Text *t, const char *tag, const char *end, const Replacement *replaced, size_t count)
{
    const char *value[3] = {}, *value_end[3] = {};
    bool absent[3] = {};  // from `from` on, hence for good
    const char *from = tag;
    for (;;) {
        size_t first = count;
        for (size_t i = 0; i < count; ++i) {
            if (!absent[i] && (value[i] == nullptr || value[i] < from)) {
                char quote = '"';
                value[i] = attribute_value(from, end, replaced[i].name, &quote);
                value_end[i] = value[i] != nullptr ? static_cast<const char *>(
                                                         std::memchr(value[i], quote, size_t(end - value[i])))
                                                   : nullptr;
                if (value_end[i] == nullptr)
                    value[i] = nullptr;
                absent[i] = value[i] == nullptr;
            }
            if (value[i] != nullptr && (first == count || value[i] < value[first]))
                first = i;
        }
        if (first == count)
            break;
        append(t, from, size_t(value[first] - from));
        append(t, replaced[first].value, std::strlen(replaced[first].value));
        from = value_end[first];
    }
    append(t, from, size_t(end - from));
}

// The next start tag of element `name` (with or without a namespace
// prefix) from `p` on, or null; *end is set at its closing '>'.
const char *find_start_tag(const char *text, const char *p, const char *name, const char **end)
{
    size_t n = std::strlen(name);
    for (const char *tag = std::strstr(p, name); tag != nullptr; tag = std::strstr(tag + n, name)) {
        bool start_tag = tag > text && (tag[-1] == '<' || tag[-1] == ':') &&
                         (tag[n] == ' ' || tag[n] == '\t' || tag[n] == '\n' || tag[n] == '\r');
        if (!start_tag)
            continue;
        *end = std::strchr(tag, '>');
        return *end != nullptr ? tag : nullptr;  // no later tag is closed either
    }
    return nullptr;
}

unsigned long numeric_attribute(const char *tag, const char *end, const char *name)
{
    char quote = '"';
    const char *v = attribute_value(tag, end, name, &quote);
    return v != nullptr ? std::strtoul(v, nullptr, 10) : 0;
}

// Whether the one image of the file (a single Pixels element) is one
// channel split out of it: its channels times the page count make its
// planes.
bool split_channel(const char *text, uint32_t pages)
{
    const char *end = nullptr;
    const char *pixels = find_start_tag(text, text, "Pixels", &end);
    const char *second_end = nullptr;
    if (pixels == nullptr || find_start_tag(text, end, "Pixels", &second_end) != nullptr)
        return false;
    unsigned long c = numeric_attribute(pixels, end, "SizeC"), z = numeric_attribute(pixels, end, "SizeZ"),
                  t = numeric_attribute(pixels, end, "SizeT");
    return c > 1 && z != 0 && t != 0 && z * t == pages && c * z * t != pages;
}

// Every Pixels tag says uint16. Where the file is one channel split out of
// a multi-channel image, SizeC becomes 1 and a TiffData's PlaneCount the
// page count.
void rewrite_ome(Text *t, const char *text, uint32_t pages)
{
    char page_count[16];
    std::snprintf(page_count, sizeof page_count, "%u", pages);
    const Replacement pixels[] = {{"Type", "uint16"}, {"SignificantBits", "16"}, {"SizeC", "1"}};
    const Replacement tiff_data[] = {{"PlaneCount", page_count}};
    bool one_channel = split_channel(text, pages);
    // The next tag of each kind, found once each: both searches move forward
    // only, so a long text of many planes is read in one pass.
    const char *pixels_end = nullptr, *data_end = nullptr;
    const char *pixels_tag = find_start_tag(text, text, "Pixels", &pixels_end);
    const char *data_tag = one_channel ? find_start_tag(text, text, "TiffData", &data_end) : nullptr;
    const char *p = text;
    while (pixels_tag != nullptr || data_tag != nullptr) {
        bool data_first = data_tag != nullptr && (pixels_tag == nullptr || data_tag < pixels_tag);
        const char *tag = data_first ? data_tag : pixels_tag;
        append(t, p, size_t(tag - p));
        if (data_first) {
            copy_tag(t, tag, data_end, tiff_data, 1);
            p = data_end;
            data_tag = find_start_tag(text, p, "TiffData", &data_end);
        } else {
            copy_tag(t, tag, pixels_end, pixels, one_channel ? 3 : 2);
            p = pixels_end;
            pixels_tag = find_start_tag(text, p, "Pixels", &pixels_end);
        }
    }
    append(t, p, std::strlen(p));
}

// ---- ImageJ ----

// The value of line "key=value", or 0 where the line is absent.
unsigned long imagej_value(const char *text, const char *key)
{
    size_t n = std::strlen(key);
    for (const char *line = text; line != nullptr && *line != '\0';) {
        if (std::strncmp(line, key, n) == 0 && line[n] == '=')
            return std::strtoul(line + n + 1, nullptr, 10);
        line = std::strchr(line, '\n');
        line = line != nullptr ? line + 1 : nullptr;
    }
    return 0;
}

// images= becomes the page count. Where channels, slices and frames no
// longer multiply to it, a channel split out of a hyperstack keeps its
// slices and frames and loses only its channels; any other file reads as a
// plain stack of its pages. A description already right is kept as it is.
void rewrite_imagej(Text *t, const char *text, uint32_t pages)
{
    unsigned long channels = imagej_value(text, "channels"), slices = imagej_value(text, "slices"),
                  frames = imagej_value(text, "frames");
    unsigned long product = (channels ? channels : 1) * (slices ? slices : 1) * (frames ? frames : 1);
    bool dimensions_wrong = (channels | slices | frames) != 0 && product != pages;
    bool drop_channels_only = dimensions_wrong && channels > 1 && product / channels == pages;
    unsigned long images = imagej_value(text, "images");
    if (!dimensions_wrong && (images == 0 || images == pages)) {
        append(t, text, std::strlen(text));
        return;
    }
    for (const char *line = text; *line != '\0';) {
        const char *next = std::strchr(line, '\n');
        next = next != nullptr ? next + 1 : line + std::strlen(line);
        bool dimension = starts_with(line, "slices=") || starts_with(line, "frames=") ||
                         starts_with(line, "hyperstack=");
        if (starts_with(line, "images=")) {
            char count[32];
            int n = std::snprintf(count, sizeof count, "images=%u%s", pages, next[-1] == '\n' ? "\n" : "");
            append(t, count, static_cast<size_t>(n));
        } else if (!(dimensions_wrong && starts_with(line, "channels=")) &&
                   !(dimensions_wrong && !drop_channels_only && dimension)) {
            append(t, line, size_t(next - line));
        }
        line = next;
    }
}

}  // namespace

char *output_description(const char *description, uint32_t pages)
{
    size_t length = std::strlen(description);
    // The worst growth: a line "images=" that becomes "images=" and ten
    // digits, and a Pixels tag of at least 18 bytes that grows by 4.
    if (length > (SIZE_MAX - 64) / 3)
        return nullptr;
    Text t{static_cast<char *>(allocate_array(length * 3 + 64, 1)), 0};
    if (t.out == nullptr)
        return nullptr;
    if (starts_with(description, "ImageJ="))
        rewrite_imagej(&t, description, pages);
    else if (description[std::strspn(description, " \t\r\n")] == '<' && std::strstr(description, "OME") != nullptr)
        rewrite_ome(&t, description, pages);
    else
        append(&t, description, length);
    t.out[t.length] = '\0';
    return t.out;
}
