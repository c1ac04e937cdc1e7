// Longest matches at many positions of one text at once.
//
// A walk is a chain of dependent loads, and in a large trie most of them miss
// the cache. Walking one position at a time leaves the processor waiting on
// one miss at a time. Here the walks of many positions go together, so the
// misses of different walks overlap: through the code point index in rounds,
// one probe of every walk still going per round; by bytes in lanes, which
// advance in turn, each by one load per turn, with that load prefetched on the
// lane's previous turn. Each walk gives exactly what
// closest_prefix_code_points gives at its position, unless a limit cuts it.
// A table of deep words has an automaton instead (automaton.hpp), which
// finds a window's matches in one pass over its bytes.
//
// A scan counts its work on the caller's meter, and the caller's code may
// run when the meter asks: whatever is large is kept in the caller's
// ScanSpace, on the heap, so that scans nested that way do not fill the stack.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "automaton.hpp"
#include "lookup.hpp"

namespace velarin {
namespace detail {

constexpr unsigned scan_lanes = 16;

// Positions a round walk takes at once; their walks' state stays in the
// first cache level.
constexpr size_t round_batch = 256;

// A walk through the code point index in progress.
struct RoundWalk {
    uint64_t path_hash;  // of the path to the node and the code point to look up next
    uint32_t node;       // the node reached
    uint32_t k;          // the position's offset in the batch
    uint32_t depth;      // the node's depth in bytes
    uint32_t home;       // that path's home slot, found when its probe was aimed
};

// A walk that entered a tail, waiting for its comparison: its node is the
// tail's last.
struct TailWalk {
    RoundWalk walk;
    size_t at;     // the position of the code point that entered the tail
    size_t round;  // that code point's place in the walk
};

}  // namespace detail

// The working room of a scan.
struct ScanSpace {
    detail::RoundWalk walks[detail::round_batch];
    RootEdge edges[detail::round_batch];
    detail::TailWalk tails[detail::round_batch];
    // An automaton's pass, carried from one window of a text to the next: a
    // space kept for another text must forget it first.
    detail::AutomatonCarry carry;

    void forget_text() { carry.units = nullptr; }
};

namespace detail {

// Fills out[k] with the match at position first + k for k < count, keeping up
// to scan_lanes walks in progress: walk.settle(position, &match) answers a
// position without a walk when it can, walk.start(lane, position) begins one,
// walk.advance(lane) does its next load and is false once it has ended, with
// its answer in lane.match.
// False when the pace says to stop.
template <typename Walk>
bool run_lanes(Walk &walk, size_t first, size_t count, Match *out, Pace &pace) {
    typename Walk::Lane lanes[scan_lanes];
    bool busy[scan_lanes];
    size_t next = first;
    const size_t end = first + count;
    unsigned active = 0;
    // The next position that needs a walk, settling on the way those that do not.
    auto next_walk = [&]() {
        while (next < end && walk.settle(next, &out[next - first])) ++next;
        return next < end;
    };
    for (unsigned l = 0; l < scan_lanes; ++l) {
        busy[l] = next_walk();
        if (busy[l]) walk.start(lanes[l], next++), ++active;
    }
    while (active > 0) {
        if (!pace.go_on(scan_lanes)) return false;
        for (unsigned l = 0; l < scan_lanes; ++l) {
            if (!busy[l] || walk.advance(lanes[l])) continue;
            out[lanes[l].start - first] = lanes[l].match;
            if (next_walk()) walk.start(lanes[l], next++);
            else busy[l] = false, --active;
        }
    }
    return true;
}

// What round walks report, position by position: the deepest word
// (matches_at's Match, with its cut flag) or every word, shortest first, to
// a visitor (words_at). A walk's words come in order of depth.
struct DeepestWord {
    static constexpr bool every_word = false;
    Match *out;
    void root(size_t k, const Match &match) const { out[k] = match; }
    void word(size_t k, uint32_t node, uint32_t depth, uint32_t characters) const {
        out[k] = Match{int32_t(node), depth, characters};
    }
    void cut(size_t k) const { out[k].cut = true; }
};

// visit(base + k, node, characters) for each word of one code point or
// more that position first + k begins with; the walk's limit ends it
// silently.
template <typename Visit>
struct EveryWord {
    static constexpr bool every_word = true;
    Visit &visit;
    size_t base;
    void root(size_t, const Match &) const {}
    void word(size_t k, uint32_t node, uint32_t, uint32_t characters) const { visit(base + k, node, characters); }
    void cut(size_t) const {}
};

// Walks through the code point index, in rounds: round r makes the r-th
// probe of every walk still going, in position order. A walk that goes on
// prefetches its next slot at once, a round ahead of its probe, so a round
// keeps many misses in flight with few unpredictable branches. Positions
// whose first code point starts no word need no walk, and most walks end
// after a probe or two: each round keeps only the walks that go on.
template <typename CodePoint, typename Found>
class CharEdgeRounds {
public:
    CharEdgeRounds(const TrieStore &store, const CodePoint *units, size_t n, size_t limit, ScanSpace &space)
        : store_(store), units_(units), n_(n), limit_(limit), walks_(space.walks), edges_(space.edges),
          tails_(space.tails) {
        if (is_terminal(store.nodes[0])) root_match_ = Match{0, 0};
    }

