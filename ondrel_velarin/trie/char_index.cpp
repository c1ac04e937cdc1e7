// Building the code point index (char_index.hpp) of a node table: its edges,
// its tails, its tables and its seed, random per process and another one for
// each try of an index.
#include <sys/random.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <cstdlib>
#include <new>
#include <vector>

#include "automaton.hpp"
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

// An array that grows a chunk at a time: a growing vector would leave each
// of its earlier blocks behind in the heap, about as much again as it holds,
// while the index is built beside the finished store.
template <typename T>
class Chunks {
public:
    static constexpr size_t chunk = size_t(1) << 14;

    void push_back(const T &value) {
        if (size_ % chunk == 0) chunks_.push_back(std::make_unique<T[]>(chunk));
        chunks_[size_ / chunk][size_ % chunk] = value;
        ++size_;
    }
    T &operator[](size_t i) { return chunks_[i / chunk][i % chunk]; }
    const T &operator[](size_t i) const { return chunks_[i / chunk][i % chunk]; }
    size_t size() const { return size_; }

private:
    std::vector<std::unique_ptr<T[]>> chunks_;
    size_t size_ = 0;
};

class CharIndexBuilder {
public:
    CharIndexBuilder(TrieStore &store, uint64_t seed, WorkMeter &meter)
        : store_(store), seed_(seed), pace_(meter, store), children_(store) {}

    // For every node, the last node of the tail it begins: itself for a leaf,
    // else, for a node with one child whose subtree is one path laid out at
    // consecutive indices, that path's leaf; no_tail otherwise. Children
    // have higher indices than their parents, so one pass from the end
    // settles each node from its child. Empty when stopped. (A table whose
    // layout stopped part-way has empty records, neither words nor tails.)
    static std::vector<uint32_t> find_tails(const TrieStore &store, Pace &pace) {
        std::vector<uint32_t> last(size_t(store.num_nodes), no_tail);
        for (int64_t i = int64_t(store.num_nodes) - 1; i >= 0; --i) {
            if (!pace.go_on(1)) return {};
            const VelarinNode &node = store.nodes[i];
            if (node.num_children == 0) {
                if (detail::is_terminal(node)) last[size_t(i)] = uint32_t(i);
            } else if (node.num_children == 1) {
                const uint32_t child = node.children_indices[0];
                const uint32_t below = last[child];
                if (below != no_tail && (below == child || store.nodes[child].children_indices[0] == child + 1))
                    last[size_t(i)] = below;
            }
        }
        return last;
    }

    // Collects every edge: `unsound` when a reachable word ends inside a code point.
    // The tails' ends are given back at the end: the tables are allocated
    // while the edges are still here.
    Outcome collect() {
        tail_last_ = find_tails(store_, pace_);
        if (tail_last_.size() != size_t(store_.num_nodes)) return Outcome::stopped;
        std::vector<Reached> pending{Reached{0, seed_, no_edge, 0}};
        while (!pending.empty()) {
            if (!pace_.go_on(1)) return Outcome::stopped;
            const Reached parent = pending.back();
            pending.pop_back();
            bool sound = true;
            children_.each(parent.node, [&](unsigned char b, uint32_t child) {
                const int continuations = lead_continuations(b);
                if (sound && continuations >= 0)
                    sound = follow(parent, child, continuations, continuations, lead_bits(b), pending);
            });
            if (!sound) return Outcome::unsound;
        }
        mark_dead_ends();
        std::vector<uint32_t>().swap(tail_last_);
        return Outcome::done;
    }

