// Building the scans' automaton (automaton.hpp): the fallback, next word
// and depth of every node, in order of depth, each from its parent's.
#include "automaton.hpp"

#include <new>
#include <vector>

namespace velarin {
namespace {

// Whether the strings are deep enough for an automaton to pay.
bool wants_automaton(const TrieStore &store) {
    if (store.num_strings <= 0 || store.bytes_lengths == nullptr) return false;
    size_t bytes = 0;
    for (int32_t i = 0; i < store.num_strings; ++i) bytes += size_t(store.bytes_lengths[i]);
    return bytes >= automaton_word_bytes * size_t(store.num_strings);
}

// Fills the records, the nodes taken in order of depth (a node's fallback
// is shallower than it, so it is done by then). Throws bad_alloc.
template <bool Wide>
Status fill(const TrieStore &store, AutomatonNode *records, Pace &pace) {
    const Children children(store);
    std::vector<uint32_t> order;
    order.reserve(size_t(store.num_nodes));
    order.push_back(0);
    records[0] = AutomatonNode{0, 0, 0};
    for (size_t q = 0; q < order.size(); ++q) {
        if (!pace.go_on(1)) return Status::interrupted;
        const uint32_t parent = order[q];
        children.each(parent, [&](unsigned char b, uint32_t child) {
            uint32_t back = 0;
            if (parent != 0) {
                // The longest suffix of the parent's path that goes on with b.
                for (uint32_t at = records[parent].fallback;; at = records[at].fallback) {
                    detail::Cursor<Wide> cursor{store, at};
                    if (cursor.step(b)) {
                        back = cursor.index;
                        break;
                    }
                    if (at == 0) break;
                }
            }
            const uint32_t next = back != 0 && detail::is_terminal(store.nodes[back]) ? back : records[back].next_word;
            records[child] = AutomatonNode{back, next, records[parent].depth + 1};
            order.push_back(child);
        });
    }
    return Status::ok;
}

}  // namespace

Status build_automaton(TrieStore &store, Pace &pace) {
    if (store.nodes == nullptr || !wants_automaton(store)) return Status::ok;
    TableBlock block = allocate_table(size_t(store.num_nodes) * sizeof(AutomatonNode), true);
    if (block.data == nullptr) return Status::ok;
    auto *records = static_cast<AutomatonNode *>(block.data);
    Status status;
    try {
        status = is_wide(store.max_mask_bit) ? fill<true>(store, records, pace) : fill<false>(store, records, pace);
    } catch (const std::bad_alloc &) {
        status = Status::no_memory_char_index;
    }
    if (status != Status::ok) {
        free_table(block);
        return status == Status::interrupted ? status : Status::ok;
    }
    store.index.automaton = Automaton{block, records};
    return Status::ok;
}

void drop_automaton(TrieStore &store) {
    free_table(store.index.automaton.block);
    store.index.automaton = Automaton{};
}

}  // namespace velarin