    static constexpr size_t batch = round_batch;

    // What positions first + k, k < count <= batch, begin with, to `out`;
    // false when the pace says to stop. A round's probes are its steps, a
    // position one more.
    bool run(size_t first, size_t count, const Found &out, Pace &pace) const {
        if (!pace.go_on(count)) return false;
        Walk *walks = walks_;
        size_t active = 0;
        for (size_t k = 0; k < count; ++k) {
            out.root(k, root_match_);
            walks[active].k = uint32_t(k);
            active += !store_.index.starts_nothing(units_[first + k]);
        }
        size_t tails = 0;
        active = limit_ == 0 ? cut(walks, active, out) : first_step(first, walks, active, out, tails);
        for (size_t round = 1; active > 0; ++round) {
            if (!pace.go_on(active)) return false;
            active = round == limit_ ? cut(walks, active, out) : step(first, round, walks, active, out, tails);
        }
        if (!pace.go_on(tails)) return false;
        settle_tails(tails, out);
        return true;
    }

private:
    using Walk = RoundWalk;

    // Ends the walks still going at the limit; returns 0.
    static size_t cut(const Walk *walks, size_t active, const Found &out) {
        for (size_t j = 0; j < active; ++j) out.cut(walks[j].k);
        return 0;
    }

    // Where a walk goes through `edge`, taking code point c at `at`, the
    // code point `round` of the walk; false when it ends there. One that may
    // go on has its next path's hash.
    template <typename Edge>
    bool follow(Walk &walk, const Edge &edge, uint32_t c, size_t at, size_t round, const Found &out, size_t &tails) const {
        walk.node = edge.child & ~char_edge_terminal;
        walk.depth += utf8_width(c);
        if (edge.child & char_edge_terminal) out.word(walk.k, walk.node, walk.depth, uint32_t(round + 1));
        if (begins_tail(edge)) {
            // Compared once the rounds are done, so that the loads of many
            // tails overlap; the tail's last record is on its way meanwhile.
            __builtin_prefetch(store_.nodes + walk.node);
            tails_[tails++] = TailWalk{walk, at, round};
            return false;
        }
        if (at + 1 == n_ || !may_continue(edge, units_[at + 1])) return false;
        walk.path_hash = extend_path_hash(walk.path_hash, units_[at + 1]);
        return true;
    }

    // Compares the tails the walks entered, each after the word it ends in
    // has been asked for.
    void settle_tails(size_t tails, const Found &out) const {
        for (size_t i = 0; i < tails; ++i) __builtin_prefetch(store_.nodes[tails_[i].walk.node].word - 1);
        for (size_t i = 0; i < tails; ++i) {
            const TailWalk &t = tails_[i];
            if constexpr (Found::every_word) words_in_tail(t, out);
            else out.out[t.walk.k] = in_tail(t.walk, t.at, t.round, out.out[t.walk.k]);
        }
    }

