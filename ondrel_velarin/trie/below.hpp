// The words below a path: the node a key's whole path reaches, and the words
// at or below a node in byte order (a node's children are in ascending byte
// order, and a word comes before its extensions).
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
