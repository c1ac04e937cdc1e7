// The words below a path: the node a key's whole path reaches, the first
// and last words at or below a node, the run of ranks those words have, and
// the words in byte order one at a time.
//
// A build numbers nodes so that a node's children take consecutive indices
// in ascending byte order when the node is laid out, and then each child's
// subtree is laid out in turn: the nodes below a node are one run of
// indices from its first child, so its words are one run of terminal ranks,
// and byte order (a word before its extensions) is the order of children.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "lookup.hpp"

namespace velarin {

// The node at the end of the key's path (given as code points), terminal or
// not; -1 when no stored word begins with the key. Walks bytes: a key here is
// a prefix a caller asks about, not a text.
template <typename CodePoint>
inline int64_t path_node(const TrieStore &store, const CodePoint *units, size_t n) {
    if (store.nodes == nullptr) return -1;
    unsigned char buffer[4];
    auto walk = [&](auto cursor) -> int64_t {
        for (size_t i = 0; i < n; ++i) {
            const unsigned length = detail::encode_code_point(units[i], buffer);
            for (unsigned j = 0; j < length; ++j)
                if (!cursor.step(buffer[j])) return -1;
        }
        return int64_t(cursor.index);
    };
    return is_wide(store.max_mask_bit) ? walk(detail::Cursor<true>{store}) : walk(detail::Cursor<false>{store});
}

// The first word in byte order at or below `node` (which has one): the node
// itself when terminal, else the first at or below its first child.
inline uint32_t first_word_below(const TrieStore &store, uint32_t node) {
    while (!detail::is_terminal(store.nodes[node]) && store.nodes[node].num_children > 0)
        node = store.nodes[node].children_indices[0];
    return node;
}

// The last word in byte order at or below `node`: down the last children to
// a leaf, which ends a word.
inline uint32_t last_word_below(const TrieStore &store, uint32_t node) {
    while (store.nodes[node].num_children > 0) {
        const VelarinNode &record = store.nodes[node];
        node = record.children_indices[record.num_children - 1];
    }
    return node;
}

// The rank (among terminal nodes, in `runs`) of the first word strictly
// below `node`; the words strictly below it have the ranks from there on, as
// many as there are. A leaf has none: its own rank plus one is returned.
inline size_t first_rank_below(const TrieStore &store, const TerminalRun *runs, uint32_t node) {
    const VelarinNode &record = store.nodes[node];
    return record.num_children > 0 ? terminal_slot(runs, record.children_indices[0]) : terminal_slot(runs, node) + 1;
}

// The terminal nodes at or below a node, in byte order of their words (the
// order of ids, when words are numbered that way), one at a time: a walk in
// preorder over children in byte order, with the nodes still to visit on a
// stack. Its methods throw bad_alloc when that stack cannot grow.
class WordsInOrder {
public:
    explicit WordsInOrder(uint32_t top) : pending_{top} {}

    // The next terminal node into *node; false when there are no more.
    bool next(const TrieStore &store, uint32_t *node) {
        while (!pending_.empty()) {
            const uint32_t at = pending_.back();
            pending_.pop_back();
            const VelarinNode &record = store.nodes[at];
            for (int32_t k = record.num_children; k-- > 0;) pending_.push_back(record.children_indices[k]);
            if (detail::is_terminal(record)) {
                *node = at;
                return true;
            }
        }
        return false;
    }

private:
    std::vector<uint32_t> pending_;
};

}  // namespace velarin