    // Every word in the tail that a walk entered, as far as its limit goes:
    // the tail's terminal nodes at the code point boundaries the text matches.
    void words_in_tail(const TailWalk &t, const Found &out) const {
        const Walk &walk = t.walk;
        const CodePoint *rest = units_ + t.at + 1;
        const char *word = store_.nodes[walk.node].word;
        const size_t tail = word_length(word) - walk.depth;
        size_t bytes;
        const size_t taken = common_code_points(rest, n_ - t.at - 1, limit_ - (t.round + 1),
                                                reinterpret_cast<const unsigned char *>(word) + walk.depth, tail, &bytes);
        const uint32_t first_below = walk.node + 1 - uint32_t(tail);
        size_t depth = 0;
        for (size_t i = 0; i < taken; ++i) {
            depth += utf8_width(rest[i]);
            const uint32_t node = first_below + uint32_t(depth) - 1;
            if (is_terminal(store_.nodes[node])) out.word(walk.k, node, uint32_t(walk.depth + depth), uint32_t(t.round + 2 + i));
        }
    }

    // The match of a walk that entered a tail taking code point `round` at
    // `at`, which had found `match` so far; it takes at most the code points
    // its limit leaves, and is cut when that stops it inside the tail.
    Match in_tail(const Walk &walk, size_t at, size_t round, Match match) const {
        const size_t left = limit_ - (round + 1), after = n_ - at - 1;
        size_t taken;
        Match found = follow_tail(store_, walk.node, walk.depth, units_ + at + 1, after, left, match, &taken);
        if (found.length > walk.depth) {
            size_t characters;
            code_points_in(units_ + at + 1, taken, found.length - walk.depth, &characters);
            found.characters = uint32_t(round + 1 + characters);
        }
        found.cut = taken == left && left < after && found.node != int32_t(walk.node);
        return found;
    }

    // Finds the home slot of a walk's next probe, in `table`, and asks for it.
    static void aim(Walk &walk, const EdgeTable &table) {
        walk.home = uint32_t(char_edge_slot(walk.path_hash, table.size));
        __builtin_prefetch(table.slots + walk.home);
    }

    // The path filter's word that holds the bits of a walk's next path.
    const uint64_t *path_filter_word(const Walk &walk) const {
        return store_.index.path_filter + path_filter_key(walk.path_hash, store_.index.path_filter_shift).word;
    }

    // The first step of each walk, through the root's edges; the walk at
    // offset k starts at base + k. Returns how many go on, moved to the front.
    // Most walks end at their second code point, many by the path filter:
    // the round asks for every walk's filter word before it reads any, so
    // that their misses overlap. The few deeper walks read it at once.
    size_t first_step(size_t base, Walk *walks, size_t active, const Found &out, size_t &tails) const {
        RootEdge *edges = edges_;
        for (size_t j = 0; j < active; ++j) edges[j] = store_.index.root_edge(units_[base + walks[j].k]);
        size_t kept = 0;
        for (size_t j = 0; j < active; ++j) {
            Walk walk = walks[j];
            const size_t at = base + walk.k;
            const uint32_t c = units_[at];
            walk.path_hash = extend_path_hash(store_.index.root_path_hash, c);
            walk.depth = 0;
            if (!follow(walk, edges[j], c, at, 0, out, tails)) continue;
            __builtin_prefetch(path_filter_word(walk));
            walks[kept++] = walk;
        }
        const EdgeTable &next = store_.index.edges_at(1);
        size_t screened = 0;
        for (size_t j = 0; j < kept; ++j) {
            Walk walk = walks[j];
            if (!store_.index.may_have_path(walk.path_hash)) continue;
            aim(walk, next);
            walks[screened++] = walk;
        }
        return screened;
    }

    // Probe `round` (1 or more) of each walk, the walk at offset k taking the
    // code point at first + round + k; returns how many go on, moved to the front.
    size_t step(size_t first, size_t round, Walk *walks, size_t active, const Found &out, size_t &tails) const {
        const EdgeTable &table = store_.index.edges_at(round), &next = store_.index.edges_at(round + 1);
        size_t kept = 0;
        for (size_t j = 0; j < active; ++j) {
            Walk walk = walks[j];
            const size_t at = first + round + walk.k;
            const uint32_t c = units_[at];
            const CharEdge *edge = table.find_from(walk.home, walk.node, c);
            if (edge == nullptr || !follow(walk, *edge, c, at, round, out, tails) ||
                !store_.index.may_have_path(walk.path_hash))
                continue;
            aim(walk, next);
            walks[kept++] = walk;
        }
        return kept;
    }

