// The trie engine's chief header: the store and the node record that native
// callers read, where the store keeps what they point at, and the engine's
// operations on it (build, release, the walk in node order). Lookups are in
// lookup.hpp, whole-text scans in scan.hpp, the code point index in
// char_index.hpp, UTF-8 helpers in utf8.hpp.
//
// Plain C++ without the interpreter: failures come back as a Status value that
// names what failed, and the one allocator that belongs to the interpreter (the
// block of string copies) is passed in by the caller. The surface turns Status
// values into exceptions.
//
// Child rule. For a node n and a byte b, m = byte_to_mask[b]; no child when
// m == 0 or (n.mask & m) == 0; otherwise the child is
// n.children_indices[popcount(n.mask & (m - 1))].
//
// Storage. The node table is one array. Everything its records point at lies
// in a few large blocks: the children indices of all nodes of a layout in
// one array, in node order, and the words. A word is its string's copy in
// the strings block, which holds each copy after its length (word_length) and
// before a 0 byte; a word from strings of a native caller's own is copied,
// in that form, into a words block of its layout. A release frees a block at
// a time.
//
// Wide alphabets. When more than 64 distinct byte values occur, byte b has
// bit b % 64 of plane b / 64 (byte_to_mask and plane_of), so the bytes
// that continue a UTF-8 code point share one plane. A node whose children's
// bytes share a plane keeps the in-plane bits in its `mask`, as a narrow node
// does; node_planes names that plane. A node with children in several planes
// is marked multi_plane and keeps a 256-bit child bitmap (a WideMask) in its
// own children block, right after the indices (at the next 8-byte boundary).
// max_mask_bit is the alphabet size in both cases.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "char_index.hpp"
#include "table.hpp"
#include "utf8.hpp"

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

// Where a multi-plane node's bitmap follows its children's indices.
inline size_t wide_mask_offset(int32_t num_children) { return (size_t(num_children) + 1) / 2 * 8; }

inline const WideMask *wide_mask(const VelarinNode &node) {
    return reinterpret_cast<const WideMask *>(reinterpret_cast<const char *>(node.children_indices) +
                                              wide_mask_offset(node.num_children));
}

// A node_planes entry for a node whose children's bytes lie in several planes.
constexpr uint8_t multi_plane = 4;

// The length of a word in a words block: the byte before it, or, when that
// byte is long_word_mark, the four bytes before that.
constexpr unsigned char long_word_mark = 255;

inline uint32_t word_length(const char *word) {
    const auto mark = static_cast<unsigned char>(word[-1]);
    if (mark != long_word_mark) return mark;
    uint32_t length;
    std::memcpy(&length, word - 5, sizeof length);
    return length;
}

// Bytes a word of `length` bytes takes in a words block.
inline size_t word_entry_bytes(size_t length) { return (length < long_word_mark ? 1 : 5) + length + 1; }

// Writes the length of a word entry at `at`; returns where its bytes go,
// which the 0 byte follows.
inline unsigned char *start_word_entry(unsigned char *at, uint32_t length) {
    if (length < long_word_mark) {
        *at = static_cast<unsigned char>(length);
        return at + 1;
    }
    std::memcpy(at, &length, sizeof length);
    at[sizeof length] = long_word_mark;
    return at + sizeof length + 1;
}

// A block the store owns besides its node table; its data follows the
// header, aligned for any record.
struct alignas(16) StoreBlock {
    StoreBlock *next;
};

// Which of 64 nodes are terminal, and how many terminal nodes precede them:
// the slot of a terminal node in a per-word table (the surface's word cache)
// is its rank among the terminal nodes.
struct TerminalRun {
    uint64_t terminals;
    uint64_t before;
};

// The bits set in x. Word cache slots are counted outside the walks, which
// are built for processors with and without a population count instruction:
// without one, the compiler's built-in would be a library call.
inline unsigned count_bits(uint64_t x) {
#ifdef __POPCNT__
    return unsigned(__builtin_popcountll(x));
#else
    x -= (x >> 1) & 0x5555555555555555ull;
    x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
    x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Full;
    return unsigned((x * 0x0101010101010101ull) >> 56);
#endif
}

inline size_t terminal_slot(const TerminalRun *runs, uint32_t node) {
    const TerminalRun &run = runs[node / 64];
    return size_t(run.before) + count_bits(run.terminals & ((uint64_t(1) << (node % 64)) - 1));
}

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

    // Whether spending `steps` now would ask the caller.
    bool asks(size_t steps) const { return steps >= left; }

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

