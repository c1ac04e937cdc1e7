// The code point index: its layout, its hashing and its tables. A walk by
// code points makes one probe of a hash table per code point instead of
// reading a node record and a child block per byte. An edge whose child
// starts a tail (a subtree that is one path, such as the rest of a word)
// ends the walk's probes there: the rest of the key is compared with the
// bytes of the word at the tail's end, so deep paths cost the bytes they
// compare and the index holds no edges inside tails.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "table.hpp"

namespace velarin {

// One edge of the code point index: from a node on a code point boundary,
// through one code point's UTF-8 bytes, to the node they reach. Slots of a
// hash table keyed by (parent, code point); a zero parent_plus_one is empty.
// An edge's home slot comes from a hash of the whole path it ends, not of the
// pair: the slots a key's walk probes then follow from the key alone, so the
// walk can load those of the code points ahead while a probe is in flight.
// An edge also keeps a small Bloom filter of the code points of the edges
// leaving its child: most walks end at a code point the child has no edge
// for, and the filter ends them without that probe, which misses the cache.
//
// An edge into a tail has an empty filter and a child without the terminal
// flag: its `child` is then the tail's last node, a leaf, whose word's bytes
// the rest of the key is compared with (see begins_tail).
struct CharEdge {
    static constexpr int filter_bits = 11;
    uint32_t parent_plus_one;
    uint32_t code_point : 21;
    uint32_t next_code_points : filter_bits;  // bit next_code_point_bit<filter_bits>(c) for each such c
    uint32_t child;                           // node index, with char_edge_terminal set when that node is terminal
};

constexpr uint32_t char_edge_terminal = uint32_t(1) << 31;

// An edge leaving the root, kept apart: every walk begins with one. They
// lie in code point order, where first_code_points ranks them, and have room
// for a wider filter.
struct RootEdge {
    static constexpr int filter_bits = 32;
    uint32_t next_code_points;  // as in CharEdge
    uint32_t child;             // as in CharEdge
};

// Which code points of a run of 32 begin an edge from the root, and how many
// edges the earlier runs begin: the rank of code point c's edge is then
// `before` plus the bits below c's, one load from a table that stays cached.
struct FirstCodePoints {
    uint32_t present;
    uint32_t before;
};

constexpr uint32_t code_point_limit = 0x110000;

// Code point c's bit in a next_code_points filter of `bits` bits.
template <int bits>
inline uint32_t next_code_point_bit(uint32_t c) {
    return uint32_t(1) << ((uint64_t(c * 0x9E3779B1u) * bits) >> 32);
}

// False when no edge leaves this edge's child through code point c.
template <typename Edge>
inline bool may_continue(const Edge &edge, uint32_t c) {
    return (edge.next_code_points & next_code_point_bit<Edge::filter_bits>(c)) != 0;
}

// Whether the edge leads into a tail, whose bytes the walk compares instead
// of probing on. An edge into a leaf has an empty filter too, but its child
// is terminal: the walk simply ends there.
template <typename Edge>
inline bool begins_tail(const Edge &edge) {
    return edge.next_code_points == 0 && (edge.child & char_edge_terminal) == 0;
}

// The hash of a path one code point longer. The root's (empty) path hashes to
// the index's seed, chosen at random per index, so that no word list can be
// made to crowd the tables' slots.
inline uint64_t extend_path_hash(uint64_t path_hash, uint32_t code_point) {
    return (path_hash ^ code_point) * 0x9E3779B97F4A7C15ull;
}

// The home slot, in a table of `size` slots, of the edge ending the path
// with this hash: the hash's high bits scaled to the size, so that a table
// can be sized to its edges rather than to a power of two.
inline size_t char_edge_slot(uint64_t path_hash, size_t size) {
    return size_t((static_cast<unsigned __int128>(path_hash) * size) >> 64);
}

// A table of `size` CharEdge slots, at most half full, probed linearly from
// home. No run of occupied slots is longer than max_edge_run: an index whose
// edges would make one is built again with another seed, so a probe is
// bounded. Random homes make far shorter runs: in a half-full table of 2^20
// slots the longest is about 40 to 50.
constexpr size_t max_edge_run = 128;

struct EdgeTable {
    const CharEdge *slots;
    size_t size;

    const CharEdge *home(uint64_t path_hash) const { return slots + char_edge_slot(path_hash, size); }

    // The edge (parent, code_point) ending the path with this hash, or null.
    const CharEdge *find(uint64_t path_hash, uint32_t parent, uint32_t code_point) const {
        return find_from(char_edge_slot(path_hash, size), parent, code_point);
    }