    // Lays the edges out, in one block: the path filter, with eight bits or
    // more for each edge past the root; the root's edges in code point order,
    // ranked by their runs; the near and far ones in tables half full. Every
    // walk reads the first parts, which are small: at the block's start they
    // share its first huge page. `crowded` when a run of occupied slots would pass
    // max_edge_run; the store then holds no index. Throws bad_alloc.
    Outcome fill() {
        const Layout layout = plan();
        TableBlock table = allocate_table(layout.total_bytes(), true);
        if (table.data == nullptr) throw std::bad_alloc();
        char *block = static_cast<char *>(table.data);
        const Parts parts{{reinterpret_cast<CharEdge *>(block + layout.near_at()), layout.near_size},
                          {reinterpret_cast<CharEdge *>(block + layout.far_at()), layout.far_size},
                          reinterpret_cast<RootEdge *>(block + layout.roots_at()),
                          reinterpret_cast<FirstCodePoints *>(block + layout.first_at()),
                          reinterpret_cast<uint64_t *>(block + layout.filter_at()),
                          64 - layout.filter_bits};
        rank_root_edges(parts.first, layout.first_runs);
        auto *terminals = reinterpret_cast<uint64_t *>(block + layout.terminals_at());
        Outcome placed = mark_terminals(terminals);
        if (placed == Outcome::done) placed = place_edges(parts);
        if (placed != Outcome::done) {
            free_table(table);
            return placed;
        }
        CharIndex &index = store_.index;
        index.block = table;
        index.near_edges = EdgeTable{parts.near.slots, parts.near.size};
        index.far_edges = EdgeTable{parts.far.slots, parts.far.size};
        index.root_edges = parts.roots;
        index.first_code_points = parts.first;
        index.num_first_runs = uint32_t(layout.first_runs);
        index.path_filter = parts.filter;
        index.path_filter_shift = parts.filter_shift;
        index.root_path_hash = seed_;
        index.terminal_nodes = terminals;
        return Outcome::done;
    }

    // Whether the ranks of first code points would take more bytes than the
    // table's node records (see IndexTables), once collected. The root's
    // edges are collected first, one filter each: only they are read.
    bool disproportionate() const {
        size_t runs = 0;
        for (size_t i = 0; i < root_next_code_points_.size(); ++i)
            runs = std::max<size_t>(runs, edges_[i].code_point / 32 + 1);
        return runs * sizeof(FirstCodePoints) > size_t(store_.num_nodes) * sizeof(VelarinNode);
    }

private:
    // The sizes of the index's parts, which lie in this order in its block.
    struct Layout {
        size_t near_size, far_size;
        int filter_bits;
        size_t root_count, first_runs;
        size_t terminal_words;

        size_t filter_at() const { return 0; }
        size_t roots_at() const { return filter_at() + (size_t(1) << filter_bits) / 8; }
        size_t first_at() const { return roots_at() + std::max<size_t>(root_count, 1) * sizeof(RootEdge); }
        size_t near_at() const { return first_at() + std::max<size_t>(first_runs, 1) * sizeof(FirstCodePoints); }
        size_t far_at() const { return near_at() + near_size * sizeof(CharEdge); }
        size_t terminals_at() const { return far_at() + far_size * sizeof(CharEdge); }
        size_t total_bytes() const { return terminals_at() + terminal_words * sizeof(uint64_t); }
    };

    Layout plan() const {
        size_t root_count = 0, near_count = 0;
        for (size_t i = 0; i < edges_.size(); ++i) {
            root_count += edges_[i].parent_plus_one == 1;
            near_count += edges_[i].parent_plus_one != 1 && is_near(i);
        }
        const size_t past_root = edges_.size() - root_count;
        return Layout{table_size(near_count), table_size(past_root - near_count),
                      std::max(6, filter_bits(8 * past_root)), root_count, first_runs(),
                      (size_t(store_.num_nodes) + 63) / 64};
    }

    // Runs of first_code_points up to the last code point that begins an edge.
    size_t first_runs() const {
        size_t runs = 0;
        for (size_t i = 0; i < edges_.size(); ++i)
            if (edges_[i].parent_plus_one == 1) runs = std::max<size_t>(runs, edges_[i].code_point / 32 + 1);
        return runs;
    }

