// The trie engine: store layout, node record, build, lookup and walk.
//
// Plain C++ without the interpreter: failures come back as a Status value that
// names what failed, and the one allocator that belongs to the interpreter (the
// per-string copies) is passed in by the caller. The surface turns Status values
// into exceptions.
//
// Child rule. For a node n and a byte b, m = byte_to_mask[b]; no child when
// m == 0 or (n.mask & m) == 0; otherwise the child is
// n.children_indices[popcount(n.mask & (m - 1))].
//
// Wide alphabets. When more than 64 distinct byte values occur, the k-th
// smallest byte gets bit k of a 256-bit child bitmap (a WideMask), which each
// node with children keeps in its own children_indices block, right after the
// indices (at the next 8-byte boundary), so a step reads no other memory:
// byte_to_mask[b] is then the bit within its 64-bit word (1 << (k % 64)),
// byte_to_plane[b] the word (k / 64), and a node's `mask` is only the OR of its
// children's byte_to_mask entries, which the walk does not read. max_mask_bit
// is the alphabet size in both cases.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace velarin {

struct VelarinNode {
    uint64_t mask;
    uint32_t *children_indices;
    int32_t num_children;
    int32_t is_terminal;
    char *word;
};

static_assert(sizeof(VelarinNode) == 32);
static_assert(offsetof(VelarinNode, mask) == 0);
static_assert(offsetof(VelarinNode, children_indices) == 8);
static_assert(offsetof(VelarinNode, num_children) == 16);
static_assert(offsetof(VelarinNode, is_terminal) == 20);
static_assert(offsetof(VelarinNode, word) == 24);

struct WideMask {
    uint64_t words[4];
};

constexpr int narrow_alphabet_limit = 64;

inline bool is_wide(int32_t max_mask_bit) { return max_mask_bit > narrow_alphabet_limit; }

// Where a wide node's bitmap follows its children's indices.
inline size_t wide_mask_offset(int32_t num_children) { return (size_t(num_children) + 1) / 2 * 8; }

inline const WideMask *wide_mask(const VelarinNode &node) {
    return reinterpret_cast<const WideMask *>(reinterpret_cast<const char *>(node.children_indices) +
                                              wide_mask_offset(node.num_children));
}

// One edge of the code point index: from a node on a code point boundary,
// through one code point's UTF-8 bytes, to the node they reach. Slots of a
// hash table keyed by (parent, code point); a zero parent_plus_one is empty.
// An edge's home slot comes from a hash of the whole path it ends, not of the
// pair: the slots a key's walk probes then follow from the key alone, so the
// walk can load those of the code points ahead while a probe is in flight.
// An edge also keeps a small Bloom filter of the code points of the edges
// leaving its child: most walks end at a code point the child has no edge
// for, and the filter ends them without that probe, which misses the cache.
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

// The hash of a path one code point longer. The root's (empty) path hashes to
// the index's seed, chosen at random per index (see build_char_index), so
// that no word list can be made to crowd the tables' slots.
inline uint64_t extend_path_hash(uint64_t path_hash, uint32_t code_point) {
    return (path_hash ^ code_point) * 0x9E3779B97F4A7C15ull;
}

// The home slot, in a table of 2^(64 - shift) slots, of the edge ending the
// path with this hash.
inline size_t char_edge_slot(uint64_t path_hash, int shift) { return size_t(path_hash >> shift); }

// A table of 2^(64 - shift) CharEdge slots, probed linearly from home. No
// run of occupied slots is longer than max_edge_run: an index whose edges
// would make one is built again with another seed, so a probe is bounded.
// Random homes make far shorter runs: in a half-full table of 2^20 slots the
// longest is about 40 to 50.
constexpr size_t max_edge_run = 128;

struct EdgeTable {
    const CharEdge *slots;
    int32_t shift;

    const CharEdge *home(uint64_t path_hash) const { return slots + char_edge_slot(path_hash, shift); }

