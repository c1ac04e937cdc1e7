// The hidden Markov model that re-segments runs of single characters: its
// tables, the Viterbi decoding of a run of Han characters over the states
// B, M, E, S (a word's beginning, middle and end, a word of one character),
// and the split of the rest of a run into letter and digit runs.
//
// The decoding reproduces jieba's floating-point arithmetic operation for
// operation: log probabilities added in the same order, ties between equal
// sums resolved the same way (towards the later state in B < E < M < S). It
// must be compiled without contraction of multiply-adds or fast-math
// reassociation, as the build does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velarin {

// The characters the model knows: the block's Han range.
constexpr uint32_t hmm_first = 0x4E00, hmm_last = 0x9FD5;
constexpr size_t hmm_characters = hmm_last - hmm_first + 1;

constexpr bool is_hmm_han(uint32_t c) { return c - hmm_first <= hmm_last - hmm_first; }

// The states in the order their names sort, which is the order ties go by.
enum HmmState : uint8_t { state_b, state_e, state_m, state_s, hmm_states };

// The log probability given for an event the tables do not list.
constexpr double hmm_missing = -3.14e100;

struct HmmTables {
    double start[hmm_states];
    double trans[hmm_states][hmm_states];        // [from][to]
    double emit[hmm_states][hmm_characters];     // by code point - hmm_first
};

// Pieces of a run, as the ends of its segments (code point offsets in the run).
using PieceEnds = std::vector<size_t>;

// The states of the most probable path through units[0..n), n > 0, all Han
// (is_hmm_han), into states[0..n).
template <typename CodePoint>
void viterbi(const HmmTables &model, const CodePoint *units, size_t n, uint8_t *states, uint8_t *back) {
    // The state each may follow, in no particular order: ties go by the
    // larger state, not by this order.
    static constexpr uint8_t before[hmm_states][2] = {
        {state_e, state_s},  // B
        {state_b, state_m},  // E
        {state_b, state_m},  // M
        {state_e, state_s},  // S
    };
    double v[hmm_states];
    for (int y = 0; y < hmm_states; ++y) v[y] = model.start[y] + model.emit[y][units[0] - hmm_first];
    for (size_t t = 1; t < n; ++t) {
        double next[hmm_states];
        for (int y = 0; y < hmm_states; ++y) {
            const double emit = model.emit[y][units[t] - hmm_first];
            uint8_t best_from = before[y][0];
            double best = v[best_from] + model.trans[best_from][y] + emit;
            const uint8_t from = before[y][1];
            const double p = v[from] + model.trans[from][y] + emit;
            if (p > best || (p == best && from > best_from)) best = p, best_from = from;
            next[y] = best;
            back[t * hmm_states + y] = best_from;
        }
        for (int y = 0; y < hmm_states; ++y) v[y] = next[y];
    }
    uint8_t state = v[state_s] >= v[state_e] ? state_s : state_e;
    for (size_t t = n; t-- > 0;) {
        states[t] = state;
        if (t > 0) state = back[t * hmm_states + state];
    }
}

// The words of a Han run by its states: from a B to the next E, an S alone;
// what a path leaves open at its end is one word.
inline void words_of_states(const uint8_t *states, size_t n, PieceEnds &ends) {
    size_t open = 0;
    for (size_t i = 0; i < n; ++i) {
        if (states[i] == state_e || states[i] == state_s) {
            ends.push_back(i + 1);
            open = i + 1;
        }
    }
    if (open < n) ends.push_back(n);
}

constexpr bool is_ascii_alnum(uint32_t c) { return ((c | 0x20) - uint32_t('a')) < 26u || (c - uint32_t('0')) < 10u; }

inline bool is_ascii_digit(uint32_t c) { return c - uint32_t('0') < 10u; }

// The pieces of a run of other characters (not Han): each run of letters
// and digits, with a decimal part (a point and digits) and a percent sign
// after it when they follow, is one; so is each stretch between them.
template <typename CodePoint>
void split_other(const CodePoint *units, size_t n, size_t offset, PieceEnds &ends) {
    for (size_t i = 0; i < n;) {
        size_t j = i;
        if (is_ascii_alnum(units[i])) {
            while (j < n && is_ascii_alnum(units[j])) ++j;
            if (j + 1 < n && units[j] == '.' && is_ascii_digit(units[j + 1])) {
                j += 2;
                while (j < n && is_ascii_digit(units[j])) ++j;
            }
            if (j < n && units[j] == '%') ++j;
        } else {
            while (j < n && !is_ascii_alnum(units[j])) ++j;
        }
        ends.push_back(offset + j);
        i = j;
    }
}

}  // namespace velarin
