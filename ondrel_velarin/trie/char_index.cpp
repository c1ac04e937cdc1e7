// The code point index: one hash table probe per code point of a walk,
// instead of one node record and one child block per byte. It owns the
// index's seed: random per process, and another one for each try of an index.
#include <sys/mman.h>
#include <sys/random.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <new>
#include <vector>

#include "trie.hpp"

namespace velarin {
namespace {

// Seeds tried for one index before it is given up: with a random seed, a
// second try is already unlikely.
constexpr int seed_tries = 4;

// The seed of this process: random, unless the environment fixes it for a
// test (VELARIN_TEST_HASH_SEED, a number), so that a test can make a word
// list that crowds the tables under a known seed.
uint64_t process_seed() {
    static const uint64_t seed = [] {
        const char *fixed = std::getenv("VELARIN_TEST_HASH_SEED");
        if (fixed != nullptr && *fixed != '\0') return uint64_t(std::strtoull(fixed, nullptr, 0));
        uint64_t value = 0;
        if (getrandom(&value, sizeof value, GRND_NONBLOCK) != ssize_t(sizeof value))
            value = uint64_t(std::chrono::steady_clock::now().time_since_epoch().count()) * 0x9E3779B97F4A7C15ull ^
                    uint64_t(reinterpret_cast<uintptr_t>(&value));
        return value;
    }();
    return seed;
}

// The seed of try `k` of an index.
uint64_t seed_of_try(int k) { return process_seed() + uint64_t(k) * 0x9E3779B97F4A7C15ull; }

enum class Outcome { done, unsound, crowded, stopped };

class CharIndexBuilder {
public:
    CharIndexBuilder(TrieStore &store, uint64_t seed, WorkMeter &meter)
        : store_(store), seed_(seed), pace_(meter, store) {
        for (int b = 0; b < 256; ++b) {
            const uint64_t m = store.byte_to_mask[b];
            if (m != 0) byte_of_bit_[store.byte_to_plane[b] * 64 + __builtin_ctzll(m)] = static_cast<unsigned char>(b);
        }
    }

    // Collects every edge: `unsound` when a reachable word ends inside a code point.
    Outcome collect() {
        std::vector<Reached> pending{Reached{0, seed_, no_edge, 0}};
        while (!pending.empty()) {
            if (!pace_.go_on(1)) return Outcome::stopped;
            const Reached parent = pending.back();
            pending.pop_back();
            bool sound = true;
            for_each_child(parent.node, [&](unsigned char b, uint32_t child) {
                const int continuations = lead_continuations(b);
                if (sound && continuations >= 0)
                    sound = follow(parent, child, continuations, continuations, lead_bits(b), pending);
            });
            if (!sound) return Outcome::unsound;
        }
        return Outcome::done;
    }

    // Lays the edges out, in one block: the root's in code point order,
    // ranked by their runs; the near and far ones in tables at most half
    // full; and the path filter, with eight bits or more for each edge past
    // the root. `crowded` when a run of occupied slots would pass
    // max_edge_run; the store then holds no index. Throws bad_alloc.
    Outcome fill() {
        const Layout layout = plan();
        TableBlock table = allocate_table(layout.total_bytes());
        if (table.data == nullptr) throw std::bad_alloc();
        char *block = static_cast<char *>(table.data);
        const Parts parts{{reinterpret_cast<CharEdge *>(block + layout.near_at()), layout.near_bits},
                          {reinterpret_cast<CharEdge *>(block + layout.far_at()), layout.far_bits},
                          reinterpret_cast<RootEdge *>(block + layout.roots_at()),
                          reinterpret_cast<FirstCodePoints *>(block + layout.first_at()),
                          reinterpret_cast<uint64_t *>(block + layout.filter_at()),
                          64 - layout.filter_bits};
        rank_root_edges(parts.first);
        const Outcome placed = place_edges(parts);
        if (placed != Outcome::done) {
            free_table(table);
            return placed;
        }
        store_.char_index = table;
        store_.near_edges = EdgeTable{parts.near.slots, 64 - parts.near.bits};
        store_.far_edges = EdgeTable{parts.far.slots, 64 - parts.far.bits};
        store_.root_edges = parts.roots;
        store_.first_code_points = parts.first;
        store_.path_filter = parts.filter;
        store_.path_filter_shift = parts.filter_shift;
        store_.root_path_hash = seed_;
        return Outcome::done;
    }

private:
    // The sizes of the index's parts, which lie in this order in its block.
    struct Layout {
        int near_bits, far_bits, filter_bits;
        size_t root_count;

