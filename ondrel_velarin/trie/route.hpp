// Segmentation by word frequency, as jieba does it, over a whole text.
//
// The text is cut into blocks (runs of Han characters U+4E00-U+9FD5, ASCII
// letters and digits, and + # & . _ % -); every other character is a piece
// of its own, a "\r\n" one piece. In a block every position has candidates,
// each stored word with a frequency above 0 that the block there begins
// with, or the character alone when there is none. The route is chosen from
// the block's end backwards: at each position the candidate maximising
// log(frequency) - log(total) + the best value after it, the longer one on a
// tie. Its words are the pieces, except that runs of single characters are
// joined where they are ASCII letters and digits (without the HMM), or
// handed to the HMM (with it): a run of one stays, a run that is itself a
// candidate word comes out as its characters, any other is decoded by the
// model (hmm.hpp).
//
// The sums are jieba's to the last bit: the same operations in the same
// order on IEEE doubles, with the same libm log. Build without fast-math or
// contracted multiply-adds.
//
// Linear in the text: the walks from each position stop after
// route_walk_limit code points, and words longer than that are found by the
// long words' automaton in one pass (long_words.hpp).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

#include "hmm.hpp"
#include "long_words.hpp"
#include "scan.hpp"

namespace velarin {

constexpr size_t route_walk_limit = 32;

namespace detail {

// The ASCII block characters as bits: ASCII letters, digits and + # & . _ % -.
constexpr uint64_t block_bits(int from) {
    uint64_t bits = 0;
    for (int c = from; c < from + 64; ++c)
        if (is_ascii_alnum(uint32_t(c)) || c == '+' || c == '#' || c == '&' || c == '.' || c == '_' || c == '%' || c == '-')
            bits |= uint64_t(1) << (c - from);
    return bits;
}

}  // namespace detail

// Without a branch on the character's kind: texts mix ASCII and Han in no
// pattern a predictor could follow.
inline bool is_block_character(uint32_t c) {
    constexpr uint64_t low = detail::block_bits(0), high = detail::block_bits(64);
    const uint64_t bits = c < 64 ? low : high;
    return ((c < 128) & (bits >> (c & 63))) | is_hmm_han(c);
}

// A segment: where it ends (a code point offset in the text) and, when it is
// a stored word of two code points or more, that word's node; -1 for any
// other piece (a character, a run of letters, a word the HMM found).
struct RoutePiece {
    size_t end;
    int32_t node;
};

// What a route needs of a dictionary, made once for its store: by each
// terminal node's rank (terminal_slot), its weight, log(frequency) -
// log(total) for a frequency above 0 and NaN for a word that is no
// candidate; the weight of a character that no candidate covers,
// log(1) - log(total); the automaton of the candidates longer than a walk
// goes; and, when any, which words the HMM must never give whole.
struct RouteModel {
    std::vector<TerminalRun> runs;
    std::vector<double> weights;
    std::vector<uint8_t> force_split;
    double single = 0;
    LongWords long_words;
};

// The code points of a word's UTF-8 bytes (valid UTF-8), into `out`.
inline void decode_word(const unsigned char *bytes, size_t length, std::vector<uint32_t> &out) {
    out.clear();
    for (size_t i = 0; i < length;) {
        const unsigned char lead = bytes[i];
        const unsigned width = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        uint32_t c = width == 1 ? lead : lead & (0x7F >> width);
        for (unsigned j = 1; j < width; ++j) c = c << 6 | (bytes[i + j] & 0x3F);
        out.push_back(c);
        i += width;
    }
}

// Fills an empty `model` for a built store. frequency(node) gives each
// terminal node's frequency (0 or more), force_split(node) whether the HMM
// must split that word into characters; log_total is the log of the
// frequencies' total as the dictionary counts it.
template <typename Frequency, typename ForceSplit>
Status build_route_model(const TrieStore &store, double log_total, Frequency &&frequency, ForceSplit &&force_split,
                         RouteModel &model) {
    model.single = std::log(1.0) - log_total;
    if (store.nodes == nullptr) return Status::ok;
    try {
        model.runs.resize((size_t(store.num_nodes) + 63) / 64);
        model.weights.resize(rank_terminals(store, model.runs.data()));
        std::vector<uint32_t> code_points;
        for (int64_t node = next_terminal(store, 0, store.num_nodes); node >= 0;
             node = next_terminal(store, node + 1, store.num_nodes)) {
            const size_t slot = terminal_slot(model.runs.data(), uint32_t(node));
            const int64_t f = frequency(uint32_t(node));
            model.weights[slot] = f > 0 ? std::log(double(f)) - log_total : std::nan("");
            if (force_split(uint32_t(node))) {
                if (model.force_split.empty()) model.force_split.resize(model.weights.size());
                model.force_split[slot] = 1;
            }
            const char *word = store.nodes[node].word;
            const size_t length = word_length(word);
            if (f <= 0 || length <= route_walk_limit) continue;  // no more code points than bytes
            decode_word(reinterpret_cast<const unsigned char *>(word), length, code_points);
            if (code_points.size() <= route_walk_limit) continue;
            std::reverse(code_points.begin(), code_points.end());  // for the pass from the text's end
            const Status status = model.long_words.add(code_points.data(), code_points.size(), uint32_t(node));
            if (status != Status::ok) return status;
        }
    } catch (const std::bad_alloc &) {
        return Status::no_memory_route;
    }
    return model.long_words.finish();
}

// The working arrays of a segmentation, kept between texts.
struct RouteSpace {
    struct Step {
        double value;       // the best route's value from here to the block's end
        uint32_t length;    // code points of its first piece
        int32_t node;       // that piece's node, or -1
    };
    struct Candidate {
        double weight;  // NaN: a word that is no candidate
        uint32_t node;
        uint32_t characters;
        int32_t next;   // the position's next candidate, or -1
        uint32_t slot;  // the node's rank among the terminal nodes
    };
    ScanSpace scan;
    std::vector<Step> steps;     // by position in the chunk, and one past its end
    std::vector<uint32_t> room;  // code points from each position to its block's end (0: no block there)
    std::vector<Candidate> candidates;
    int32_t heads[detail::round_batch];
    std::vector<uint8_t> states, back;
    PieceEnds ends;
};

namespace detail {

// Positions whose routes are chosen together: the walks of a batch of
// positions cost less than one walk after another, and a call per block
// would cost more than short blocks do. A chunk ends where a block does.
constexpr size_t route_chunk = 4096;

template <typename CodePoint>
class Router {
public:
    Router(const TrieStore &store, const RouteModel &model, const HmmTables *hmm, const CodePoint *units, size_t n,
           RouteSpace &space, WorkMeter &meter, std::vector<RoutePiece> &pieces)
        : store_(store), model_(model), hmm_(hmm), units_(units), n_(n), space_(space), meter_(meter),
          pace_(meter, store), pieces_(pieces) {}