    // The same, from the path's home slot, found already.
    const CharEdge *find_from(size_t home_slot, uint32_t parent, uint32_t code_point) const {
        for (size_t slot = home_slot;; slot = slot + 1 == size ? 0 : slot + 1) {
            const CharEdge &edge = slots[slot];
            if (edge.parent_plus_one == parent + 1 && edge.code_point == code_point) return &edge;
            if (edge.parent_plus_one == 0) return nullptr;
        }
    }
};

// Edges ending a path of fewer code points than this, past the root's, are
// kept in a table of their own: walks reach them most often, and in a table
// of the shallow edges alone the ones a text uses stay cached.
constexpr size_t near_edge_depth = 4;

// Which tables get an index. `proportionate`: those whose ranks of first
// code points take no more bytes than their node records do. The ranks run
// up to the largest code point that begins a word, eight bytes for every 32
// code points whatever the words: about 10 KB for a word beginning with 馥
// (U+99A5), 278 KB for one beginning with U+10FFFF, which a table of a few
// words would then cost several times over. Such a table is small (its
// records take less than that) and walks bytes instead: lookups as fast, a
// scan of a text where most positions start no word about twice as long (the
// index's ranks end those walks in one load). For the engine's tests, `any`:
// every table; `none`: no table.
enum class IndexTables { proportionate, any, none };

// `building` while its build lets the caller run code: walks meanwhile go by
// bytes, as without an index.
enum class CharIndexState : int32_t { untried, building, built, unavailable };

// Where a path with this hash has its two bits in the path filter: both in
// one word, so that a test costs one load. A second multiply keeps them apart
// from the edge's home slot, which the same hash's top bits choose.
struct PathFilterKey {
    size_t word;
    uint64_t bits;
};

inline PathFilterKey path_filter_key(uint64_t path_hash, int shift) {
    const uint64_t h = path_hash * 0xD6E8FEB86659FD93ull;
    const size_t bit = size_t(h >> shift);
    return PathFilterKey{bit / 64, uint64_t(1) << (bit % 64) | uint64_t(1) << (h >> 20 & 63)};
}

// False when the path filter's word `word` shows that no edge ends the path
// of this key.
inline bool holds_path(uint64_t word, const PathFilterKey &key) { return (word & key.bits) == key.bits; }

// For a table of deep words (see automaton.hpp), per node, side by side so
// that a scan's state costs one miss: the node of the longest proper suffix
// of its path that is a path too, the deepest word among those suffixes'
// nodes (0 for none), its depth in bytes, and the code points its path
// touches (a first one it begins inside counts).
struct AutomatonNode {
    uint32_t fallback;
    uint32_t next_word;
    uint32_t depth;
    uint32_t code_points;
};

// The automaton's records, one a node; empty (nodes null) for every table
// but one of deep words. For a small byte alphabet its block also holds
// every state's move on every byte, a row of `columns` a node: a byte then
// costs one load, where falling back costs a node and its children at each
// try. A move is the next state's row (the state times `columns`, so that
// the next move's place is one addition away), its top bit set when a word
// ends there. A byte of no word has no column and leads to the root.
struct Automaton {
    TableBlock block;
    const AutomatonNode *nodes;
    const uint32_t *moves;     // null: no table of moves
    const uint8_t *column_of;  // each byte's column (or no_column), with the moves
    uint32_t columns;
};

constexpr uint8_t no_column = 255;

// The index of one node table, made by the first lookup or scan and freed
// with the table, in one block: the path filter; the edges leaving the root;
// the runs that rank them, up to the last code point that begins a word; the
// edges ending paths shorter than near_edge_depth code points; the deeper
// ones; a bit per node, set for the terminal ones.
struct CharIndex {
    TableBlock block;
    CharIndexState state;
    const RootEdge *root_edges;
    const FirstCodePoints *first_code_points;
    uint32_t num_first_runs;  // code points from 32 * num_first_runs on begin no word
    EdgeTable near_edges, far_edges;
    // A Bloom filter of the paths the edges past the root end, two bits each
    // in 2^(64 - path_filter_shift): most walks of a text end at a code point
    // no edge takes, and in this small bitmap a scan learns that without the
    // probe into a table, which misses the cache.
    const uint64_t *path_filter;
    int32_t path_filter_shift;
    // The hash of the root's path (the seed).
    uint64_t root_path_hash;
    // Bit i % 64 of word i / 64 for each terminal node i: a walk that
    // leaves a tail deep inside finds the tail's last word before that
    // point in a few words, where the node records would cost a load each.
    const uint64_t *terminal_nodes;
    // Its own block: the scans' automaton, for deep words.
    Automaton automaton;

    // The table holding the edges that take the code point at index i (i >= 1)
    // of a walk.
    const EdgeTable &edges_at(size_t i) const { return i + 1 < near_edge_depth ? near_edges : far_edges; }

    // Whether no stored path begins with code point c: a walk from c finds
    // nothing past the root.
    bool starts_nothing(uint32_t c) const {
        return c / 32 >= num_first_runs || (first_code_points[c / 32].present >> (c % 32) & 1) == 0;
    }

    // The edge leaving the root through code point c, which one must.
    const RootEdge &root_edge(uint32_t c) const {
        const FirstCodePoints &run = first_code_points[c / 32];
        return root_edges[run.before + unsigned(__builtin_popcount(run.present & ((uint32_t(1) << (c % 32)) - 1)))];
    }

    // The last terminal node of nodes [from, to), or -1 when none is.
    int64_t last_terminal(uint32_t from, uint32_t to) const {
        while (to > from) {
            const uint32_t top = to - 1, low = std::max(from, top & ~uint32_t(63));
            const uint64_t bits = terminal_nodes[top / 64] & (~uint64_t(0) >> (63 - top % 64)) &
                                  (~uint64_t(0) << (low % 64));
            if (bits != 0) return int64_t(top & ~uint32_t(63)) + 63 - __builtin_clzll(bits);
            to = low;
        }
        return -1;
    }

    // False when no edge past the root ends the path with this hash.
    bool may_have_path(uint64_t path_hash) const {
        const PathFilterKey key = path_filter_key(path_hash, path_filter_shift);
        return holds_path(path_filter[key.word], key);
    }
};

}  // namespace velarin