        size_t near_at() const { return 0; }
        size_t far_at() const { return near_at() + (size_t(1) << near_bits) * sizeof(CharEdge); }
        size_t roots_at() const { return far_at() + (size_t(1) << far_bits) * sizeof(CharEdge); }
        size_t first_at() const { return roots_at() + std::max<size_t>(root_count, 1) * sizeof(RootEdge); }
        size_t filter_at() const { return first_at() + code_point_limit / 32 * sizeof(FirstCodePoints); }
        size_t total_bytes() const { return filter_at() + (size_t(1) << filter_bits) / 8; }
    };

    Layout plan() const {
        size_t root_count = 0, near_count = 0;
        for (size_t i = 0; i < edges_.size(); ++i) {
            root_count += edges_[i].parent_plus_one == 1;
            near_count += edges_[i].parent_plus_one != 1 && is_near(i);
        }
        const size_t past_root = edges_.size() - root_count;
        return Layout{table_bits(near_count), table_bits(past_root - near_count),
                      std::max(6, table_bits(4 * past_root)), root_count};
    }

    // A table of 2^bits slots being filled.
    struct Table {
        CharEdge *slots;
        int bits;
        size_t home(uint64_t path_hash) const { return char_edge_slot(path_hash, 64 - bits); }
    };

    // Where the parts lie in the block.
    struct Parts {
        Table near, far;
        RootEdge *roots;
        FirstCodePoints *first;
        uint64_t *filter;
        int filter_shift;
    };

    // The longest run of occupied slots of a table at most half full, which
    // has an empty slot to start from.
    static size_t longest_run(const Table &table) {
        const size_t size = size_t(1) << table.bits;
        size_t start = 0;
        while (table.slots[start].parent_plus_one != 0) ++start;
        size_t longest = 0, run = 0;
        for (size_t k = 1; k <= size; ++k) {
            run = table.slots[(start + k) & (size - 1)].parent_plus_one != 0 ? run + 1 : 0;
            longest = std::max(longest, run);
        }
        return longest;
    }

    // Writes every edge into its part: a root edge at its rank, any other
    // into its table and the path filter; `crowded` as soon as a probe
    // passes max_edge_run slots, or a table ends with a longer run.
    Outcome place_edges(const Parts &parts) {
        auto table_of = [&](size_t i) -> const Table & { return is_near(i) ? parts.near : parts.far; };
        // The writes land all over the tables: ask for each slot a few edges ahead.
        constexpr size_t ahead = 16;
        for (size_t i = 0; i < edges_.size(); ++i) {
            if (i + ahead < edges_.size()) {
                const Table &table = table_of(i + ahead);
                __builtin_prefetch(table.slots + table.home(path_hashes_[i + ahead]), 1);
            }
            if (!pace_.go_on(1)) return Outcome::stopped;
            const CharEdge &edge = edges_[i];
            if (edge.parent_plus_one == 1) {
                const FirstCodePoints &run = parts.first[edge.code_point / 32];
                const uint32_t below = run.present & ((uint32_t(1) << (edge.code_point % 32)) - 1);
                parts.roots[run.before + unsigned(__builtin_popcount(below))] =
                    RootEdge{root_next_code_points_[i], edge.child};
            } else {
                const PathFilterKey key = path_filter_key(path_hashes_[i], parts.filter_shift);
                parts.filter[key.word] |= key.bits;
                const Table &table = table_of(i);
                const size_t mask = (size_t(1) << table.bits) - 1;
                size_t slot = table.home(path_hashes_[i]);
                for (size_t probes = 0; table.slots[slot].parent_plus_one != 0; slot = (slot + 1) & mask)
                    if (++probes > max_edge_run) return Outcome::crowded;
                table.slots[slot] = edge;
            }
        }
        for (const Table *table : {&parts.near, &parts.far}) {
            if (!pace_.go_on(size_t(1) << table->bits)) return Outcome::stopped;
            if (longest_run(*table) > max_edge_run) return Outcome::crowded;
        }
        return Outcome::done;
    }