    Status run() {
        try {
            for (size_t first = 0; first < n_;) {
                size_t end = std::min(n_, first + route_chunk);
                while (end < n_ && is_block_character(units_[end - 1]) && is_block_character(units_[end])) ++end;
                const Status status = choose_routes(first, end);
                if (status != Status::ok) return status;
                chunk_pieces(first, end);
                if (!pace_.go_on(end - first)) return Status::interrupted;
                first = end;
            }
        } catch (const std::bad_alloc &) {
            return Status::no_memory_route;
        }
        return Status::ok;
    }

private:
    using Step = RouteSpace::Step;
    using Candidate = RouteSpace::Candidate;

    // The route from every block position of the chunk units_[first..end),
    // which begins and ends where blocks do, by batches of positions from
    // its end: when a batch's candidates are known, so are the best routes
    // after it. Walks go through the whole chunk; a word that would pass its
    // block's end is no candidate.
    Status choose_routes(size_t first, size_t end) {
        const size_t length = end - first;
        std::vector<Step> &steps = space_.steps;
        std::vector<uint32_t> &room = space_.room;
        if (steps.size() < length + 1) steps.resize(length + 1), room.resize(length + 1);
        room[length] = 0;
        for (size_t k = length; k-- > 0;) room[k] = is_block_character(units_[first + k]) ? room[k + 1] + 1 : 0;
        steps[length] = Step{0.0, 0, -1};
        LongWords::Pass pass;
        pass.next = length;
        for (size_t high = length; high > 0;) {
            const size_t low = high > round_batch ? high - round_batch : 0;
            std::fill(space_.heads, space_.heads + (high - low), -1);
            space_.candidates.clear();
            // The weights are read once the batch's walks are done, so that
            // their misses overlap.
            auto add = [&](size_t k, uint32_t node, uint32_t characters) {
                if (characters > room[low + k]) return;
                __builtin_prefetch(model_.runs.data() + node / 64);
                space_.candidates.push_back(Candidate{0.0, node, characters, space_.heads[k], 0});
                space_.heads[k] = int32_t(space_.candidates.size() - 1);
            };
            if (!words_at(store_, units_ + first, length, low, high - low, route_walk_limit, space_.scan, meter_, add))
                return Status::interrupted;
            if (!model_.long_words.empty() &&
                !model_.long_words.pass_down_to(units_ + first, pass, low, pace_,
                                                [&](size_t at, uint32_t node, uint32_t n) { add(at - low, node, n); }))
                return Status::interrupted;
            weigh_candidates();
            for (size_t k = high; k-- > low;)
                steps[k] = room[k] == 0 ? Step{0.0, 0, -1} : best_step(k, steps, space_.heads[k - low]);
            high = low;
        }
        return Status::ok;
    }