    // A table of `size` slots being filled.
    struct Table {
        CharEdge *slots;
        size_t size;
        size_t home(uint64_t path_hash) const { return char_edge_slot(path_hash, size); }
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
        const size_t size = table.size;
        size_t start = 0;
        while (table.slots[start].parent_plus_one != 0) ++start;
        size_t longest = 0, run = 0;
        for (size_t k = 1; k <= size; ++k) {
            run = table.slots[(start + k) % size].parent_plus_one != 0 ? run + 1 : 0;
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
                size_t slot = table.home(path_hashes_[i]);
                for (size_t probes = 0; table.slots[slot].parent_plus_one != 0; slot = slot + 1 == table.size ? 0 : slot + 1)
                    if (++probes > max_edge_run) return Outcome::crowded;
                table.slots[slot] = edge;
            }
        }
        for (const Table *table : {&parts.near, &parts.far}) {
            if (!pace_.go_on(table->size)) return Outcome::stopped;
            if (longest_run(*table) > max_edge_run) return Outcome::crowded;
        }
        return Outcome::done;
    }

    // Sets bit i of `terminals` for each terminal node i.
    Outcome mark_terminals(uint64_t *terminals) {
        const uint32_t nodes = uint32_t(store_.num_nodes);
        if (!pace_.go_on(nodes)) return Outcome::stopped;
        for (uint32_t i = 0; i < nodes; ++i)
            if (detail::is_terminal(store_.nodes[i])) terminals[i / 64] |= uint64_t(1) << (i % 64);
        return Outcome::done;
    }

    // Marks the code points that begin an edge from the root in their runs,
    // and counts for each run the edges of the runs before it. Only runs with
    // an edge need the count (a walk reads it only past a present bit), so
    // the runs of code points that start no word are never written.
    void rank_root_edges(FirstCodePoints *first, size_t runs) const {
        for (size_t i = 0; i < edges_.size(); ++i)
            if (edges_[i].parent_plus_one == 1)
                first[edges_[i].code_point / 32].present |= uint32_t(1) << (edges_[i].code_point % 32);
        uint32_t before = 0;
        for (size_t r = 0; r < runs; ++r) {
            if (first[r].present == 0) continue;
            first[r].before = before;
            before += unsigned(__builtin_popcount(first[r].present));
        }
    }

    // Whether edge i ends a path short enough for the near table.
    bool is_near(size_t i) const { return code_point_depths_[i] < near_edge_depth; }

    // The slots of a table half full with `count` edges.
    static size_t table_size(size_t count) { return std::max<size_t>(16, 2 * count); }

    // log2 of the bits of a path filter with at least `bits` of them.
    static int filter_bits(size_t bits) {
        int log = 4;
        while ((size_t(1) << log) < bits) ++log;
        return log;
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
    static constexpr uint32_t no_tail = UINT32_MAX;
    static constexpr size_t min_tail = 4;  // code points

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
                // A tail begins at a node that is not a word itself (a leaf's
                // edge is a tail's, of no bytes, too), and is taken only when
                // long: comparing it reads the last node's record and word,
                // two loads that wait on each other, where the probes of a few
                // code points ahead are already on their way together.
                const bool tail = !terminal && tail_last_[node] != no_tail && tail_code_points(node) >= min_tail;
                const uint64_t path_hash = extend_path_hash(parent.path_hash, bits);
                if (parent.code_point_depth == 1)
                    root_next_code_points_[parent.edge] |= next_code_point_bit<RootEdge::filter_bits>(bits);
                else if (parent.edge != no_edge)
                    edges_[parent.edge].next_code_points |= next_code_point_bit<CharEdge::filter_bits>(bits);
                const uint32_t child = tail ? tail_last_[node] : node | (terminal ? char_edge_terminal : 0);
                edges_.push_back(CharEdge{parent.node + 1, bits, 0, child});
                if (parent.edge == no_edge) root_next_code_points_.push_back(0);  // the root's, made first
                path_hashes_.push_back(path_hash);
                code_point_depths_.push_back(uint8_t(std::min(parent.code_point_depth + 1, near_edge_depth)));
                if (tail) return sound_tail(node);
                pending.push_back(Reached{node, path_hash, edges_.size() - 1, parent.code_point_depth + 1});
            }
            return true;
        }
        if (detail::is_terminal(store_.nodes[node])) return false;
        bool sound = true;
        children_.each(node, [&](unsigned char b, uint32_t child) {
            if (sound && (b & 0xC0) == 0x80)
                sound = follow(parent, child, continuations, left - 1, bits << 6 | (b & 0x3Fu), pending);
        });
        return sound;
    }

    // Code points in the tail that node `first` begins, up to min_tail.
    size_t tail_code_points(uint32_t first) const {
        const uint32_t last = tail_last_[first];
        const char *word = store_.nodes[last].word;
        const size_t length = word_length(word);
        const size_t bytes = last + 1 - store_.nodes[first].children_indices[0];
        size_t count = 0;
        for (size_t at = length - bytes; at < length && count < min_tail; ++at)
            count += !is_continuation_byte(static_cast<unsigned char>(word[at]));
        return count;
    }

    // Whether a walk may compare the tail that node `first` begins: no word
    // in it ends inside a code point, where a walk by whole code points
    // would pass it by.
    bool sound_tail(uint32_t first) const {
        const uint32_t last = tail_last_[first];
        const char *word = store_.nodes[last].word;
        const size_t length = word_length(word);
        const uint32_t below = store_.nodes[first].children_indices[0];
        const size_t depth = length - (last + 1 - below);  // of `first`
        for (uint32_t node = below; node <= last; ++node) {
            const size_t end = depth + (node - below) + 1;
            if (detail::is_terminal(store_.nodes[node]) && ends_inside_code_point(word, end)) return false;
        }
        return true;
    }

    // Whether bytes[0..end) stop inside a code point's UTF-8 form.
    static bool ends_inside_code_point(const char *bytes, size_t end) {
        size_t lead = end;
        while (lead > 0 && end - lead < 4 && is_continuation_byte(static_cast<unsigned char>(bytes[lead - 1]))) --lead;
        if (lead == 0) return end > 0;
        const int continuations = lead_continuations(static_cast<unsigned char>(bytes[lead - 1]));
        return continuations < 0 || size_t(continuations) != end - lead;
    }

    // An edge with an empty filter whose child is neither a word nor a tail
    // (the child's bytes go on, but no text code point does; or, in a table
    // whose layout stopped part-way, an empty record) would be taken for a
    // tail's: a full filter lets walks probe, and find nothing, there. A
    // tail's edge leads to its last node, a word.
    void mark_dead_ends() {
        auto dead_end = [&](uint32_t filter, uint32_t child) {
            return filter == 0 && (child & char_edge_terminal) == 0 && !detail::is_terminal(store_.nodes[child]);
        };
        for (size_t i = 0; i < edges_.size(); ++i) {
            if (edges_[i].parent_plus_one == 1) {
                if (dead_end(root_next_code_points_[i], edges_[i].child)) root_next_code_points_[i] = ~uint32_t(0);
            } else if (dead_end(edges_[i].next_code_points, edges_[i].child)) {
                edges_[i].next_code_points = (uint32_t(1) << CharEdge::filter_bits) - 1;
            }
        }
    }

    TrieStore &store_;
    uint64_t seed_;
    std::vector<uint32_t> tail_last_;  // while collecting: see find_tails
    Pace pace_;
    Children children_;
    Chunks<CharEdge> edges_;
    Chunks<uint64_t> path_hashes_;        // of the path each edge ends
    Chunks<uint8_t> code_point_depths_;  // of that path, up to near_edge_depth
    Chunks<uint32_t> root_next_code_points_;  // the filters of the root's edges, edges_[0] on
};

}  // namespace