    // Marks the code points that begin an edge from the root in their runs,
    // and counts for each run the edges of the runs before it. Only runs with
    // an edge need the count (a walk reads it only past a present bit), so
    // the runs of code points that start no word are never written.
    void rank_root_edges(FirstCodePoints *first) const {
        for (const CharEdge &edge : edges_)
            if (edge.parent_plus_one == 1) first[edge.code_point / 32].present |= uint32_t(1) << (edge.code_point % 32);
        uint32_t before = 0;
        for (size_t r = 0; r < code_point_limit / 32; ++r) {
            if (first[r].present == 0) continue;
            first[r].before = before;
            before += unsigned(__builtin_popcount(first[r].present));
        }
    }

    // Whether edge i ends a path short enough for the near table.
    bool is_near(size_t i) const { return code_point_depths_[i] < near_edge_depth; }

    // log2 of the slots of a table at most half full with `count` edges.
    static int table_bits(size_t count) {
        int bits = 4;
        while ((size_t(1) << bits) < 2 * count) ++bits;
        return bits;
    }

    // A node on a code point boundary, with the hash of its path, the edge
    // that reaches it (no_edge for the root) and its depth in code points.
    struct Reached {
        uint32_t node;
        uint64_t path_hash;
        size_t edge;
        size_t code_point_depth;
    };
    static constexpr size_t no_edge = SIZE_MAX;

    // Continuation bytes after a lead byte of valid UTF-8, or -1 for a byte no
    // text's UTF-8 starts a code point with (text walks never go there).
    static int lead_continuations(unsigned char b) {
        if (b < 0x80) return 0;
        if (b >= 0xC2 && b <= 0xDF) return 1;
        if (b >= 0xE0 && b <= 0xEF) return 2;
        if (b >= 0xF0 && b <= 0xF4) return 3;
        return -1;
    }
    // The value bits of a lead byte of valid UTF-8.
    static uint32_t lead_bits(unsigned char b) { return b < 0x80 ? b : b & (0x3Fu >> lead_continuations(b)); }

    static bool is_text_code_point(uint32_t c, int continuations) {
        static constexpr uint32_t smallest[] = {0, 0x80, 0x800, 0x10000};
        return c >= smallest[continuations] && c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF);
    }

    // Follows `node`, reached by the first bytes of a code point of
    // `continuations` continuation bytes (`bits` its value so far), through the
    // `left` bytes still to come.
    bool follow(const Reached &parent, uint32_t node, int continuations, int left, uint32_t bits,
                std::vector<Reached> &pending) {
        if (left == 0) {
            if (is_text_code_point(bits, continuations)) {
                const bool terminal = detail::is_terminal(store_.nodes[node]);
                const uint64_t path_hash = extend_path_hash(parent.path_hash, bits);
                if (parent.code_point_depth == 1)
                    root_next_code_points_[parent.edge] |= next_code_point_bit<RootEdge::filter_bits>(bits);
                else if (parent.edge != no_edge)
                    edges_[parent.edge].next_code_points |= next_code_point_bit<CharEdge::filter_bits>(bits);
                edges_.push_back(CharEdge{parent.node + 1, bits, 0, node | (terminal ? char_edge_terminal : 0)});
                root_next_code_points_.push_back(0);
                path_hashes_.push_back(path_hash);
                code_point_depths_.push_back(parent.code_point_depth + 1);
                pending.push_back(Reached{node, path_hash, edges_.size() - 1, parent.code_point_depth + 1});
            }
            return true;
        }
        if (detail::is_terminal(store_.nodes[node])) return false;
        bool sound = true;
        for_each_child(node, [&](unsigned char b, uint32_t child) {
            if (sound && (b & 0xC0) == 0x80)
                sound = follow(parent, child, continuations, left - 1, bits << 6 | (b & 0x3Fu), pending);
        });
        return sound;
    }

    template <typename Visit>
    void for_each_child(uint32_t node_index, Visit visit) const {
        const VelarinNode &node = store_.nodes[node_index];
        if (node.children_indices == nullptr) return;
        const uint64_t *words = is_wide(store_.max_mask_bit) ? wide_mask(node)->words : &node.mask;
        const int planes = is_wide(store_.max_mask_bit) ? 4 : 1;
        uint32_t slot = 0;
        for (int p = 0; p < planes; ++p)
            for (uint64_t w = words[p]; w != 0; w &= w - 1)
                visit(byte_of_bit_[p * 64 + __builtin_ctzll(w)], node.children_indices[slot++]);
    }