    const TrieStore &store_;
    const CodePoint *units_;
    size_t n_;
    size_t limit_;
    Walk *walks_;
    RootEdge *edges_;
    TailWalk *tails_;
    Match root_match_{};
};

// Walks by bytes: each turn loads a node record or a child block.
template <bool Wide, typename CodePoint>
class ByteLanes {
public:
    struct Lane {
        size_t start;            // the position whose match this is
        const CodePoint *unit;   // the next code point to encode
        unsigned char bytes[4];  // the current code point's UTF-8 form
        unsigned length, used;   // its length, and how much of it the walk took
        uint32_t index;          // the node reached
        bool at_block;           // the next load is the node's child block, not its record
        uint64_t bit;            // the next byte's mask bit
        unsigned plane;          // and its plane, for a wide alphabet
        bool multi;              // the node's children lie in several planes
        size_t depth;
        Match match;
    };

    ByteLanes(const TrieStore &store, const CodePoint *units, size_t n, size_t limit)
        : store_(store), units_(units), end_(units + n), limit_(limit) {}

    bool settle(size_t, Match *) const { return false; }

    void start(Lane &lane, size_t position) {
        lane.start = position;
        lane.unit = units_ + position;
        lane.length = lane.used = 0;
        lane.index = 0;
        lane.at_block = false;
        lane.depth = 0;
        lane.match = Match{};
    }

    bool advance(Lane &lane) {
        const VelarinNode &node = store_.nodes[lane.index];
        if (!lane.at_block) {
            if (is_terminal(node)) lane.match = Match{int32_t(lane.index), uint32_t(lane.depth), uint32_t(lane.unit - units_ - lane.start)};
            unsigned char b;
            if (!next_byte(lane, &b)) return false;
            if (lane.used == 1 && size_t(lane.unit - units_) - lane.start > limit_) {
                lane.match.cut = true;
                return false;
            }
            lane.bit = store_.byte_to_mask[b];
            if constexpr (Wide) {
                if (node.children_indices == nullptr || lane.bit == 0) return false;
                lane.plane = plane_of(b);
                const unsigned kept = node_plane(store_, lane.index);
                lane.multi = kept == multi_plane;
                if (lane.multi) {
                    __builtin_prefetch(wide_mask(node)->words + lane.plane);
                } else {
                    if (kept != lane.plane || (node.mask & lane.bit) == 0) return false;
                    __builtin_prefetch(node.children_indices + __builtin_popcountll(node.mask & (lane.bit - 1)));
                }
            } else {
                if ((node.mask & lane.bit) == 0) return false;
                __builtin_prefetch(node.children_indices + __builtin_popcountll(node.mask & (lane.bit - 1)));
            }
            lane.at_block = true;
            return true;
        }
        unsigned slot;
        if (Wide && lane.multi) {
            const uint64_t *words = wide_mask(node)->words;
            if ((words[lane.plane] & lane.bit) == 0) return false;
            slot = unsigned(__builtin_popcountll(words[lane.plane] & (lane.bit - 1)));
            for (unsigned p = 0; p < lane.plane; ++p) slot += unsigned(__builtin_popcountll(words[p]));
        } else {
            slot = unsigned(__builtin_popcountll(node.mask & (lane.bit - 1)));
        }
        lane.index = node.children_indices[slot];
        __builtin_prefetch(store_.nodes + lane.index);
        ++lane.depth;
        lane.at_block = false;
        return true;
    }

private:
    // The next byte of the walk into *b; false at the end of the text.
    bool next_byte(Lane &lane, unsigned char *b) {
        if (lane.used == lane.length) {
            if (lane.unit == end_) return false;
            lane.length = encode_code_point(*lane.unit++, lane.bytes);
            lane.used = 0;
        }
        *b = lane.bytes[lane.used++];
        return true;
    }

