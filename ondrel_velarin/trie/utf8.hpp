// UTF-8 of code point arrays: the width and encoding of a code point, the
// surrogate test that decides whether a key has a UTF-8 form at all, and the
// lengths the lookups and construction need; and the way back, from a
// word's bytes to code points, checked. Keys come as the interpreter's code
// units (1, 2 or 4 bytes); nothing here allocates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace velarin {

// Bytes in the UTF-8 form of code point c.
inline unsigned utf8_width(uint32_t c) { return 1u + (c >= 0x80) + (c >= 0x800) + (c >= 0x10000); }

// Whether b continues a code point rather than starting one.
inline bool is_continuation_byte(unsigned char b) { return (b & 0xC0) == 0x80; }

namespace detail {

// Encodes one code point (not a surrogate) as UTF-8 into out; returns its length.
inline unsigned encode_code_point(uint32_t c, unsigned char *out) {
    if (c < 0x80) {
        out[0] = static_cast<unsigned char>(c);
        return 1;
    }
    if (c < 0x800) {
        out[0] = static_cast<unsigned char>(0xC0 | (c >> 6));
        out[1] = static_cast<unsigned char>(0x80 | (c & 0x3F));
        return 2;
    }
    if (c < 0x10000) {
        out[0] = static_cast<unsigned char>(0xE0 | (c >> 12));
        out[1] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
        out[2] = static_cast<unsigned char>(0x80 | (c & 0x3F));
        return 3;
    }
    out[0] = static_cast<unsigned char>(0xF0 | (c >> 18));
    out[1] = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
    out[2] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
    out[3] = static_cast<unsigned char>(0x80 | (c & 0x3F));
    return 4;
}

// Sixteen bytes of code units as one value the compiler keeps in a vector
// register, with lane-wise operators.
template <typename CodePoint>
struct LanesOf;
typedef uint16_t Lanes16 __attribute__((vector_size(16)));
typedef uint32_t Lanes32 __attribute__((vector_size(16)));
template <>
struct LanesOf<uint16_t> {
    using type = Lanes16;
};
template <>
struct LanesOf<uint32_t> {
    using type = Lanes32;
};

constexpr size_t surrogate_block_bytes = 64;

// Whether the 64 bytes of units at `at` hold a surrogate.
template <typename CodePoint>
inline bool block_has_surrogate(const CodePoint *at) {
    using Lanes = typename LanesOf<CodePoint>::type;
    Lanes hits{};
    for (size_t k = 0; k < surrogate_block_bytes / sizeof(Lanes); ++k) {
        Lanes units;
        std::memcpy(&units, at + k * (sizeof(Lanes) / sizeof(CodePoint)), sizeof units);
        hits |= (Lanes)((units & CodePoint(~CodePoint(0x7FF))) == CodePoint(0xD800));
    }
    uint64_t words[2];
    std::memcpy(words, &hits, sizeof words);
    return (words[0] | words[1]) != 0;
}

}  // namespace detail

// True when any unit is a surrogate code point, which has no UTF-8 form.
// Tested a cache line at a time in vector registers; the last block
// overlaps the one before it, so a key of a block or more has no
// unit-by-unit tail.
template <typename CodePoint>
inline bool has_surrogate(const CodePoint *units, size_t n) {
    if constexpr (sizeof(CodePoint) == 1) {
        return false;  // no unit of one byte is a surrogate
    } else {
        constexpr size_t block = detail::surrogate_block_bytes / sizeof(CodePoint);
        if (n < block) {
            CodePoint hits = 0;
            for (size_t i = 0; i < n; ++i) hits |= CodePoint((units[i] & ~CodePoint(0x7FF)) == CodePoint(0xD800));
            return hits != 0;
        }
        size_t i = 0;
        for (; i + block <= n; i += block)
            if (detail::block_has_surrogate(units + i)) return true;
        return i < n && detail::block_has_surrogate(units + n - block);
    }
}

template <typename CodePoint>
inline size_t utf8_length(const CodePoint *units, size_t n) {
    size_t length = 0;
    for (size_t i = 0; i < n; ++i) length += utf8_width(units[i]);
    return length;
}

template <typename CodePoint>
inline void utf8_encode(const CodePoint *units, size_t n, unsigned char *out) {
    for (size_t i = 0; i < n; ++i) out += detail::encode_code_point(units[i], out);
}

// How many of the code points units[0..n) make up their first `bytes` UTF-8
// bytes, in *count; false when those bytes end inside a code point.
template <typename CodePoint>
inline bool code_points_in(const CodePoint *units, size_t n, size_t bytes, size_t *count) {
    size_t covered = 0, i = 0;
    for (; i < n && covered < bytes; ++i) covered += utf8_width(units[i]);
    *count = i;
    return covered == bytes;
}

