// Every occurrence, in a text, of the words too long for a route's walks:
// an Aho-Corasick automaton over their code points. The walks from each
// position stop after route_walk_limit code points, so that a text repeating
// a long word's prefixes costs no walk that long per position; the words
// longer than that are found here instead, in one pass over the text, at a
// cost of the text's length plus the occurrences found.
//
// Natural dictionaries have no such word (jieba's longest has 16 code
// points), and then nothing is built.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "trie.hpp"

namespace velarin {

// An occurrence: the word of terminal node `node`, `characters` code points
// long, at code point `start` of the text.
struct LongWordHit {
    size_t start;
    uint32_t characters;
    uint32_t node;
};

class LongWords {
public:
    bool empty() const { return states_.size() <= 1; }

    // Adds the word of terminal node `node`, of `n` code points (n > 0).
    // Words are added before finish().
    Status add(const uint32_t *code_points, size_t n, uint32_t node);

    // Links every state to the longest proper suffix of its path that is a
    // state too, and to the nearest such suffix that is a word.
    Status finish();

    // Appends every occurrence in units[0..n) to `hits`, in order of their
    // ends (for one end, longest first); false when the pace says to stop
    // or memory runs out (*no_memory then set).
    template <typename CodePoint>
    bool find(const CodePoint *units, size_t n, std::vector<LongWordHit> &hits, Pace &pace, bool *no_memory) const;

private:
    static constexpr uint32_t no_word = UINT32_MAX;

    struct State {
        uint32_t fail = 0;       // the state of the longest proper suffix of this path
        uint32_t next_word = 0;  // the nearest state on the fail chain that is a word, or 0 (the root)
        uint32_t depth = 0;      // code points in the path
        uint32_t node = no_word;  // the word's terminal node, or no_word
    };

    static uint64_t key(uint32_t state, uint32_t c) { return uint64_t(state) << 21 | c; }

    // The state after `state` takes code point c, falling back along the
    // fail links; the root when no suffix goes on with c.
    uint32_t go(uint32_t state, uint32_t c) const {
        for (;;) {
            const auto edge = edges_.find(key(state, c));
            if (edge != edges_.end()) return edge->second;
            if (state == 0) return 0;
            state = states_[state].fail;
        }
    }

    std::vector<State> states_{State{}};
    std::unordered_map<uint64_t, uint32_t> edges_;
    std::vector<std::vector<std::pair<uint32_t, uint32_t>>> children_{{}};  // (code point, state), for finish()
};

template <typename CodePoint>
bool LongWords::find(const CodePoint *units, size_t n, std::vector<LongWordHit> &hits, Pace &pace,
                     bool *no_memory) const {
    uint32_t state = 0;
    try {
        for (size_t i = 0; i < n; ++i) {
            if (!pace.go_on(1)) return false;
            state = go(state, uint32_t(units[i]));
            for (uint32_t s = states_[state].node != no_word ? state : states_[state].next_word; s != 0;
                 s = states_[s].next_word) {
                const State &word = states_[s];
                hits.push_back(LongWordHit{i + 1 - word.depth, word.depth, word.node});
            }
        }
    } catch (const std::bad_alloc &) {
        *no_memory = true;
        return false;
    }
    return true;
}

}  // namespace velarin
