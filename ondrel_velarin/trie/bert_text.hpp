// BERT-style tokenisation of one text in one pass: normalisation (text
// cleaning, spaces around CJK ideographs, accents stripped, lowercase),
// splitting into words at whitespace and around punctuation, and each word
// cut into subword tokens by a PieceMatcher; special tokens (such as
// "[SEP]") written in the raw text are tokens of their own.
//
// Normalising maps a code point to none, one or a few; each code point of
// the normalised text remembers the one of the text it came from, so a
// token's offsets are in code points of the original text: from the start
// of the first one it covers to the end of the last.
//
// What each code point is comes from bert_tables.hpp, which the build
// generates from Python's Unicode data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "bert_tables.hpp"
#include "trie.hpp"
#include "wordpiece.hpp"

namespace velarin {

struct TextOptions {
    bool clean_text = true;        // drop control characters, whitespace becomes a space
    bool chinese = true;           // CJK ideographs are words of their own
    bool strip_accents = true;     // NFD, then drop the nonspacing marks
    bool lowercase = true;
    uint32_t max_word_length = 100;  // a longer word (in normalised code points) is unknown
};

// A token of a text: its id and its offsets in the text's code points.
struct Token {
    int32_t id;
    uint32_t start, end;
};

// A token matched in the raw text before anything else.
struct SpecialToken {
    std::vector<uint32_t> text;
    int32_t id;
};

// The working buffers of one text's tokenisation, kept between texts.
struct TextSpace {
    std::vector<uint32_t> word, origins;  // the word so far, and where each code point came from
    std::vector<Piece> pieces;
};

class BertTokenizer {
public:
    // The matcher must outlive the tokenizer; special tokens with an empty
    // text are never matched.
    BertTokenizer(const PieceMatcher &matcher, const TextOptions &options, int32_t unknown_id,
                  std::vector<SpecialToken> specials);

    // Appends the tokens of units[0..n) (none a surrogate) to out; each code
    // point is a step of the meter (a word's matching costs in proportion to
    // its length). False when the meter said to stop, with out holding the
    // tokens so far.
    template <typename CodePoint>
    bool tokenize(const CodePoint *units, size_t n, TextSpace &space, std::vector<Token> &out,
                  WorkMeter &meter) const;

private:
    // What an ASCII character is, in ascii_.
    enum Ascii : uint8_t { ascii_letter, ascii_removed, ascii_space, ascii_punctuation };

    static const bert_tables::Record &record_of(uint32_t c) {
        using namespace bert_tables;
        return records[blocks[size_t(stage1[c >> block_bits]) << block_bits | (c & ((1u << block_bits) - 1))]];
    }

    // Writes the normalised form of c (not ASCII) to out; returns its length.
    unsigned normalise(uint32_t c, const bert_tables::Record &record, uint32_t *out) const;

    // The special token that units[i..n) begins with, longest first, or null.
    template <typename CodePoint>
    const SpecialToken *special_at(const CodePoint *units, size_t i, size_t n) const;

    const PieceMatcher &matcher_;
    TextOptions options_;
    int32_t unknown_id_;
    std::vector<SpecialToken> specials_;
    uint64_t special_starts_ = 0;  // bit c % 64 for the first code point c of each special token
    Ascii ascii_[128];
    char ascii_lower_[128];
};

// One text's words as they are made, each cut into tokens when it ends.
class WordCutter {
public:
    WordCutter(const PieceMatcher &matcher, const TextOptions &options, int32_t unknown_id, TextSpace &space,
               std::vector<Token> &out)
        : matcher_(matcher), limit_(options.max_word_length), unknown_id_(unknown_id), space_(space), out_(out) {
        space_.word.clear();
        space_.origins.clear();
    }

    // Code point c of the normalised text, from code point `origin` of the text.
    void add(uint32_t c, uint32_t origin) {
        if (length_ == 0) first_ = origin;
        last_ = origin;
        // Past the limit the word is unknown: only its extent matters.
        if (length_++ <= limit_) {
            space_.word.push_back(c);
            space_.origins.push_back(origin);
        }
    }

    void end_word() {
        if (length_ == 0) return;
        space_.pieces.clear();
        if (length_ <= limit_ && matcher_.match(space_.word.data(), length_, space_.pieces)) {
            for (const Piece &p : space_.pieces)
                out_.push_back(Token{p.id, space_.origins[p.start], space_.origins[p.end - 1] + 1});
        } else {
            out_.push_back(Token{unknown_id_, first_, last_ + 1});
        }
        space_.word.clear();
        space_.origins.clear();
        length_ = 0;
    }

    void add_alone(uint32_t c, uint32_t origin) {
        end_word();
        add(c, origin);
        end_word();
    }

    void special(const SpecialToken &token, uint32_t start) {
        end_word();
        out_.push_back(Token{token.id, start, start + uint32_t(token.text.size())});
    }

private:
    const PieceMatcher &matcher_;
    size_t limit_;
    int32_t unknown_id_;
    TextSpace &space_;
    std::vector<Token> &out_;
    size_t length_ = 0;
    uint32_t first_ = 0, last_ = 0;
};

template <typename CodePoint>
const SpecialToken *BertTokenizer::special_at(const CodePoint *units, size_t i, size_t n) const {
    const SpecialToken *found = nullptr;
    for (const SpecialToken &s : specials_) {
        const size_t length = s.text.size();
        if (length > n - i || (found != nullptr && length <= found->text.size())) continue;
        size_t k = 0;
        while (k < length && uint32_t(units[i + k]) == s.text[k]) ++k;
        if (k == length) found = &s;
    }
    return found;
}

template <typename CodePoint>
bool BertTokenizer::tokenize(const CodePoint *units, size_t n, TextSpace &space, std::vector<Token> &out,
                             WorkMeter &meter) const {
    WordCutter words(matcher_, options_, unknown_id_, space, out);
    uint32_t mapped[8];
    for (size_t i = 0; i < n; ++i) {
        if (!meter.spend(1)) return false;
        const uint32_t c = units[i], origin = uint32_t(i);
        if ((special_starts_ >> (c % 64)) & 1) {
            if (const SpecialToken *s = special_at(units, i, n)) {
                words.special(*s, origin);
                i += s->text.size() - 1;
                continue;
            }
        }
        if (c < 0x80) {
            switch (ascii_[c]) {
            case ascii_letter: words.add(uint32_t(uint8_t(ascii_lower_[c])), origin); break;
            case ascii_removed: break;
            case ascii_space: words.end_word(); break;
            case ascii_punctuation: words.add_alone(c, origin); break;
            }
            continue;
        }
        const bert_tables::Record &record = record_of(c);
        if (options_.clean_text && (record.flags & bert_tables::removed)) continue;
        if (options_.clean_text && (record.flags & bert_tables::clean_space)) {
            words.end_word();
            continue;
        }
        const bool alone = options_.chinese && (record.flags & bert_tables::chinese);
        if (alone) words.end_word();
        const unsigned count = normalise(c, record, mapped);
        for (unsigned k = 0; k < count; ++k) {
            const uint32_t x = mapped[k];
            const uint16_t flags = x == c ? record.flags : record_of(x).flags;
            if (flags & bert_tables::split_space) words.end_word();
            else if (flags & bert_tables::punctuation) words.add_alone(x, origin);
            else words.add(x, origin);
        }
        if (alone) words.end_word();
    }
    words.end_word();
    return true;
}

}  // namespace velarin