    const TrieStore &store_;
    const CodePoint *units_;
    const CodePoint *end_;
    size_t limit_;
};

// visit(k, node, characters) for every word of one to `limit` code points
// that units[0..n) begin with, shortest first, walking by bytes; false when
// the pace says to stop.
template <bool Wide, typename CodePoint, typename Visit>
bool words_by_bytes(const TrieStore &store, const CodePoint *units, size_t n, size_t limit, size_t k, Visit &visit,
                    Pace &pace) {
    Cursor<Wide> cursor{store};
    unsigned char buffer[4];
    const size_t end = std::min(n, limit);
    for (size_t i = 0; i < end; ++i) {
        const unsigned length = encode_code_point(units[i], buffer);
        if (!pace.go_on(length)) return false;
        for (unsigned j = 0; j < length; ++j)
            if (!cursor.step(buffer[j])) return true;
        if (is_terminal(store.nodes[cursor.index])) visit(k, cursor.index, uint32_t(i + 1));
    }
    return true;
}

template <typename Walk, typename CodePoint>
inline bool run_walk(const TrieStore &store, const CodePoint *units, size_t n, size_t first, size_t count,
                     size_t limit, Match *out, Pace &pace) {
    Walk walk(store, units, n, limit);
    return run_lanes(walk, first, count, out, pace);
}

}  // namespace detail

// out[k] = closest_prefix_code_points(store, units + first + k, n - first - k)
// for every k < count; first + count must not pass n. A walk that reaches
// `limit` code points with more text after them stops there instead, with the
// match within them and `cut` set. False, with out[] undefined, when the
// meter says to stop or the table changed while it asked.
template <typename CodePoint>
inline bool matches_at(const TrieStore &store, const CodePoint *units, size_t n, size_t first, size_t count,
                       Match *out, ScanSpace &space, WorkMeter &meter, size_t limit = SIZE_MAX) {
    Pace pace(meter, store);
    if (store.nodes == nullptr) {
        for (size_t k = 0; k < count; ++k) out[k] = Match{};
        return pace.go_on(count);
    }
    if (store.index.automaton.nodes != nullptr) {
        if (store.index.automaton.moves != nullptr)
            return detail::automaton_matches<false, true>(store, units, n, first, count, out, space.carry, pace);
        return is_wide(store.max_mask_bit)
                   ? detail::automaton_matches<true, false>(store, units, n, first, count, out, space.carry, pace)
                   : detail::automaton_matches<false, false>(store, units, n, first, count, out, space.carry, pace);
    }
    if (store.index.state == CharIndexState::built) {
        const detail::CharEdgeRounds<CodePoint, detail::DeepestWord> rounds(store, units, n, limit, space);
        for (size_t k = 0; k < count; k += rounds.batch)
            if (!rounds.run(first + k, std::min(rounds.batch, count - k), detail::DeepestWord{out + k}, pace)) return false;
        return true;
    }
    if (is_wide(store.max_mask_bit))
        return detail::run_walk<detail::ByteLanes<true, CodePoint>>(store, units, n, first, count, limit, out, pace);
    return detail::run_walk<detail::ByteLanes<false, CodePoint>>(store, units, n, first, count, limit, out, pace);
}

// visit(k, node, characters) for every stored word of one to `limit` code
// points that the text at position first + k begins with, for every
// k < count (first + count must not pass n); each position's words come
// shortest first, but the walks of several positions interleave. False when
// the meter says to stop or the table changed while it asked.
template <typename CodePoint, typename Visit>
inline bool words_at(const TrieStore &store, const CodePoint *units, size_t n, size_t first, size_t count, size_t limit,
                     ScanSpace &space, WorkMeter &meter, Visit &&visit) {
    Pace pace(meter, store);
    if (store.nodes == nullptr) return pace.go_on(count);
    if (store.index.state == CharIndexState::built) {
        const detail::CharEdgeRounds<CodePoint, detail::EveryWord<Visit>> rounds(store, units, n, limit, space);
        for (size_t k = 0; k < count; k += rounds.batch)
            if (!rounds.run(first + k, std::min(rounds.batch, count - k), detail::EveryWord<Visit>{visit, k}, pace))
                return false;
        return true;
    }
    for (size_t k = 0; k < count; ++k) {
        const size_t at = first + k;
        const bool going = is_wide(store.max_mask_bit)
                               ? detail::words_by_bytes<true>(store, units + at, n - at, limit, k, visit, pace)
                               : detail::words_by_bytes<false>(store, units + at, n - at, limit, k, visit, pace);
        if (!going) return false;
    }
    return true;
}

}  // namespace velarin
