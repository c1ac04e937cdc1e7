// Building the scans' automaton (automaton.hpp): the fallback, next word
// and depth of every node, in order of depth, each from its parent's; and
// for a small byte alphabet every node's moves, each from its fallback's.
#include "automaton.hpp"

#include <algorithm>
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

// The most columns a table of moves may have: at 4 bytes each, a row costs
// at most twice a node record.
constexpr uint32_t max_columns = 16;

// The table of moves being filled, or none.
struct Moves {
    uint32_t *rows = nullptr;
    uint32_t columns = 0;
    unsigned char byte_of[max_columns] = {};  // the byte of each column
};

// Gives each byte of some word a column from 0 on, the others no_column;
// the count of columns, or 0 when there are more than max_columns.
uint32_t assign_columns(const TrieStore &store, uint8_t *column_of, Moves &moves) {
    uint32_t columns = 0;
    for (unsigned b = 0; b < 256; ++b) {
        column_of[b] = no_column;
        if (store.byte_to_mask[b] == 0) continue;
        if (columns == max_columns) return 0;
        moves.byte_of[columns] = static_cast<unsigned char>(b);
        column_of[b] = uint8_t(columns++);
    }
    return columns;
}

// Fills the records, the nodes taken in order of depth (a node's fallback
// is shallower than it, so it is done by then), and with them the rows of
// moves: a node's row once its children's records are in (a move is the
// next state's row, its top bit set when that state ends words), from its
// fallback's row where it has no child. Throws bad_alloc.
template <bool Wide>
Status fill(const TrieStore &store, AutomatonNode *records, Moves &moves, Pace &pace) {
    const Children children(store);
    std::vector<uint32_t> order;
    order.reserve(size_t(store.num_nodes));
    order.push_back(0);
    records[0] = AutomatonNode{0, 0, 0, 0};
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
            const bool starts = parent == 0 || !is_continuation_byte(b);
            records[child] = AutomatonNode{back, next, records[parent].depth + 1, records[parent].code_points + starts};
            order.push_back(child);
        });
        if (moves.rows == nullptr) continue;
        uint32_t *row = moves.rows + size_t(parent) * moves.columns;
        const uint32_t *back = moves.rows + size_t(records[parent].fallback) * moves.columns;
        for (uint32_t c = 0; c < moves.columns; ++c) {
            detail::Cursor<Wide> cursor{store, parent};
            if (cursor.step(moves.byte_of[c])) {
                const uint32_t s = cursor.index;
                const bool ends = detail::is_terminal(store.nodes[s]) || records[s].next_word != 0;
                row[c] = s * moves.columns | uint32_t(ends) << 31;
            } else {
                row[c] = parent == 0 ? 0 : back[c];
            }
        }
    }
    return Status::ok;
}

}  // namespace

Status build_automaton(TrieStore &store, Pace &pace) {
    if (store.nodes == nullptr || !wants_automaton(store)) return Status::ok;
    const size_t nodes = size_t(store.num_nodes), records_bytes = nodes * sizeof(AutomatonNode);
    uint8_t column_of[256];
    Moves moves;
    moves.columns = assign_columns(store, column_of, moves);
    // A move names its row, which must fit beside the move's top bit.
    if (nodes * moves.columns >= size_t(1) << 31) moves.columns = 0;
    // Without the memory for the moves, the records alone: scans fall back.
    TableBlock block;
    if (moves.columns != 0) block = allocate_table(records_bytes + 256 + nodes * moves.columns * sizeof(uint32_t), true);
    if (block.data == nullptr) moves.columns = 0, block = allocate_table(records_bytes, true);
    if (block.data == nullptr) return Status::ok;
    auto *records = static_cast<AutomatonNode *>(block.data);
    uint8_t *columns_copy = static_cast<uint8_t *>(block.data) + records_bytes;
    if (moves.columns != 0) {
        std::copy(column_of, column_of + 256, columns_copy);
        moves.rows = reinterpret_cast<uint32_t *>(columns_copy + 256);
    }
    Status status;
    try {
        status = is_wide(store.max_mask_bit) ? fill<true>(store, records, moves, pace)
                                             : fill<false>(store, records, moves, pace);
    } catch (const std::bad_alloc &) {
        status = Status::no_memory_char_index;
    }
    if (status != Status::ok) {
        free_table(block);
        return status == Status::interrupted ? status : Status::ok;
    }
    store.index.automaton = Automaton{block, records, moves.rows, moves.rows != nullptr ? columns_copy : nullptr,
                                      moves.columns};
    return Status::ok;
}

void drop_automaton(TrieStore &store) {
    free_table(store.index.automaton.block);
    store.index.automaton = Automaton{};
}

}  // namespace velarin
