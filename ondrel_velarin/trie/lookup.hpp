// The closest-prefix lookup of one key given as code points: by bytes over
// the node table, or by whole code points through the code point index, with
// the tail of a path compared as bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "trie.hpp"

namespace velarin {

// Sixteen bytes: node indices and word lengths fit 32 bits, as the store's
// counts do, and a scan's window of matches stays in the first cache level.
struct Match {
    int32_t node = -1;    // deepest terminal node on the key's path, or -1
    uint32_t length = 0;  // its depth: the matched word's byte length
    // For a scan's match, the code points its bytes touch (the last one
    // perhaps only in part); lookups leave it 0.
    uint32_t characters = 0;
    bool cut = false;  // a scan stopped the walk at its limit: a longer match may follow
};

static_assert(sizeof(Match) == 16);

// Room for N matches that a call fills before it reads them, left
// uninitialized until then: a call on a short text does not pay for
// initializing a whole window's worth.
template <size_t N>
class MatchRoom {
public:
    MatchRoom() {}
    Match &operator[](size_t i) { return matches_[i]; }
    const Match &operator[](size_t i) const { return matches_[i]; }
    Match *data() { return matches_; }

private:
    union {
        Match matches_[N];
    };
};

namespace detail {

// One step down the tree per byte; step() is false when no child exists.
template <bool Wide>
struct Cursor {
    const TrieStore &store;
    uint32_t index = 0;
    Match match{};

    void note(size_t position) {
        if (is_terminal(store.nodes[index])) match = Match{int32_t(index), uint32_t(position)};
    }