Status build_char_index(TrieStore &store, WorkMeter *meter, IndexTables tables) {
    CharIndex &index = store.index;
    if (index.state != CharIndexState::untried || store.nodes == nullptr || store.layouts > 0) return Status::ok;
    if (tables == IndexTables::none) {
        index.state = CharIndexState::unavailable;
        return Status::ok;
    }
    const uint64_t generation = store.generation;
    WorkMeter unmetered;
    WorkMeter &used = meter != nullptr ? *meter : unmetered;
    index.state = CharIndexState::building;
    Outcome outcome = Outcome::crowded;
    try {
        for (int k = 0; k < seed_tries && outcome == Outcome::crowded; ++k) {
            CharIndexBuilder builder(store, seed_of_try(k), used);
            outcome = builder.collect();
            if (outcome == Outcome::done && tables == IndexTables::proportionate && builder.disproportionate())
                outcome = Outcome::unsound;  // no index, as for a word ending inside a code point
            if (outcome == Outcome::done) outcome = builder.fill();
        }
    } catch (const std::bad_alloc &) {
        index.state = CharIndexState::unavailable;
        return Status::no_memory_char_index;
    }
    if (store.num_nodes >= large_build) return_free_memory();
    if (outcome == Outcome::stopped) {
        // A changed table has its own state, which is left as it is.
        if (store.generation == generation) index.state = CharIndexState::untried;
        return Status::interrupted;
    }
    index.state = outcome == Outcome::done ? CharIndexState::built : CharIndexState::unavailable;
    if (index.state == CharIndexState::built) {
        Pace pace(used, store);
        if (build_automaton(store, pace) == Status::interrupted) {
            // The next lookup builds both again; a changed table has its own state.
            if (store.generation == generation) drop_char_index(store);
            return Status::interrupted;
        }
    }
    return Status::ok;
}

void drop_char_index(TrieStore &store) {
    ++store.generation;
    drop_automaton(store);
    free_table(store.index.block);
    store.index = CharIndex{};
}

}  // namespace velarin
