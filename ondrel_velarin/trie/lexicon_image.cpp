// Writing and reading a lexicon's image (lexicon_image.hpp).
#include "lexicon_image.hpp"

#include <cstring>

#include "utf8.hpp"

namespace velarin {
namespace {

constexpr size_t checksum_bytes = 8;

// A checksum of a block, eight bytes at a time: it catches changed,
// dropped or moved bytes, not an attacker (the reader checks every field on
// its own).
uint64_t checksum(const unsigned char *data, size_t size) {
    uint64_t h = 0x243F6A8885A308D3ull ^ size;
    size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        uint64_t word;
        std::memcpy(&word, data + i, 8);
        h = (h ^ word) * 0x9E3779B97F4A7C15ull;
        h ^= h >> 29;
    }
    for (; i < size; ++i) h = (h ^ data[i]) * 0x100000001B3ull;
    h ^= h >> 32;
    return h * 0xD6E8FEB86659FD93ull;
}

void put(unsigned char *&at, const void *data, size_t bytes) {
    if (bytes == 0) return;  // an empty section may have no data at all
    std::memcpy(at, data, bytes);
    at += bytes;
}

template <typename T>
void put_value(unsigned char *&at, T value) {
    put(at, &value, sizeof value);
}

template <typename T>
T get(const unsigned char *at) {
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

bool all_short(const LexiconImage &parts) {
    for (uint64_t k = 0; k < parts.num_words; ++k)
        if (parts.word_lengths[k] > 0xFF) return false;
    return true;
}

// Adds b to a, false when the sum passes what a size holds.
bool add(size_t &a, uint64_t b) {
    if (b > SIZE_MAX - a) return false;
    a += size_t(b);
    return true;
}

// Adds count * width to a, false on overflow.
bool add_times(size_t &a, uint64_t count, size_t width) {
    return (width == 0 || count <= SIZE_MAX / width) && add(a, count * width);
}

// A section of `bytes` at `at` within [data, end), moved past; false when it
// does not fit.
bool take(const unsigned char *&at, const unsigned char *end, size_t bytes, const unsigned char **section) {
    if (size_t(end - at) < bytes) return false;
    *section = at;
    at += bytes;
    return true;
}

// Sums `count` uint32 lengths; false when they pass `limit`.
bool lengths_sum(const unsigned char *lengths, uint64_t count, uint64_t expected) {
    uint64_t total = 0;
    for (uint64_t k = 0; k < count; ++k) {
        total += get<uint32_t>(lengths + 4 * k);
        if (total > expected) return false;
    }
    return total == expected;
}

// Whether `count` UTF-8 strings, one after another with uint32 lengths at
// `lengths`, are each valid.
bool all_utf8(const unsigned char *lengths, const unsigned char *text, uint64_t count) {
    for (uint64_t k = 0; k < count; ++k) {
        const uint32_t length = get<uint32_t>(lengths + 4 * k);
        if (!is_utf8(text, length)) return false;
        text += length;
    }
    return true;
}

}  // namespace

const char *image_error_message(ImageError error) {
    switch (error) {
    case ImageError::ok:
        return "no error";
    case ImageError::foreign:
        return "not a lexicon file (it does not start with VELARIN LEXICON)";
    case ImageError::version:
        return "a lexicon file of another version than this package reads";
    case ImageError::truncated:
        return "a truncated lexicon file (shorter than its header says)";
    case ImageError::trailing:
        return "a lexicon file with bytes after its end";
    case ImageError::corrupt:
        return "a corrupt lexicon file (its checksum does not match its content)";
    case ImageError::malformed:
        return "a corrupt lexicon file (a header field is out of range)";
    case ImageError::unordered:
        return "a corrupt lexicon file (its words are not in order, each once)";
    case ImageError::not_utf8:
        return "a corrupt lexicon file (a word, value or tag is not UTF-8)";
    case ImageError::bad_tag:
        return "a corrupt lexicon file (a word's tag is not among its tags)";
    }
    return "a corrupt lexicon file";
}

size_t image_size(const LexiconImage &parts) {
    size_t size = image_header_bytes + checksum_bytes;
    const size_t width = all_short(parts) ? 1 : 4;
    add_times(size, parts.num_words, width);
    for (uint64_t k = 0; k < parts.num_words; ++k) add(size, uint64_t(parts.word_lengths[k]));
    if (parts.values == ImageValues::int32 || parts.values == ImageValues::int64)
        add_times(size, parts.num_words, parts.values == ImageValues::int32 ? 4 : 8);
    if (parts.values == ImageValues::str) {
        add_times(size, parts.num_words, 4);
        for (uint64_t k = 0; k < parts.num_words; ++k) add(size, parts.str_lengths[k]);
    }
    add_times(size, parts.num_tags, 4);
    for (uint32_t t = 0; t < parts.num_tags; ++t) add(size, parts.tag_lengths[t]);
    add_times(size, parts.num_words, size_t(parts.tag_width));
    return size;
}

void write_image(const LexiconImage &parts, unsigned char *out) {
    unsigned char *at = out;
    const bool short_lengths = all_short(parts);
    uint64_t text = 0, value_bytes = 0, tag_bytes = 0;
    for (uint64_t k = 0; k < parts.num_words; ++k) text += uint64_t(parts.word_lengths[k]);
    if (parts.values == ImageValues::str)
        for (uint64_t k = 0; k < parts.num_words; ++k) value_bytes += parts.str_lengths[k];
    for (uint32_t t = 0; t < parts.num_tags; ++t) tag_bytes += parts.tag_lengths[t];
    put(at, image_magic, image_magic_bytes);
    put_value<uint32_t>(at, image_version);
    put_value<uint32_t>(at, 0);
    put_value<uint64_t>(at, parts.num_words);
    put_value<uint64_t>(at, text);
    put_value<uint8_t>(at, short_lengths ? 1 : 4);
    put_value<uint8_t>(at, uint8_t(parts.values));
    put_value<uint8_t>(at, uint8_t(parts.tag_width));
    put_value<uint8_t>(at, 0);
    put_value<uint32_t>(at, parts.num_tags);
    put_value<uint64_t>(at, value_bytes);
    put_value<uint64_t>(at, tag_bytes);
    for (uint64_t k = 0; k < parts.num_words; ++k) {
        if (short_lengths) put_value<uint8_t>(at, uint8_t(parts.word_lengths[k]));
        else put_value<uint32_t>(at, uint32_t(parts.word_lengths[k]));
    }
    for (uint64_t k = 0; k < parts.num_words; ++k) put(at, parts.words[k], size_t(parts.word_lengths[k]));
    if (parts.values == ImageValues::int32 || parts.values == ImageValues::int64)
        put(at, parts.int_values, size_t(parts.num_words) * (parts.values == ImageValues::int32 ? 4 : 8));
    if (parts.values == ImageValues::str) {
        for (uint64_t k = 0; k < parts.num_words; ++k) put_value<uint32_t>(at, uint32_t(parts.str_lengths[k]));
        for (uint64_t k = 0; k < parts.num_words; ++k) put(at, parts.str_values[k], parts.str_lengths[k]);
    }
    for (uint32_t t = 0; t < parts.num_tags; ++t) put_value<uint32_t>(at, uint32_t(parts.tag_lengths[t]));
    for (uint32_t t = 0; t < parts.num_tags; ++t) put(at, parts.tag_names[t], parts.tag_lengths[t]);
    put(at, parts.tag_numbers, size_t(parts.num_words) * size_t(parts.tag_width));
    put_value<uint64_t>(at, checksum(out, size_t(at - out)));
}

ImageError read_image(const unsigned char *data, size_t size, LexiconImage &image) {
    if (size < image_magic_bytes || std::memcmp(data, image_magic, image_magic_bytes) != 0) return ImageError::foreign;
    if (size < image_header_bytes + checksum_bytes) return ImageError::truncated;
    if (get<uint32_t>(data + 16) != image_version) return ImageError::version;
    const uint64_t n = get<uint64_t>(data + 24), text = get<uint64_t>(data + 32);
    const unsigned length_width = data[40], values = data[41], tag_width = data[42];
    const uint32_t num_tags = get<uint32_t>(data + 44);
    const uint64_t value_bytes = get<uint64_t>(data + 48), tag_bytes = get<uint64_t>(data + 56);
    if (get<uint32_t>(data + 20) != 0 || data[43] != 0 || (length_width != 1 && length_width != 4) ||
        values > uint8_t(ImageValues::outside) || (tag_width != 0 && tag_width != 1 && tag_width != 2 && tag_width != 4) ||
        (tag_width == 0) != (num_tags == 0) || n > uint64_t(INT32_MAX) ||
        (values != uint8_t(ImageValues::str) && value_bytes != 0) ||
        (tag_width == 1 && num_tags > 0xFF) || (tag_width == 2 && num_tags > 0xFFFF))
        return ImageError::malformed;
    // The whole size the header makes, checked against the block before any
    // section is read.
    const auto kind = ImageValues(values);
    size_t total = image_header_bytes + checksum_bytes;
    const bool fits = add_times(total, n, length_width) && add(total, text) &&
                      add_times(total, n, kind == ImageValues::int32 ? 4 : kind == ImageValues::int64 ? 8 : 0) &&
                      add_times(total, kind == ImageValues::str ? n : 0, 4) && add(total, value_bytes) &&
                      add_times(total, num_tags, 4) && add(total, tag_bytes) && add_times(total, n, tag_width);
    if (!fits || total > size) return ImageError::truncated;
    if (total < size) return ImageError::trailing;
    if (get<uint64_t>(data + size - checksum_bytes) != checksum(data, size - checksum_bytes)) return ImageError::corrupt;
    const unsigned char *at = data + image_header_bytes, *end = data + size - checksum_bytes;
    image = LexiconImage{};
    image.num_words = n;
    image.values = kind;
    image.num_tags = num_tags;
    image.tag_width = int(tag_width);
    image.length_width = int(length_width);
    take(at, end, size_t(n) * length_width, &image.length_section);
    take(at, end, size_t(text), &image.word_section);
    if (kind == ImageValues::int32 || kind == ImageValues::int64)
        take(at, end, size_t(n) * (kind == ImageValues::int32 ? 4 : 8), &image.value_section);
    if (kind == ImageValues::str) {
        take(at, end, size_t(n) * 4, &image.value_length_section);
        take(at, end, size_t(value_bytes), &image.value_section);
    }
    take(at, end, size_t(num_tags) * 4, &image.tag_length_section);
    take(at, end, size_t(tag_bytes), &image.tag_name_section);
    take(at, end, size_t(n) * tag_width, &image.tag_number_section);
    // The words: their lengths add up, and each is UTF-8 and after the one before.
    uint64_t sum = 0;
    const unsigned char *word = image.word_section, *previous = nullptr;
    uint32_t previous_length = 0;
    for (uint64_t k = 0; k < n; ++k) {
        const uint32_t length = image_word_length(image, k);
        sum += length;
        if (sum > text) return ImageError::malformed;
        if (!is_utf8(word, length)) return ImageError::not_utf8;
        if (previous != nullptr) {
            const int order = std::memcmp(previous, word, previous_length < length ? previous_length : length);
            if (order > 0 || (order == 0 && previous_length >= length)) return ImageError::unordered;
        }
        previous = word;
        previous_length = length;
        word += length;
    }
    if (sum != text) return ImageError::malformed;
    if (kind == ImageValues::str && !lengths_sum(image.value_length_section, n, value_bytes)) return ImageError::malformed;
    if (kind == ImageValues::str && !all_utf8(image.value_length_section, image.value_section, n)) return ImageError::not_utf8;
    if (!lengths_sum(image.tag_length_section, num_tags, tag_bytes)) return ImageError::malformed;
    if (!all_utf8(image.tag_length_section, image.tag_name_section, num_tags)) return ImageError::not_utf8;
    for (uint64_t k = 0; tag_width != 0 && k < n; ++k) {
        const unsigned char *at_number = image.tag_number_section + k * tag_width;
        const uint32_t number = tag_width == 1 ? at_number[0] : tag_width == 2 ? get<uint16_t>(at_number) : get<uint32_t>(at_number);
        if (number > num_tags) return ImageError::bad_tag;
    }
    return ImageError::ok;
}

}  // namespace velarin
