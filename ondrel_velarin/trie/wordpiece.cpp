// Building the failure links and pops of a PieceMatcher (wordpiece.hpp).
#include "wordpiece.hpp"

#include <new>

namespace velarin {
namespace {

// Code points in the UTF-8 bytes of a terminal node's word.
uint32_t code_points_of(const VelarinNode &node) {
    const auto *word = reinterpret_cast<const unsigned char *>(node.word);
    uint32_t count = 0;
    for (uint32_t i = 0, n = word_length(node.word); i < n; ++i) count += !is_continuation_byte(word[i]);
    return count;
}

}  // namespace

PieceMatcher::PieceMatcher(const TrieStore &initial, const TrieStore &continuation, TokenIds ids,
                           const void *context)
    : initial_(initial), continuation_(continuation) {
    try {
        ok_ = build(ids, context);
    } catch (const std::bad_alloc &) {
        ok_ = false;
    }
    if (!ok_) {
        nodes_ = {};
        part_starts_ = {};
        parts_ = {};
    }
}

// Breadth first over both tries at once, so that every node whose links a
// node's links are made from (its parent, and nodes of shorter paths in
// the continuation trie) has its own already: a node's failure node is that
// of its parent, or the first on the parent's chain of failure nodes that has
// a child for the node's byte, moved on by it.
bool PieceMatcher::build(TokenIds ids, const void *context) {
    const TrieStore *stores[2] = {&initial_, &continuation_};
    const uint64_t sizes[2] = {initial_.nodes != nullptr ? uint64_t(initial_.num_nodes) : 1,
                               continuation_.nodes != nullptr ? uint64_t(continuation_.num_nodes) : 1};
    if (sizes[0] + sizes[1] >= leaf) return false;
    num_initial_ = uint32_t(sizes[0]);
    continuation_root_ = num_initial_;
    nodes_.assign(size_t(sizes[0] + sizes[1]), Node{none, 0, -1, 0});
    for (int t = 0; t < 2; ++t) {
        const TrieStore &store = *stores[t];
        const uint32_t base = t == 0 ? 0 : num_initial_;
        for (int32_t i = 0; store.nodes != nullptr && i < store.num_nodes; ++i) {
            if (!detail::is_terminal(store.nodes[i])) continue;
            Node &node = nodes_[base + uint32_t(i)];
            node.id = int32_t(ids(context, t, uint32_t(i)));
            node.length = code_points_of(store.nodes[i]);
        }
    }
    part_starts_.assign(1, 0);
    const Children children[2] = {Children(initial_), Children(continuation_)};
    std::vector<uint32_t> queue{0, continuation_root_}, skipped;
    for (size_t q = 0; q < queue.size(); ++q) {
        const uint32_t v = queue[q];
        const int t = v < num_initial_ ? 0 : 1;
        const TrieStore &store = *stores[t];
        if (store.nodes == nullptr) continue;
        const uint32_t base = t == 0 ? 0 : num_initial_;
        children[t].each(v - base, [&](unsigned char b, uint32_t c) {
            const uint32_t u = base + c;
            queue.push_back(u);
            if (detail::is_terminal(store.nodes[c])) {
                nodes_[u].fail = continuation_root_;
                nodes_[u].pops = leaf | u;
                return;
            }
            skipped.clear();
            uint32_t z = nodes_[v].fail, next = none;
            while (z != none && (next = child(z, b)) == none) {
                skipped.push_back(nodes_[z].pops);
                z = nodes_[z].fail;
            }
            if (z == none) return;
            nodes_[u].fail = next;
            if (skipped.empty()) {
                nodes_[u].pops = nodes_[v].pops;
                return;
            }
            nodes_[u].pops = uint32_t(part_starts_.size() - 1);
            parts_.push_back(nodes_[v].pops);
            parts_.insert(parts_.end(), skipped.begin(), skipped.end());
            part_starts_.push_back(uint32_t(parts_.size()));
        });
    }
    return part_starts_.size() < leaf && parts_.size() < UINT32_MAX;
}

size_t PieceMatcher::bytes() const {
    return nodes_.capacity() * sizeof(Node) + (part_starts_.capacity() + parts_.capacity()) * sizeof(uint32_t);
}

}  // namespace velarin
