// A lexicon as one block of bytes: what Lexicon.save writes, Lexicon.load
// reads and a pickle carries. Plain data, little-endian, checked whole when
// read: its words in byte order each once, their values and their tags.
//
// Layout (offsets in bytes):
//
//   0   16  magic "VELARIN LEXICON\n"
//   16   4  version (image_version)
//   20   4  0 (reserved)
//   24   8  number of words n
//   32   8  bytes of all the words' UTF-8, one after another
//   40   1  bytes per word length: 1 or 4
//   41   1  what the values are (ImageValues)
//   42   1  bytes per word's tag number: 0 (no tags), 1, 2 or 4
//   43   1  0 (reserved)
//   44   4  number of distinct tags
//   48   8  bytes of all the str values' UTF-8
//   56   8  bytes of all the tag names' UTF-8
//   64      the words' lengths (n of them), then the words
//           the values: n int32 or n int64; or n uint32 lengths, then the str
//           values; or nothing
//           the tag names' lengths (uint32), then the names; the words' tag
//           numbers (0 for none, else 1 + the name's place)
//   end-8 8  checksum of everything before it
//
// Reading never trusts a count: every section must fit the block exactly,
// the words must be valid UTF-8 in strictly ascending byte order, the str
// values and tag names valid UTF-8, every tag number within the names, and
// the checksum must agree. So a corrupt, truncated or foreign block is a
// clear error, never a read out of bounds or a loop without end.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velarin {

constexpr char image_magic[] = "VELARIN LEXICON\n";
constexpr size_t image_magic_bytes = sizeof image_magic - 1;
constexpr uint32_t image_version = 1;
constexpr size_t image_header_bytes = 64;

enum class ImageValues : uint8_t {
    none = 0,     // every value None
    int32 = 1,
    int64 = 2,
    str = 3,      // every value a str
    outside = 4,  // kept outside the image (a pickle's own objects)
};

// A lexicon's parts, as written (pointers by word id) or as read (views
// into the block).
struct LexiconImage {
    uint64_t num_words = 0;
    ImageValues values = ImageValues::none;
    uint32_t num_tags = 0;
    int tag_width = 0;
    // Writing: per word id.
    const unsigned char *const *words = nullptr;
    const int32_t *word_lengths = nullptr;
    const void *int_values = nullptr;  // int32_t or int64_t
    const unsigned char *const *str_values = nullptr;
    const size_t *str_lengths = nullptr;
    const unsigned char *const *tag_names = nullptr;
    const size_t *tag_lengths = nullptr;
    const void *tag_numbers = nullptr;  // tag_width bytes each
    // Reading: the sections in the block.
    int length_width = 0;
    const unsigned char *length_section = nullptr, *word_section = nullptr;
    const unsigned char *value_section = nullptr, *value_length_section = nullptr;
    const unsigned char *tag_length_section = nullptr, *tag_name_section = nullptr, *tag_number_section = nullptr;
};

enum class ImageError {
    ok,
    foreign,     // no magic: not a lexicon's image
    version,     // another version than this one reads
    truncated,   // shorter than its header says
    trailing,    // longer than its header says
    corrupt,     // the checksum disagrees
    malformed,   // a field out of its range
    unordered,   // the words are not in strictly ascending byte order
    not_utf8,    // a word, str value or tag name is not UTF-8
    bad_tag,     // a tag number past the names
};

// What a reader says for an error, one line without the file's name.
const char *image_error_message(ImageError error);

// The size of the image of `parts` (its writing fields), and the image
// itself written into `out`, which has that many bytes.
size_t image_size(const LexiconImage &parts);
void write_image(const LexiconImage &parts, unsigned char *out);

// Reads and checks the block `data` of `size` bytes; on success `image`'s
// reading fields (and the counts) describe it.
ImageError read_image(const unsigned char *data, size_t size, LexiconImage &image);

// The length of word k of a read image.
inline uint32_t image_word_length(const LexiconImage &image, uint64_t k) {
    if (image.length_width == 1) return image.length_section[k];
    uint32_t length;
    __builtin_memcpy(&length, image.length_section + 4 * k, 4);
    return length;
}

}  // namespace velarin