    void weigh_candidates() {
        const double *weights = model_.weights.data();
        for (Candidate &c : space_.candidates) {
            c.slot = uint32_t(terminal_slot(model_.runs.data(), c.node));
            __builtin_prefetch(weights + c.slot);
        }
        for (Candidate &c : space_.candidates) c.weight = weights[c.slot];
    }

    // The best route from chunk position k, whose candidates start at
    // `head`: the greatest (value, length) pair, as jieba compares them.
    Step best_step(size_t k, const std::vector<Step> &steps, int32_t head) const {
        Step best{0, 0, -1};
        for (int32_t c = head; c >= 0; c = space_.candidates[size_t(c)].next) {
            const Candidate &candidate = space_.candidates[size_t(c)];
            if (std::isnan(candidate.weight)) continue;  // no candidate
            const double value = candidate.weight + steps[k + candidate.characters].value;
            if (best.length == 0 || value > best.value || (value == best.value && candidate.characters > best.length))
                best = Step{value, candidate.characters, int32_t(candidate.node)};
        }
        if (best.length == 0) return Step{model_.single + steps[k + 1].value, 1, -1};
        if (best.length == 1) best.node = -1;
        return best;
    }

    // The pieces of the chunk units_[first..end), block by block.
    void chunk_pieces(size_t first, size_t end) {
        for (size_t x = first; x < end;) {
            const uint32_t room = space_.room[x - first];
            if (room == 0) {
                const size_t next = x + (units_[x] == '\r' && x + 1 < end && units_[x + 1] == '\n' ? 2 : 1);
                pieces_.push_back(RoutePiece{next, -1});
                x = next;
                continue;
            }
            if (hmm_ != nullptr) hmm_pieces(first, x, x + room);
            else plain_pieces(first, x, x + room);
            x += room;
        }
    }

    // The route's pieces of the block units_[first..end) of the chunk at
    // `chunk`, without the HMM: runs of single ASCII letters and digits joined.
    void plain_pieces(size_t chunk, size_t first, size_t end) {
        const std::vector<Step> &steps = space_.steps;
        bool joining = false;
        for (size_t x = first; x < end;) {
            const Step &step = steps[x - chunk];
            if (step.length == 1 && is_ascii_alnum(units_[x])) {
                joining = true;
                ++x;
                continue;
            }
            if (joining) pieces_.push_back(RoutePiece{x, -1});
            joining = false;
            x += step.length;
            pieces_.push_back(RoutePiece{x, step.node});
        }
        if (joining) pieces_.push_back(RoutePiece{end, -1});
    }

