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

// Fills the three arrays, the nodes taken in order of depth (a node's
// fallback is shallower than it, so it is done by then). Throws bad_alloc.
template <bool Wide>
Status fill(const TrieStore &store, uint32_t *fallback, uint32_t *next_word, uint32_t *depth, Pace &pace) {
    const Children children(store);
    std::vector<uint32_t> order;
    order.reserve(size_t(store.num_nodes));
    order.push_back(0);
    fallback[0] = next_word[0] = depth[0] = 0;
    for (size_t q = 0; q < order.size(); ++q) {
        if (!pace.go_on(1)) return Status::interrupted;
        const uint32_t parent = order[q];
        children.each(parent, [&](unsigned char b, uint32_t child) {
            uint32_t back = 0;
            if (parent != 0) {
                // The longest suffix of the parent's path that goes on with b.
                for (uint32_t at = fallback[parent];; at = fallback[at]) {
                    detail::Cursor<Wide> cursor{store, at};
                    if (cursor.step(b)) {
                        back = cursor.index;
                        break;
                    }
                    if (at == 0) break;
                }
            }
            fallback[child] = back;
            next_word[child] = back != 0 && detail::is_terminal(store.nodes[back]) ? back : next_word[back];
            depth[child] = depth[parent] + 1;
            order.push_back(child);
        });
    }
    return Status::ok;
}

}  // namespace

Status build_automaton(TrieStore &store, Pace &pace) {
    if (store.nodes == nullptr || !wants_automaton(store)) return Status::ok;
    const size_t nodes = size_t(store.num_nodes);
    TableBlock block = allocate_table(3 * nodes * sizeof(uint32_t), true);
    if (block.data == nullptr) return Status::ok;
    auto *arrays = static_cast<uint32_t *>(block.data);
    Status status;
    try {
        status = is_wide(store.max_mask_bit) ? fill<true>(store, arrays, arrays + nodes, arrays + 2 * nodes, pace)
                                             : fill<false>(store, arrays, arrays + nodes, arrays + 2 * nodes, pace);
    } catch (const std::bad_alloc &) {
        status = Status::no_memory_char_index;
    }
    if (status != Status::ok) {
        free_table(block);
        return status == Status::interrupted ? status : Status::ok;
    }
    store.index.automaton = Automaton{block, arrays, arrays + nodes, arrays + 2 * nodes};
    return Status::ok;
}

void drop_automaton(TrieStore &store) {
    free_table(store.index.automaton.block);
    store.index.automaton = Automaton{};
}

}  // namespace velarin
