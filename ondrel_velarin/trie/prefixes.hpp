// The stored words a key begins with, all of them, shortest first: the walk
// of the closest-prefix lookup (through the code point index and the tails
// it leaves to a byte comparison, or by bytes without an index) that hands
// every terminal node it passes to a visitor instead of keeping the last.
// Callers that ask at every position of a text (a segmenter building its
// graph of words) pay one walk per position, with no allocation.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lookup.hpp"

namespace velarin {
namespace detail {

// A word found `characters` code points and `depth` bytes into the key,
// its cache slot already loading as a lookup's is.
inline Match found_word(const TrieStore &store, uint32_t node, size_t depth, size_t characters) {
    Match match = matched(store, node, depth);
    match.characters = uint32_t(characters);
    return match;
}

// The words in a tail: node `last` ends the tail, entered `depth` bytes and
// `characters` code points deep; the key goes on with units[0..n). The
// index takes only tails whose words end on code point boundaries, so each
// code point compared is a place to look for one.
template <typename CodePoint, typename Visit>
inline void tail_prefixes(const TrieStore &store, uint32_t last, size_t depth, size_t characters,
                          const CodePoint *units, size_t n, Visit &visit) {
    const char *word = store.nodes[last].word;
    const size_t tail = word_length(word) - depth;
    size_t bytes = 0;
    const size_t taken =
        common_code_points(units, n, SIZE_MAX, reinterpret_cast<const unsigned char *>(word) + depth, tail, &bytes);
    const uint32_t first_below = last + 1 - uint32_t(tail);
    size_t at = 0;
    for (size_t i = 0; i < taken; ++i) {
        at += utf8_width(units[i]);
        const uint32_t node = first_below + uint32_t(at) - 1;
        if (is_terminal(store.nodes[node]))
            visit(Match{int32_t(node), uint32_t(depth + at), uint32_t(characters + i + 1)});
    }
}

// Through the code point index: one probe per code point, the next one's
// path filter word and home slot asked for while this one is made (they
// follow from the key alone).
template <typename CodePoint, typename Visit>
inline void char_edge_prefixes(const TrieStore &store, const CodePoint *units, size_t n, Visit &visit) {
    const CharIndex &index = store.index;
    if (is_terminal(store.nodes[0])) visit(Match{0, 0, 0});
    if (n == 0 || index.starts_nothing(units[0])) return;
    uint64_t path_hash = extend_path_hash(index.root_path_hash, units[0]);
    uint64_t next_hash = 0;
    if (n > 1) {
        next_hash = extend_path_hash(path_hash, units[1]);
        __builtin_prefetch(index.path_filter + path_filter_key(next_hash, index.path_filter_shift).word);
        __builtin_prefetch(index.edges_at(1).home(next_hash));
    }
    const RootEdge &first = index.root_edge(units[0]);
    uint32_t node = first.child & ~char_edge_terminal;
    size_t depth = utf8_width(units[0]);
    if (first.child & char_edge_terminal) visit(found_word(store, node, depth, 1));
    if (begins_tail(first)) return tail_prefixes(store, node, depth, 1, units + 1, n - 1, visit);
    if (n == 1 || !may_continue(first, units[1])) return;
    for (size_t i = 1; i < n; ++i) {
        path_hash = next_hash;
        if (!index.may_have_path(path_hash)) return;
        if (i + 1 < n) {
            next_hash = extend_path_hash(path_hash, units[i + 1]);
            __builtin_prefetch(index.path_filter + path_filter_key(next_hash, index.path_filter_shift).word);
            __builtin_prefetch(index.edges_at(i + 1).home(next_hash));
        }
        const uint32_t c = units[i];
        const CharEdge *edge = index.edges_at(i).find(path_hash, node, c);
        if (edge == nullptr) return;
        node = edge->child & ~char_edge_terminal;
        depth += utf8_width(c);
        if (edge->child & char_edge_terminal) visit(found_word(store, node, depth, i + 1));
        if (begins_tail(*edge)) return tail_prefixes(store, node, depth, i + 1, units + i + 1, n - i - 1, visit);
        if (i + 1 < n && !may_continue(*edge, units[i + 1])) return;
    }
}

// By bytes. A word ending inside a code point (only items with their own
// encode() make one) is visited too, as touching that code point.
template <bool Wide, typename CodePoint, typename Visit>
inline void byte_prefixes(const TrieStore &store, const CodePoint *units, size_t n, Visit &visit) {
    Cursor<Wide> cursor{store};
    size_t position = 0;
    unsigned char buffer[4];
    for (size_t i = 0;; ++i) {
        if (is_terminal(store.nodes[cursor.index])) visit(Match{int32_t(cursor.index), uint32_t(position), uint32_t(i)});
        if (i == n) return;
        const unsigned length = encode_code_point(units[i], buffer);
        for (unsigned j = 0; j < length; ++j) {
            if (j > 0 && is_terminal(store.nodes[cursor.index]))
                visit(Match{int32_t(cursor.index), uint32_t(position), uint32_t(i + 1)});
            if (!cursor.step(buffer[j])) return;
            ++position;
        }
    }
}

}  // namespace detail

// Calls visit(match) for every stored word that the key, given as code
// points, begins with, shortest first: match.node is its terminal node,
// match.length its length in bytes and match.characters in code points.
// The same walk as closest_prefix_code_points, whose answer is the last
// one visited. A code point that no word holds (a lone surrogate among
// them) ends the walk.
template <typename CodePoint, typename Visit>
inline void each_prefix(const TrieStore &store, const CodePoint *units, size_t n, Visit &&visit) {
    if (store.nodes == nullptr) return;
    if (store.index.state == CharIndexState::built) return detail::char_edge_prefixes(store, units, n, visit);
    if (is_wide(store.max_mask_bit)) return detail::byte_prefixes<true>(store, units, n, visit);
    detail::byte_prefixes<false>(store, units, n, visit);
}

}  // namespace velarin