    // The same with the HMM: runs of single characters re-segmented.
    void hmm_pieces(size_t chunk, size_t first, size_t end) {
        const std::vector<Step> &steps = space_.steps;
        size_t run = SIZE_MAX;  // where the run of single characters began
        for (size_t x = first; x < end;) {
            const Step &step = steps[x - chunk];
            if (step.length == 1) {
                if (run == SIZE_MAX) run = x;
                ++x;
                continue;
            }
            if (run != SIZE_MAX) single_run(run, x);
            run = SIZE_MAX;
            x += step.length;
            pieces_.push_back(RoutePiece{x, step.node});
        }
        if (run != SIZE_MAX) single_run(run, end);
    }

    // The stored word units_[first..end) is, or -1.
    int32_t word_node(size_t first, size_t end) const {
        const Match match = closest_prefix_code_points(store_, units_ + first, end - first);
        return match.node >= 0 && match.length == utf8_length(units_ + first, end - first) ? match.node : -1;
    }

    void characters(size_t first, size_t end) {
        for (size_t i = first; i < end; ++i) pieces_.push_back(RoutePiece{i + 1, -1});
    }

    // A run of single characters of the route, units_[first..end).
    void single_run(size_t first, size_t end) {
        if (end - first == 1) return pieces_.push_back(RoutePiece{end, -1});
        const int32_t node = word_node(first, end);
        if (node >= 0 && !std::isnan(model_.weights[terminal_slot(model_.runs.data(), uint32_t(node))]))
            return characters(first, end);
        for (size_t i = first; i < end;) {
            size_t j = i;
            PieceEnds &ends = space_.ends;
            ends.clear();
            if (is_hmm_han(units_[i])) {
                while (j < end && is_hmm_han(units_[j])) ++j;
                han_run(i, j);
            } else {
                while (j < end && !is_hmm_han(units_[j])) ++j;
                split_other(units_ + i, j - i, i, ends);
                for (size_t e : ends) pieces_.push_back(RoutePiece{e, -1});
            }
            i = j;
        }
    }

    // A run of Han characters, decoded by the model.
    void han_run(size_t first, size_t end) {
        const size_t n = end - first;
        space_.states.resize(n);
        space_.back.resize(n * hmm_states);
        viterbi(*hmm_, units_ + first, n, space_.states.data(), space_.back.data());
        PieceEnds &ends = space_.ends;
        words_of_states(space_.states.data(), n, ends);
        size_t start = first;
        for (size_t e : ends) {
            const size_t stop = first + e;
            if (stop - start > 1 && must_split(start, stop)) characters(start, stop);
            else pieces_.push_back(RoutePiece{stop, -1});
            start = stop;
        }
    }

    bool must_split(size_t first, size_t end) const {
        if (model_.force_split.empty()) return false;
        const int32_t node = word_node(first, end);
        return node >= 0 && model_.force_split[terminal_slot(model_.runs.data(), uint32_t(node))] != 0;
    }

    const TrieStore &store_;
    const RouteModel &model_;
    const HmmTables *hmm_;
    const CodePoint *units_;
    size_t n_;
    RouteSpace &space_;
    WorkMeter &meter_;
    Pace pace_;
    std::vector<RoutePiece> &pieces_;
};

}  // namespace detail

// Appends the pieces of units[0..n) to `pieces` (their ends in order),
// segmented by word frequency with the model of the store, and with the
// HMM's tables when `hmm` is not null. The store's code point index, when
// built, makes the walks faster. `interrupted` when the meter says to stop or
// the table changed while it asked; `no_memory_route` when memory runs out.
template <typename CodePoint>
Status segment_by_route(const TrieStore &store, const RouteModel &model, const HmmTables *hmm, const CodePoint *units,
                        size_t n, RouteSpace &space, WorkMeter &meter, std::vector<RoutePiece> &pieces) {
    return detail::Router<CodePoint>(store, model, hmm, units, n, space, meter, pieces).run();
}

}  // namespace velarin