// How many of the code points units[0..n) have UTF-8 forms that `bytes`
// begins with, one after another, but no more than `limit`; *matched gets
// their bytes. The tail of a word is compared with a key this way.
template <typename CodePoint>
inline size_t common_code_points(const CodePoint *units, size_t n, size_t limit, const unsigned char *bytes,
                                 size_t length, size_t *matched) {
    if (limit < n) n = limit;
    // Blocks of ASCII first, compared without encoding: a long tail (a
    // phrase, a deep word) is mostly that.
    constexpr size_t block = 16;
    size_t i = 0;
    for (; i + block <= n && i + block <= length; i += block) {
        uint32_t differ = 0;
        for (size_t k = 0; k < block; ++k) differ |= uint32_t(units[i + k] ^ bytes[i + k]) | uint32_t(bytes[i + k] & 0x80);
        if (differ != 0) break;
    }
    size_t at = i;
    for (; i < n; ++i) {
        const uint32_t c = units[i];
        if (c < 0x80) {
            if (at == length || bytes[at] != c) break;
            ++at;
            continue;
        }
        unsigned char form[4];
        const unsigned width = detail::encode_code_point(c, form);
        if (length - at < width || std::memcmp(bytes + at, form, width) != 0) break;
        at += width;
    }
    *matched = at;
    return i;
}

// Whether the bytes are all ASCII: read eight at a time, the last eight
// overlapping the ones before when n is not a multiple of eight.
inline bool is_ascii(const unsigned char *s, size_t n) {
    uint64_t seen = 0, block;
    if (n < 8) {
        for (size_t i = 0; i < n; ++i) seen |= s[i];
        return (seen & 0x80) == 0;
    }
    for (size_t i = 0; i + 8 <= n; i += 8) {
        std::memcpy(&block, s + i, 8);
        seen |= block;
    }
    std::memcpy(&block, s + n - 8, 8);
    return ((seen | block) & 0x8080808080808080ull) == 0;
}

// How many code points UTF-8 bytes hold, into *count, and the largest of
// them, into *largest, with true; false when the bytes are not well formed
// (a stray or missing continuation byte, a longer form than needed, a
// surrogate or a value above U+10FFFF). A str is made to its exact size and
// width from these two.
inline bool utf8_code_points(const unsigned char *s, size_t n, size_t *count, uint32_t *largest) {
    size_t i = 0, points = 0;
    uint32_t top = 0;
    while (i < n) {
        // Blocks of ASCII at once.
        if (i + 8 <= n) {
            uint64_t block;
            std::memcpy(&block, s + i, 8);
            if ((block & 0x8080808080808080ull) == 0) {
                for (unsigned k = 0; k < 8; ++k) top = s[i + k] > top ? s[i + k] : top;
                i += 8;
                points += 8;
                continue;
            }
        }
        const unsigned char b = s[i];
        uint32_t c;
        unsigned extra;
        if (b < 0x80) c = b, extra = 0;
        else if (b >= 0xC2 && b <= 0xDF) c = b & 0x1F, extra = 1;
        else if (b >= 0xE0 && b <= 0xEF) c = b & 0x0F, extra = 2;
        else if (b >= 0xF0 && b <= 0xF4) c = b & 0x07, extra = 3;
        else return false;
        if (n - i <= extra) return false;
        for (unsigned j = 1; j <= extra; ++j) {
            if (!is_continuation_byte(s[i + j])) return false;
            c = c << 6 | (s[i + j] & 0x3F);
        }
        if (utf8_width(c) != extra + 1 || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
        top = c > top ? c : top;
        i += extra + 1;
        ++points;
    }
    *count = points;
    *largest = top;
    return true;
}

// True when bytes are UTF-8 as the interpreter decodes it strictly.
inline bool is_utf8(const unsigned char *s, size_t n) {
    size_t count;
    uint32_t largest;
    return utf8_code_points(s, n, &count, &largest);
}

// Writes the code points of well-formed UTF-8 bytes (utf8_code_points said
// so) to out, one unit each; out holds as many units as there are points.
template <typename CodePoint>
inline void utf8_decode(const unsigned char *s, size_t n, CodePoint *out) {
    for (size_t i = 0; i < n; ++out) {
        const unsigned char b = s[i];
        if (b < 0x80) {
            *out = b;
            ++i;
        } else if (b < 0xE0) {
            *out = CodePoint((b & 0x1Fu) << 6 | (s[i + 1] & 0x3Fu));
            i += 2;
        } else if (b < 0xF0) {
            *out = CodePoint((b & 0x0Fu) << 12 | (s[i + 1] & 0x3Fu) << 6 | (s[i + 2] & 0x3Fu));
            i += 3;
        } else {
            *out = CodePoint((b & 0x07u) << 18 | (s[i + 1] & 0x3Fu) << 12 | (s[i + 2] & 0x3Fu) << 6 | (s[i + 3] & 0x3Fu));
            i += 4;
        }
    }
}

}  // namespace velarin