struct TrieStore {
    uint64_t byte_to_mask[256];
    VelarinNode *nodes;
    int32_t num_nodes;
    unsigned char **bytes_strings;
    int32_t *bytes_lengths;
    int32_t num_strings;
    int32_t max_mask_bit;
    // Engine data beyond the fields native peers read.
    // Wide alphabets only: a nibble per node, (num_nodes + 1) / 2 bytes: the
    // plane of the node's children's bytes, or multi_plane.
    uint8_t *node_planes;
    StoreBlock *blocks;   // the children and word blocks of every layout, newest first
    size_t block_bytes;   // their size, headers included
    // The one block (of the caller's allocator) that every entry of
    // bytes_strings points into, and its size. Each copy lies there as a
    // word entry (its length, its bytes, a 0 byte), so that a terminal
    // node's word can be the first copy of its string instead of one more.
    unsigned char *strings_block;
    size_t strings_bytes;
    CharIndex index;
    // Null, or set by the caller's word cache for this table: the ranks of the
    // terminal nodes and a slot per terminal node, which the walk asks for as
    // it passes a word, so that it is on its way when the walk ends. The
    // caller may set them while other threads walk: match_slots last, with
    // release order, and walks read it with acquire order.
    const TerminalRun *terminal_runs;
    const void *const *match_slots;
    // Counts the changes of what a walk reads: the node table released,
    // given a new root or laid out, the code point index dropped, the
    // caller's word cache dropped (its own code advances it then). An
    // operation that let the caller run code meanwhile (WorkMeter) sees from
    // it whether what it was reading is still there.
    uint64_t generation;
    // Layouts in progress (build_node, which lets the caller run code as it
    // goes): meanwhile the table is not indexed, and no cache of its words
    // by rank is made, since records are still being filled in.
    int32_t layouts;
};

static_assert(offsetof(TrieStore, byte_to_mask) == 0);
static_assert(offsetof(TrieStore, nodes) == 2048);
static_assert(offsetof(TrieStore, num_nodes) == 2056);
static_assert(offsetof(TrieStore, bytes_strings) == 2064);
static_assert(offsetof(TrieStore, bytes_lengths) == 2072);
static_assert(offsetof(TrieStore, num_strings) == 2080);
static_assert(offsetof(TrieStore, max_mask_bit) == 2084);

// The plane of byte b in a wide alphabet.
inline unsigned plane_of(unsigned char b) { return b / 64u; }

// The plane of node `index`'s children (wide alphabets), or multi_plane.
inline unsigned node_plane(const TrieStore &store, uint32_t index) {
    return (store.node_planes[index / 2] >> (index % 2 * 4)) & 0xF;
}

enum class Status {
    ok,
    no_memory_nodes,             // the root record
    no_memory_nodes_grow,        // growing the node table
    no_memory_word,
    no_memory_children_indices,
    no_memory_working,           // the sorted view of the strings being built
    too_many_nodes,              // the table would pass the 32-bit node count
    no_memory_char_index,
    no_memory_route,             // a segmentation's working arrays and pieces
    no_memory_text,              // a replacement's output, or the marks of its segments
    unwritable_value,            // a replacement met a value it cannot write
    interrupted,  // the caller's go_on said to stop, or the table changed meanwhile
};

// A meter held to one node table: an operation goes on while the meter
// agrees and the table is the one it started with (the caller's code, run
// when the meter asks, may have released or rebuilt it).
class Pace {
public:
    Pace(WorkMeter &meter, const TrieStore &store) : meter_(meter), store_(store), generation_(store.generation) {}

    bool go_on(size_t steps) { return meter_.spend(steps) && store_.generation == generation_; }

private:
    WorkMeter &meter_;
    const TrieStore &store_;
    uint64_t generation_;
};

using StringFree = void (*)(void *);

// Gives every byte value marked in `present` its alphabet bit: the k-th
// smallest bit k when there are at most 64 of them, else bit b % 64 of
// plane b / 64. Every other byte gets mask 0.
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
// touched). With `terminal_nodes` (one entry per string), the record each
// string ends at goes to its entry; of equal strings only one has it, the
// entries of the others are left as they were.
Status build_node(TrieStore &store, int32_t node_index, unsigned char *const *strings,
                  const int32_t *lengths, int32_t num_strings, int32_t position, WorkMeter *meter = nullptr,
                  uint32_t *terminal_nodes = nullptr);

