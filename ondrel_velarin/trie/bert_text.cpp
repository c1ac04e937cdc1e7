// The parts of BertTokenizer (bert_text.hpp) that run once per code point
// kind or per tokenizer.
#include "bert_text.hpp"

namespace velarin {

BertTokenizer::BertTokenizer(const PieceMatcher &matcher, const TextOptions &options, int32_t unknown_id,
                             std::vector<SpecialToken> specials)
    : matcher_(matcher), options_(options), unknown_id_(unknown_id), specials_(std::move(specials)) {
    for (const SpecialToken &s : specials_)
        if (!s.text.empty()) special_starts_ |= uint64_t(1) << (s.text[0] % 64);
    // ASCII characters are what their records say, found once here.
    for (uint32_t c = 0; c < 128; ++c) {
        const uint16_t flags = record_of(c).flags;
        ascii_lower_[c] = char(options_.lowercase && c >= 'A' && c <= 'Z' ? c + 32 : c);
        if (options_.clean_text && (flags & bert_tables::removed)) ascii_[c] = ascii_removed;
        else if ((options_.clean_text && (flags & bert_tables::clean_space)) || (flags & bert_tables::split_space))
            ascii_[c] = ascii_space;
        else if (flags & bert_tables::punctuation) ascii_[c] = ascii_punctuation;
        else ascii_[c] = ascii_letter;
    }
}

unsigned BertTokenizer::normalise(uint32_t c, const bert_tables::Record &record, uint32_t *out) const {
    auto expand = [](uint32_t mapping, uint32_t *to) {
        const uint32_t offset = mapping >> 2, length = mapping & 3;
        for (uint32_t k = 0; k < length; ++k) to[k] = bert_tables::pool[offset + k];
        return unsigned(length);
    };
    uint32_t stripped[3];
    unsigned count = 1;
    stripped[0] = c;
    if (options_.strip_accents && record.stripped != 0) count = expand(record.stripped, stripped);
    if (!options_.lowercase) {
        for (unsigned k = 0; k < count; ++k) out[k] = stripped[k];
        return count;
    }
    unsigned length = 0;
    for (unsigned k = 0; k < count; ++k) {
        const uint32_t lower = stripped[k] == c ? record.lowercase : record_of(stripped[k]).lowercase;
        if (lower != 0) length += expand(lower, out + length);
        else out[length++] = stripped[k];
    }
    return length;
}

}  // namespace velarin
