// Every occurrence, in a text, of the words too long for a route's walks:
// an Aho-Corasick automaton over their code points, reversed, that passes
// over the text from its end. The walks from each position stop after
// route_walk_limit code points, so that a text repeating a long word's
// prefixes costs no walk that long per position; the words longer than that
// are found here instead, in one pass over the text, at a cost of the
// text's length plus the occurrences found. Reversed, the pass finds the
// words starting at each position as it reaches it, in the order a route is
// chosen (from the end), so that only the occurrences of the positions at
// hand are ever kept.
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

class LongWords {
public:
    bool empty() const { return states_.size() <= 1; }

    // Adds the word of terminal node `node`, of `n` code points (n > 0).
    // Words are added before finish().
    Status add(const uint32_t *code_points, size_t n, uint32_t node);

    // Where a pass from a text's end has got to: the automaton's state, and
    // the position after the next to take.
    struct Pass {
        uint32_t state = 0;
        size_t next;
    };

    // Links every state to the longest proper suffix of its path that is a
    // state too, and to the nearest such suffix that is a word.
    Status finish();

    // Takes the positions from pass.next - 1 down to `low` of the text
    // units[0..pass.next) began with, calling visit(start, node, characters)
    // for every occurrence of a word that starts at each, as it reaches it;
    // false when the pace says to stop.
    template <typename CodePoint, typename Visit>
    bool pass_down_to(const CodePoint *units, Pass &pass, size_t low, Pace &pace, Visit &&visit) const;

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

template <typename CodePoint, typename Visit>
bool LongWords::pass_down_to(const CodePoint *units, Pass &pass, size_t low, Pace &pace, Visit &&visit) const {
    for (; pass.next > low; --pass.next) {
        if (!pace.go_on(1)) return false;
        const size_t at = pass.next - 1;
        pass.state = go(pass.state, uint32_t(units[at]));
        const State &here = states_[pass.state];
        for (uint32_t s = here.node != no_word ? pass.state : here.next_word; s != 0; s = states_[s].next_word)
            visit(at, states_[s].node, states_[s].depth);
    }
    return true;
}

}  // namespace velarin