    bool step(unsigned char b) {
        const VelarinNode &node = store.nodes[index];
        const uint64_t m = store.byte_to_mask[b];
        unsigned slot;
        if constexpr (Wide) {
            if (node.children_indices == nullptr) return false;
            const unsigned plane = plane_of(b), kept = node_plane(store, index);
            if (kept != multi_plane) {
                if (kept != plane || (node.mask & m) == 0) return false;
                slot = unsigned(__builtin_popcountll(node.mask & (m - 1)));
            } else {
                const uint64_t *words = wide_mask(node)->words;
                if ((words[plane] & m) == 0) return false;
                slot = unsigned(__builtin_popcountll(words[plane] & (m - 1)));
                for (unsigned p = 0; p < plane; ++p) slot += unsigned(__builtin_popcountll(words[p]));
            }
        } else {
            if ((node.mask & m) == 0) return false;
            slot = unsigned(__builtin_popcountll(node.mask & (m - 1)));
        }
        index = node.children_indices[slot];
        return true;
    }
};

// Encodes code points only as far as the walk goes, so a long key costs what
// its match costs.
template <bool Wide, typename CodePoint>
inline Match walk_code_points(const TrieStore &store, const CodePoint *units, size_t n) {
    Cursor<Wide> cursor{store};
    size_t position = 0;
    unsigned char buffer[4];
    for (size_t i = 0;; ++i) {
        cursor.note(position);
        if (i == n) return cursor.match;
        const unsigned length = encode_code_point(units[i], buffer);
        for (unsigned j = 0; j < length; ++j) {
            if (j > 0) cursor.note(position);
            if (!cursor.step(buffer[j])) return cursor.match;
            ++position;
        }
    }
}

// The match of a walk that passes node, a word of `depth` bytes.
inline Match matched(const TrieStore &store, uint32_t node, size_t depth) {
    const void *const *slots = __atomic_load_n(&store.match_slots, __ATOMIC_ACQUIRE);
    if (slots != nullptr) __builtin_prefetch(slots + terminal_slot(store.terminal_runs, node));
    return Match{int32_t(node), uint32_t(depth)};
}

// A walk that reached, `depth` bytes deep, the first node of a tail, which is
// not terminal and whose subtree is one path down to the leaf `last`; the key
// goes on with units[0..n). Compares at most `limit` of them with the bytes
// of the leaf's word below that depth, in *taken how many matched, and gives
// the deepest terminal node within the bytes they matched, or `match` when
// there is none. The nodes below the first lie at consecutive indices, down
// to `last`: a word list's tails are laid out that way (the index takes no
// tail that is not).
template <typename CodePoint>
inline Match follow_tail(const TrieStore &store, uint32_t last, size_t depth, const CodePoint *units, size_t n,
                         size_t limit, Match match, size_t *taken) {
    const char *word = store.nodes[last].word;
    const size_t tail = word_length(word) - depth;
    size_t bytes = 0;
    *taken = common_code_points(units, n, limit, reinterpret_cast<const unsigned char *>(word) + depth, tail, &bytes);
    if (bytes == tail) return matched(store, last, depth + tail);
    const uint32_t first_below = last + 1 - uint32_t(tail);
    // A few records lie beside the last one, which is on its way; past
    // them, the bitmap's words cost less than a load per record.
    constexpr size_t near_records = 8;
    for (size_t j = bytes; j > 0 && j + near_records > bytes; --j)
        if (is_terminal(store.nodes[first_below + j - 1])) return matched(store, first_below + uint32_t(j) - 1, depth + j);
    if (bytes <= near_records) return match;
    const int64_t below = store.index.last_terminal(first_below, first_below + uint32_t(bytes - near_records));
    return below < 0 ? match : matched(store, uint32_t(below), depth + size_t(below - first_below) + 1);
}

// The code point walk through the code point index: one probe per code
// point, with the probes of the next few code points already loading. The
// path filter's words for the first four code points past the root are read
// before the root edge, so their misses overlap; a probe is aimed only past
// a path the filter holds, and no further than four code points ahead. Most
// walks end within a few code points: loading further ahead only crowds the
// memory system.
//
// Whole: the key is wanted whole (membership, a word's value), and is most
// likely a word, whose every probe is made: then the probes of the next 15
// code points are aimed, with no path filter in the way, so that all their
// misses overlap.
template <bool Whole, typename CodePoint>
inline Match walk_char_edges(const TrieStore &store, const CodePoint *units, size_t n) {
    constexpr size_t ahead = Whole ? 15 : 4;
    const CharIndex &index = store.index;
    Match match{};
    size_t taken;
    if (is_terminal(store.nodes[0])) match = Match{0, 0};
    if (n == 0 || index.starts_nothing(units[0])) return match;
    uint64_t hashes[16];  // of the paths ending at units[i], for the probes aimed but not yet made
    uint64_t path_hash = extend_path_hash(index.root_path_hash, units[0]);
    // The path filter's words (or, whole, the probes) for the first code
    // points past the root, all asked for before the root edge and before
    // any is tested, so that their misses overlap each other's and the root
    // edge's.
    const size_t first_aims = n < 1 + ahead ? n : 1 + ahead;
    PathFilterKey keys[1 + ahead];
    uint64_t words[1 + ahead];
    for (size_t k = 1; k < first_aims; ++k) {
        path_hash = extend_path_hash(path_hash, units[k]);
        hashes[k] = path_hash;
        if constexpr (Whole) {
            __builtin_prefetch(index.edges_at(k).home(path_hash));
        } else {
            keys[k] = path_filter_key(path_hash, index.path_filter_shift);
            words[k] = index.path_filter[keys[k].word];
        }
    }
    const RootEdge &first = index.root_edge(units[0]);
    uint32_t node = first.child & ~char_edge_terminal;
    size_t depth = utf8_width(units[0]);
    if (first.child & char_edge_terminal) match = matched(store, node, depth);
    if (begins_tail(first)) return follow_tail(store, node, depth, units + 1, n - 1, SIZE_MAX, match, &taken);
    if (n == 1 || !may_continue(first, units[1])) return match;
    size_t aimed = Whole ? first_aims : 1, reachable = n;  // no edge takes units[reachable], as the path filter shows
    if constexpr (!Whole) {
        for (; aimed < first_aims; ++aimed) {
            if (!holds_path(words[aimed], keys[aimed])) {
                reachable = aimed;
                break;
            }
            __builtin_prefetch(index.edges_at(aimed).home(hashes[aimed]));
        }
    }
    auto aim_until = [&](size_t end) {
        for (; aimed < end && aimed < reachable; ++aimed) {
            path_hash = extend_path_hash(path_hash, units[aimed]);
            if (!Whole && !index.may_have_path(path_hash)) {
                reachable = aimed;
                break;
            }
            hashes[aimed % 16] = path_hash;
            __builtin_prefetch(index.edges_at(aimed).home(path_hash));
        }
    };
    for (size_t i = 1; i < reachable; ++i) {
        const uint32_t c = units[i];
        const CharEdge *edge = index.edges_at(i).find(hashes[i % 16], node, c);
        if (edge == nullptr) break;
        node = edge->child & ~char_edge_terminal;
        depth += utf8_width(c);
        if (edge->child & char_edge_terminal) match = matched(store, node, depth);
        if (begins_tail(*edge))
            return follow_tail(store, node, depth, units + i + 1, n - i - 1, SIZE_MAX, match, &taken);
        if (i + 1 < n && !may_continue(*edge, units[i + 1])) break;
        aim_until(i + 1 + ahead);
    }
    return match;
}

}  // namespace detail

// The longest stored word that the key, given as code points (none of them a
// surrogate), begins with.
template <typename CodePoint>
inline Match closest_prefix_code_points(const TrieStore &store, const CodePoint *units, size_t n) {
    if (store.nodes == nullptr) return Match{};
    if (store.index.state == CharIndexState::built) return detail::walk_char_edges<false>(store, units, n);
    return is_wide(store.max_mask_bit) ? detail::walk_code_points<true>(store, units, n)
                                       : detail::walk_code_points<false>(store, units, n);
}

// The same answer, walked for a key that is most likely a word whole.
template <typename CodePoint>
inline Match whole_key_code_points(const TrieStore &store, const CodePoint *units, size_t n) {
    if (store.nodes == nullptr) return Match{};
    if (store.index.state == CharIndexState::built) return detail::walk_char_edges<true>(store, units, n);
    return closest_prefix_code_points(store, units, n);
}

}  // namespace velarin