    // The edge (parent, code_point) ending the path with this hash, or null.
    const CharEdge *find(uint64_t path_hash, uint32_t parent, uint32_t code_point) const {
        const size_t mask = (size_t(1) << (64 - shift)) - 1;
        for (size_t slot = char_edge_slot(path_hash, shift);; slot = (slot + 1) & mask) {
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

enum class CharIndexState : int32_t { untried, built, unavailable };

// How a long operation (a build, the index build, a scan) stays answerable:
// every `interval` steps of work it asks the caller's go_on whether to go on,
// and stops when told not to. Without a go_on it never stops. A step is a
// unit of work of bounded cost (a probe, a node, a comparison), so the
// questions come at about the same pace whatever the input.
struct WorkMeter {
    static constexpr size_t interval = size_t(1) << 16;
    bool (*go_on)(void *context) = nullptr;
    void *context = nullptr;
    size_t left = interval;

    // Counts `steps` of work; false when the caller says to stop.
    bool spend(size_t steps) {
        if (steps < left) {
            left -= steps;
            return true;
        }
        left = interval;
        return go_on == nullptr || go_on(context);
    }
};

// A zeroed block for a table; see allocate_table.
struct TableBlock {
    void *data = nullptr;
    size_t mapped = 0;  // bytes mapped for it, or 0 when it came from the heap
};

struct TrieStore {
    uint64_t byte_to_mask[256];
    VelarinNode *nodes;
    int32_t num_nodes;
    unsigned char **bytes_strings;
    int32_t *bytes_lengths;
    int32_t num_strings;
    int32_t max_mask_bit;
    // Engine data beyond the fields native peers read; each array below has
    // num_nodes entries whenever nodes is non-null.
    uint32_t *depths;  // length of each node's path, which is its word's length
    uint8_t byte_to_plane[256];
    // The code point index, made by the first lookup or scan and freed with
    // the table, in one block: the edges ending paths shorter than
    // near_edge_depth code points; the deeper ones; the edges leaving the
    // root; the runs that rank them (code_point_limit / 32); the path filter.
    TableBlock char_index;
    CharIndexState char_index_state;
    const RootEdge *root_edges;
    const FirstCodePoints *first_code_points;
    EdgeTable near_edges, far_edges;
    // A Bloom filter of the paths the edges past the root end, two bits each
    // in 2^(64 - path_filter_shift): most walks of a text end at a code point
    // no edge takes, and in this small bitmap a scan learns that without the
    // probe into a table, which misses the cache.
    const uint64_t *path_filter;
    int32_t path_filter_shift;
    // Null, or num_nodes entries that the caller reads for the node a lookup
    // matches (the surface's word cache): the walk asks for a word's entry
    // as it passes the word, so that it is on its way when the walk ends.
    const void *const *match_slots;
    // The hash of the root's path in the code point index (its seed).
    uint64_t root_path_hash;
    // Counts the changes of the node table (a release, a new root, nodes laid
    // out): an operation that let the caller run code meanwhile (WorkMeter)
    // sees from it whether the table it was reading is still there.
    uint64_t generation;
};

// The table holding the edges that take the code point at index i (i >= 1)
// of a walk.
inline const EdgeTable &edges_at(const TrieStore &store, size_t i) {
    return i + 1 < near_edge_depth ? store.near_edges : store.far_edges;
}

// Whether no stored path begins with code point c: a walk from c finds
// nothing past the root.
inline bool starts_nothing(const TrieStore &store, uint32_t c) {
    return (store.first_code_points[c / 32].present >> (c % 32) & 1) == 0;
}

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

// False when no edge past the root ends the path with this hash.
inline bool may_have_path(const TrieStore &store, uint64_t path_hash) {
    const PathFilterKey key = path_filter_key(path_hash, store.path_filter_shift);
    return holds_path(store.path_filter[key.word], key);
}

static_assert(offsetof(TrieStore, byte_to_mask) == 0);
static_assert(offsetof(TrieStore, nodes) == 2048);
static_assert(offsetof(TrieStore, num_nodes) == 2056);
static_assert(offsetof(TrieStore, bytes_strings) == 2064);
static_assert(offsetof(TrieStore, bytes_lengths) == 2072);
static_assert(offsetof(TrieStore, num_strings) == 2080);
static_assert(offsetof(TrieStore, max_mask_bit) == 2084);

enum class Status {
    ok,
    no_memory_nodes,             // the root record
    no_memory_nodes_grow,        // growing the node table
    no_memory_word,
    no_memory_children_indices,
    no_memory_working,           // the sorted view of the strings being built
    too_many_nodes,              // the table would pass the 32-bit node count
    no_memory_char_index,
    interrupted,  // the caller's go_on said to stop, or the table changed meanwhile
};

// A meter held to one node table: an operation goes on while the meter
// agrees and the table is the one it started with (the caller's code, run
// when the meter asks, may have released or rebuilt it).
class Pace {
public:
    Pace(WorkMeter &meter, const TrieStore &store) : meter_(meter), store_(store), generation_(store.generation) {}

    bool go_on(size_t steps) { return meter_.spend(steps) && store_.generation == generation_; }

    // Whether the table is still the one this pace started with.
    bool same_table() const { return store_.generation == generation_; }

private:
    WorkMeter &meter_;
    const TrieStore &store_;
    uint64_t generation_;
};

using StringFree = void (*)(void *);

// Gives the k-th smallest byte value marked in `present` its alphabet bit;
// every other byte gets mask 0.
void assign_alphabet(TrieStore &store, const bool (&present)[256]);

// Allocates the root record, releasing any node table the store holds (its
// strings stay).
Status build_root(TrieStore &store);

// Fills record `node_index`, whose path is `position` bytes long and is the
// common prefix of the given strings, and appends its whole subtree to the
// table: each node's children as one consecutive block in ascending byte
// order, created when that node is built, the children then built in that
// order. Strings shorter than `position` are ignored. The arrays are only read.
// The code point index, which the new nodes would make stale, is dropped.
// With a meter, `interrupted` when it says to stop (the nodes laid out so far
// stay) or when the table changed while it was asked (then nothing more is
// touched).
Status build_node(TrieStore &store, int32_t node_index, unsigned char *const *strings,
                  const int32_t *lengths, int32_t num_strings, int32_t position, WorkMeter *meter = nullptr);

// Builds the code point index of a built store, once: char_index_state ends
// `built`, or `unavailable` when a word that text can reach ends inside a
// code point (a walk by whole code points would miss its match), when no seed
// of a few tried keeps every run of its tables within max_edge_run, or when
// memory runs out, which the result then names. Without the index, scans
// walk bytes. Stopped by the meter, it leaves the state `untried` (or, when
// the table changed meanwhile, the store as it found it) and returns
// `interrupted`.
Status build_char_index(TrieStore &store, WorkMeter *meter = nullptr);

// Frees the code point index, so that the next lookup builds it afresh.
void drop_char_index(TrieStore &store);

// A zeroed block for `bytes`, which free_table releases; its data is null
// when there is no memory. A block of many pages is mapped on its own, so its
// pages take memory only once written: the tables are written sparsely (the
// code point index's rank runs where some word starts, the word cache where
// a word is matched), and a small trie then costs a few pages, not the whole
// fixed-size rank table. A large block is asked for in huge pages: walks read
// such tables at random, and with small pages nearly every read would miss
// the address translation cache too.
TableBlock allocate_table(size_t bytes);

// Releases a block from allocate_table and leaves it empty; an empty one is
// left as it is.
void free_table(TableBlock &block);

// Frees the node table with every block it owns, then the strings (each copy
// through `free_string`) and the length array. Pointers end null and counts 0,
// so a second call frees nothing. The alphabet is left as it is. The string
// array is freed only with a positive num_strings: whoever allocates it sets
// the count at once.
void release(TrieStore &store, StringFree free_string);

// ---- Lookup -------------------------------------------------------------

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

// Bytes in the UTF-8 form of code point c.
inline unsigned utf8_width(uint32_t c) { return 1u + (c >= 0x80) + (c >= 0x800) + (c >= 0x10000); }

namespace detail {

inline bool is_terminal(const VelarinNode &node) {
    return node.is_terminal != 0 && node.word != nullptr;
}

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
            const uint64_t *words = wide_mask(node)->words;
            const unsigned plane = store.byte_to_plane[b];
            if ((words[plane] & m) == 0) return false;
            slot = unsigned(__builtin_popcountll(words[plane] & (m - 1)));
            // Bits of the lower planes count before this one; masking keeps it branch-free.
            slot += unsigned(__builtin_popcountll(words[0] & -uint64_t(plane > 0)));
            slot += unsigned(__builtin_popcountll(words[1] & -uint64_t(plane > 1)));
            slot += unsigned(__builtin_popcountll(words[2] & -uint64_t(plane > 2)));
        } else {
            if ((node.mask & m) == 0) return false;
            slot = unsigned(__builtin_popcountll(node.mask & (m - 1)));
        }
        index = node.children_indices[slot];
        return true;
    }
};

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

// The edge leaving the root through code point c, which one must.
inline const RootEdge &root_edge(const TrieStore &store, uint32_t c) {
    const FirstCodePoints &run = store.first_code_points[c / 32];
    return store.root_edges[run.before + unsigned(__builtin_popcount(run.present & ((uint32_t(1) << (c % 32)) - 1)))];
}

// The match of a walk that passes node, a word of `depth` bytes.
inline Match matched(const TrieStore &store, uint32_t node, size_t depth) {
    if (store.match_slots != nullptr) __builtin_prefetch(store.match_slots + node);
    return Match{int32_t(node), uint32_t(depth)};
}

// The code point walk through the code point index: one probe per code
// point, with the probes of the next few code points already loading. The
// path filter's words for the first four code points past the root are read
// before the root edge, so their misses overlap; a probe is aimed only past
// a path the filter holds, and no further than four code points ahead. Most
// walks end within a few code points: loading further ahead only crowds the
// memory system.

template <typename CodePoint>
inline Match walk_char_edges(const TrieStore &store, const CodePoint *units, size_t n) {
    constexpr size_t ahead = 4;
    Match match{};
    if (is_terminal(store.nodes[0])) match = Match{0, 0};
    if (n == 0 || starts_nothing(store, units[0])) return match;
    uint64_t hashes[16];  // of the paths ending at units[i], for the probes aimed but not yet made
    uint64_t path_hash = extend_path_hash(store.root_path_hash, units[0]);
    // The path filter's words for the first code points past the root, all
    // asked for before the root edge and before any is tested, so that
    // their misses overlap each other's and the root edge's.
    const size_t first_aims = n < 1 + ahead ? n : 1 + ahead;
    PathFilterKey keys[1 + ahead];
    uint64_t words[1 + ahead];
    for (size_t k = 1; k < first_aims; ++k) {
        path_hash = extend_path_hash(path_hash, units[k]);
        hashes[k] = path_hash;
        keys[k] = path_filter_key(path_hash, store.path_filter_shift);
        words[k] = store.path_filter[keys[k].word];
    }
    const RootEdge &first = root_edge(store, units[0]);
    uint32_t node = first.child & ~char_edge_terminal;
    size_t depth = utf8_width(units[0]);
    if (first.child & char_edge_terminal) match = matched(store, node, depth);
    if (n == 1 || !may_continue(first, units[1])) return match;
    size_t aimed = 1, reachable = n;  // no edge takes units[reachable], as the path filter shows
    for (; aimed < first_aims; ++aimed) {
        if (!holds_path(words[aimed], keys[aimed])) {
            reachable = aimed;
            break;
        }
        __builtin_prefetch(edges_at(store, aimed).home(hashes[aimed]));
    }
    auto aim_until = [&](size_t end) {
        for (; aimed < end && aimed < reachable; ++aimed) {
            path_hash = extend_path_hash(path_hash, units[aimed]);
            if (!may_have_path(store, path_hash)) {
                reachable = aimed;
                break;
            }
            hashes[aimed % 16] = path_hash;
            __builtin_prefetch(edges_at(store, aimed).home(path_hash));
        }
    };
    for (size_t i = 1; i < reachable; ++i) {
        const uint32_t c = units[i];
        const CharEdge *edge = edges_at(store, i).find(hashes[i % 16], node, c);
        if (edge == nullptr) break;
        node = edge->child & ~char_edge_terminal;
        depth += utf8_width(c);
        if (edge->child & char_edge_terminal) match = matched(store, node, depth);
        if (i + 1 < n && !may_continue(*edge, units[i + 1])) break;
        aim_until(i + 1 + ahead);
    }
    return match;
}

}  // namespace detail

// The same for a key given as code points (none of them a surrogate).
template <typename CodePoint>
inline Match closest_prefix_code_points(const TrieStore &store, const CodePoint *units, size_t n) {
    if (store.nodes == nullptr) return Match{};
    if (store.char_index_state == CharIndexState::built) return detail::walk_char_edges(store, units, n);
    return is_wide(store.max_mask_bit) ? detail::walk_code_points<true>(store, units, n)
                            : detail::walk_code_points<false>(store, units, n);
}

// ---- UTF-8 of code point arrays ---------------------------------------------

namespace detail {

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

// ---- Walk in node order -------------------------------------------------

// The first terminal node at or after `from` and below `limit`, or -1.
inline int64_t next_terminal(const TrieStore &store, int64_t from, int64_t limit) {
    if (store.nodes == nullptr) return -1;
    if (limit > store.num_nodes) limit = store.num_nodes;
    for (int64_t i = from; i < limit; ++i)
        if (detail::is_terminal(store.nodes[i])) return i;
    return -1;
}

}  // namespace velarin