    TrieStore &store_;
    uint64_t seed_;
    Pace pace_;
    unsigned char byte_of_bit_[256] = {};
    std::vector<CharEdge> edges_;
    std::vector<uint64_t> path_hashes_;        // of the path each edge ends
    std::vector<size_t> code_point_depths_;  // of that path
    std::vector<uint32_t> root_next_code_points_;  // an edge's filter when it leaves the root
};

}  // namespace

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool address_sanitized = true;
#elif defined(__has_feature)
constexpr bool address_sanitized = __has_feature(address_sanitizer);
#else
constexpr bool address_sanitized = false;
#endif

constexpr size_t huge_page = size_t(1) << 21;
// Smaller blocks come from the heap: a mapping of its own would cost more
// than the pages it could leave untouched. The sanitizer's heap checks every
// table's bounds, so sanitized builds take all of them from it.
constexpr size_t mapped_table_min = address_sanitized ? SIZE_MAX : size_t(1) << 16;

// A mapping of `bytes`, aligned to a huge page when that large; empty when
// none is to be had.
TableBlock map_table(size_t bytes) {
    const bool huge = bytes >= huge_page;
    const size_t mapped = huge ? (bytes + huge_page - 1) & ~(huge_page - 1) : bytes;
    const size_t slack = huge ? huge_page : 0;
    void *raw = mmap(nullptr, mapped + slack, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return TableBlock{};
    char *start = static_cast<char *>(raw);
    if (huge) {
        // Keep the aligned part; the slack on either side goes back.
        char *aligned = reinterpret_cast<char *>((reinterpret_cast<uintptr_t>(start) + huge_page - 1) & ~(huge_page - 1));
        const size_t head = size_t(aligned - start), tail = slack - head;
        if (head > 0) munmap(start, head);
        if (tail > 0) munmap(aligned + mapped, tail);
        start = aligned;
#ifdef MADV_HUGEPAGE
        madvise(start, mapped, MADV_HUGEPAGE);  // only advice: small pages work too
#endif
    }
    return TableBlock{start, mapped};
}

}  // namespace

TableBlock allocate_table(size_t bytes) {
    if (bytes >= mapped_table_min) {
        const TableBlock block = map_table(bytes);
        if (block.data != nullptr) return block;
    }
    // Also where no mapping is to be had (the process's count of them is
    // bounded): the heap's block is zeroed in full, but it works.
    return TableBlock{std::calloc(bytes, 1), 0};
}

void free_table(TableBlock &block) {
    if (block.mapped != 0)
        munmap(block.data, block.mapped);
    else
        std::free(block.data);
    block = TableBlock{};
}

Status build_char_index(TrieStore &store, WorkMeter *meter) {
    if (store.char_index_state != CharIndexState::untried || store.nodes == nullptr) return Status::ok;
    const uint64_t generation = store.generation;
    WorkMeter unmetered;
    // Lookups meanwhile (from the meter's caller) walk bytes.
    store.char_index_state = CharIndexState::unavailable;
    Outcome outcome = Outcome::crowded;
    try {
        for (int k = 0; k < seed_tries && outcome == Outcome::crowded; ++k) {
            CharIndexBuilder builder(store, seed_of_try(k), meter != nullptr ? *meter : unmetered);
            outcome = builder.collect();
            if (outcome == Outcome::done) outcome = builder.fill();
        }
    } catch (const std::bad_alloc &) {
        return Status::no_memory_char_index;
    }
    if (outcome == Outcome::stopped) {
        // A changed table has its own state, which is left as it is.
        if (store.generation == generation) store.char_index_state = CharIndexState::untried;
        return Status::interrupted;
    }
    if (outcome == Outcome::done) store.char_index_state = CharIndexState::built;
    return Status::ok;
}

void drop_char_index(TrieStore &store) {
    free_table(store.char_index);
    store.near_edges = store.far_edges = EdgeTable{};
    store.first_code_points = nullptr;
    store.path_filter = nullptr;
    store.root_edges = nullptr;
    store.char_index_state = CharIndexState::untried;
}

}  // namespace velarin