// Builds the code point index of a built store, once (not while a layout is
// in progress, when it leaves the state `untried`): index.state ends
// `built`, or `unavailable` when `tables` leaves the table out (see
// IndexTables: a proportionate choice leaves out one whose index would rank
// first code points in more bytes than its node records take), when a word
// that text can reach ends inside a code point (a walk by whole code points
// would miss its match), when no seed
// of a few tried keeps every run of its tables within max_edge_run, or when
// memory runs out, which the result then names. Without the index, scans
// walk bytes. Stopped by the meter, it leaves the state `untried` (or, when
// the table changed meanwhile, the store as it found it) and returns
// `interrupted`.
Status build_char_index(TrieStore &store, WorkMeter *meter = nullptr, IndexTables tables = IndexTables::proportionate);

// Frees the code point index, so that the next lookup builds it afresh; a
// change of what walks read (the generation moves on).
void drop_char_index(TrieStore &store);

// A block of `bytes` that the store owns until its table is released, or
// null when there is no memory. Its data is aligned for any record.
void *add_store_block(TrieStore &store, size_t bytes);

// Frees the node table with every block it owns, then the strings (their
// block through `free_string`) and the pointer and length arrays. Pointers
// end null and counts 0, so a second call frees nothing. The alphabet is left
// as it is. The string array is freed only with a positive num_strings:
// whoever allocates it sets the count at once.
void release(TrieStore &store, StringFree free_string);

// Gives the heap's free pages back to the system: a large build's working
// arrays, freed, would otherwise stay with the process. A build of this many
// strings or nodes or more calls it; for smaller ones it costs more than it
// gives.
void return_free_memory();
constexpr int32_t large_build = 1 << 16;

// The bytes of memory the store holds: its node table and every block the
// records point into, the strings, and the code point index.
size_t bytes_held(const TrieStore &store);

// Counts the terminal nodes into runs[(num_nodes + 63) / 64]; returns how
// many there are.
size_t rank_terminals(const TrieStore &store, TerminalRun *runs);

// ---- Children of a node -------------------------------------------------

// Visits the children of a node with the bytes that lead to them, in byte
// order; for a narrow alphabet it keeps the byte of each mask bit.
class Children {
public:
    explicit Children(const TrieStore &store) : store_(store) {
        for (int b = 0; b < 256; ++b) {
            const uint64_t m = store.byte_to_mask[b];
            if (m != 0 && !is_wide(store.max_mask_bit)) byte_of_bit_[__builtin_ctzll(m)] = static_cast<unsigned char>(b);
        }
    }

    // Calls visit(byte, child) for each child of node node_index.
    template <typename Visit>
    void each(uint32_t node_index, Visit visit) const {
        const VelarinNode &node = store_.nodes[node_index];
        if (node.children_indices == nullptr) return;
        uint32_t slot = 0;
        if (!is_wide(store_.max_mask_bit)) {
            for (uint64_t w = node.mask; w != 0; w &= w - 1)
                visit(byte_of_bit_[__builtin_ctzll(w)], node.children_indices[slot++]);
            return;
        }
        const unsigned plane = node_plane(store_, node_index);
        if (plane != multi_plane) {
            for (uint64_t w = node.mask; w != 0; w &= w - 1)
                visit(static_cast<unsigned char>(plane * 64 + unsigned(__builtin_ctzll(w))), node.children_indices[slot++]);
            return;
        }
        const uint64_t *words = wide_mask(node)->words;
        for (unsigned p = 0; p < 4; ++p)
            for (uint64_t w = words[p]; w != 0; w &= w - 1)
                visit(static_cast<unsigned char>(p * 64 + unsigned(__builtin_ctzll(w))), node.children_indices[slot++]);
    }

private:
    const TrieStore &store_;
    unsigned char byte_of_bit_[64] = {};
};

// ---- Walk in node order -------------------------------------------------

namespace detail {

inline bool is_terminal(const VelarinNode &node) {
    return node.is_terminal != 0 && node.word != nullptr;
}

}  // namespace detail

// The first terminal node at or after `from` and below `limit`, or -1.
inline int64_t next_terminal(const TrieStore &store, int64_t from, int64_t limit) {
    if (store.nodes == nullptr) return -1;
    if (limit > store.num_nodes) limit = store.num_nodes;
    for (int64_t i = from; i < limit; ++i)
        if (detail::is_terminal(store.nodes[i])) return i;
    return -1;
}

}  // namespace velarin
