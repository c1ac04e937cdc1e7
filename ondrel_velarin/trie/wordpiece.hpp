// Greedy subword matching (WordPiece) over two tries: the vocabulary's
// word-initial tokens, and its continuation tokens with their prefix
// ("##") taken off. A word is cut, from its start, into the longest initial
// token it begins with, then the longest continuation token from there on,
// and so on; when no token matches at some point, the whole word is unknown.
//
// The matcher reads each byte of a word once: besides the tries' child
// links, every node has a failure link and a list of pops, made when the
// matcher is built. When the word's next byte has no child at node v, the
// longest token v's path begins with is taken, and so are the tokens that
// greedy matching takes after it, as long as they end within v's path (the
// pops); the walk goes on from the continuation node of what is left of the
// path (the failure link). A vocabulary whose tokens are prefixes of each
// other so costs no walk twice over the same bytes, however long its tokens.
//
// Pops lists share their parts: a node's list is its parent's list followed
// by those of the failure nodes skipped on the way, each kept once, so their
// memory stays linear in the tries' sizes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "lookup.hpp"
#include "trie.hpp"

namespace velarin {

// One token of a word: its id, and the code points of the word it covers.
struct Piece {
    int32_t id;
    uint32_t start, end;
};

// A node of either trie, the continuation trie's numbered after the
// initial trie's; the continuation trie's root is where a word goes on
// after a whole token.
class PieceMatcher {
public:
    static constexpr uint32_t none = UINT32_MAX;

    // The id of a token; its trie (0 initial, 1 continuation) and node.
    using TokenIds = int64_t (*)(const void *context, int trie, uint32_t node);

    // Builds the links over two built (or empty) stores; an empty result
    // (ok() false) when memory runs out. The stores must stay unchanged
    // while the matcher is used.
    PieceMatcher(const TrieStore &initial, const TrieStore &continuation, TokenIds ids, const void *context);

    bool ok() const { return ok_; }

    // Appends to `out` the pieces of the word given as code points (none a
    // surrogate), with positions counted from 0; false when the word is
    // unknown, with out as it was. An empty word has no pieces.
    template <typename CodePoint>
    bool match(const CodePoint *word, size_t n, std::vector<Piece> &out) const;

    // Bytes the links take.
    size_t bytes() const;

private:
    // A pops list: a single token (a terminal node, with leaf set) or the
    // index of a list of such references in `parts_`.
    static constexpr uint32_t leaf = uint32_t(1) << 31;

    struct Node {
        uint32_t fail;    // none, or the node a walk goes on from
        uint32_t pops;    // what is taken when it does, when fail is not none
        int32_t id;       // terminal nodes: the token's id
        uint32_t length;  // terminal nodes: the token's length in code points
    };

    uint32_t child(uint32_t state, unsigned char b) const;
    void emit(uint32_t pops, uint32_t &at, std::vector<Piece> &out) const;
    bool build(TokenIds ids, const void *context);

    const TrieStore &initial_, &continuation_;
    uint32_t num_initial_ = 0, continuation_root_ = 0;
    std::vector<Node> nodes_;
    std::vector<uint32_t> part_starts_, parts_;  // list k: parts_[part_starts_[k] .. part_starts_[k + 1])
    bool ok_ = false;
};

inline uint32_t PieceMatcher::child(uint32_t state, unsigned char b) const {
    const bool first = state < num_initial_;
    const TrieStore &store = first ? initial_ : continuation_;
    if (store.nodes == nullptr) return none;
    const uint32_t node = first ? state : state - num_initial_;
    const uint32_t base = first ? 0 : num_initial_;
    if (is_wide(store.max_mask_bit)) {
        detail::Cursor<true> cursor{store, node};
        return cursor.step(b) ? base + cursor.index : none;
    }
    detail::Cursor<false> cursor{store, node};
    return cursor.step(b) ? base + cursor.index : none;
}

inline void PieceMatcher::emit(uint32_t pops, uint32_t &at, std::vector<Piece> &out) const {
    auto take = [&](uint32_t terminal) {
        const Node &token = nodes_[terminal];
        out.push_back(Piece{token.id, at, at + token.length});
        at += token.length;
    };
    if (pops & leaf) return take(pops & ~leaf);
    // Lists nest as deep as the tokens are long: walked with a stack of
    // the parts still to take, last first.
    std::vector<uint32_t> pending{pops};
    while (!pending.empty()) {
        const uint32_t list = pending.back();
        pending.pop_back();
        if (list & leaf) {
            take(list & ~leaf);
            continue;
        }
        for (uint32_t k = part_starts_[list + 1]; k > part_starts_[list]; --k) pending.push_back(parts_[k - 1]);
    }
}

template <typename CodePoint>
bool PieceMatcher::match(const CodePoint *word, size_t n, std::vector<Piece> &out) const {
    if (n == 0) return true;
    const size_t before = out.size();
    uint32_t state = 0, at = 0;
    unsigned char bytes[4];
    auto fail = [&]() {
        out.resize(before);
        return false;
    };
    for (size_t i = 0; i < n; ++i) {
        const unsigned width = detail::encode_code_point(uint32_t(word[i]), bytes);
        for (unsigned j = 0; j < width; ++j) {
            uint32_t next;
            while ((next = child(state, bytes[j])) == none) {
                const Node &node = nodes_[state];
                if (node.fail == none) return fail();
                emit(node.pops, at, out);
                state = node.fail;
            }
            state = next;
        }
    }
    while (state != continuation_root_) {
        const Node &node = nodes_[state];
        if (node.fail == none) return fail();
        emit(node.pops, at, out);
        state = node.fail;
    }
    return true;
}

}  // namespace velarin
