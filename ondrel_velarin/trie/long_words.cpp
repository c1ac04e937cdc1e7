// Building the automaton of long words: their trie of code points, then the
// fail links breadth first, each from its parent's.
#include "long_words.hpp"

#include <new>

namespace velarin {

Status LongWords::add(const uint32_t *code_points, size_t n, uint32_t node) {
    try {
        uint32_t state = 0;
        for (size_t i = 0; i < n; ++i) {
            const auto [edge, added] = edges_.try_emplace(key(state, code_points[i]), uint32_t(states_.size()));
            if (added) {
                State child;
                child.depth = uint32_t(i + 1);
                states_.push_back(child);
                children_.emplace_back();
                children_[state].emplace_back(code_points[i], edge->second);
            }
            state = edge->second;
        }
        states_[state].node = node;
    } catch (const std::bad_alloc &) {
        return Status::no_memory_route;
    }
    return Status::ok;
}

Status LongWords::finish() {
    try {
        std::vector<uint32_t> order{0};
        for (size_t i = 0; i < order.size(); ++i) {
            const uint32_t parent = order[i];
            for (const auto &[c, child] : children_[parent]) {
                State &s = states_[child];
                s.fail = parent == 0 ? 0 : go(states_[parent].fail, c);
                const State &fail = states_[s.fail];
                s.next_word = fail.node != no_word ? s.fail : fail.next_word;
                order.push_back(child);
            }
        }
    } catch (const std::bad_alloc &) {
        return Status::no_memory_route;
    }
    children_.clear();
    children_.shrink_to_fit();
    return Status::ok;
}

}  // namespace velarin
