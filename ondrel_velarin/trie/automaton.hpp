// The scans' automaton for deep words: with it, the longest word at every
// position of a window comes from one pass over the text's bytes, each byte
// read once, where walks would start over at every position and go as deep
// as the text follows some word. Words hundreds of letters long over a small
// alphabet (DNA reads) make every walk long; the automaton does not care.
//
// A state is a node: the path read so far, cut to its longest suffix that is
// a path of the trie. A byte either leads to a child or falls back along
// that suffix chain until one does (or the root is reached). Every word that
// ends at a byte of the text is the state itself, when terminal, and the
// next_word chain from it. Over a small byte alphabet (DNA's four letters)
// each node also has its move on every byte in a table, so that a byte
// costs one load and no falling back.
//
// Built with the code point index, for tables whose words are deep (the mean
// string at least automaton_word_bytes long): a scan of ordinary words ends
// its walks in a probe or two, which costs less than a transition a byte.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

#include "lookup.hpp"

namespace velarin {

// The mean string length, in bytes, from which a table gets an automaton.
constexpr size_t automaton_word_bytes = 48;

// Builds store.index.automaton for a table whose index was just built, when
// its words are deep; leaves it empty otherwise, and without the memory for
// it (scans then walk as without one). `ok`, or `interrupted` when the pace
// says to stop.
Status build_automaton(TrieStore &store, Pace &pace);

// Frees the automaton, leaving it empty.
void drop_automaton(TrieStore &store);

namespace detail {

// Where a pass over a text stopped, so that the next window of the same
// text goes on from there instead of reading again what the last one read
// past its end (a path that began in it and went on, as the text follows a
// deep word): the state, and the best matches found so far at the
// positions read past that end.
struct AutomatonCarry {
    const void *units = nullptr;  // the text, or null: nothing carried
    size_t n = 0;
    uint64_t generation = 0;
    size_t from = 0;  // the first position whose matches are pending
    size_t next = 0;  // the next code point to read
    uint32_t state = 0;
    // pending[head + k] for position from + k, up to next: a window takes
    // its positions by moving the head, and the room is reused once the
    // head is past half of it.
    size_t head = 0;
    std::vector<Match> pending;
};

// out[k] for every k < count, as matches_at gives them (never cut): the
// state after each code point from `first` on, the words ending there
// taken for the positions they start at. The pass goes on past the window
// while the state's path still begins inside it, and stops soon after the
// first code point after which none does (a state's path begins no earlier
// than the last one's, so only every stop_check-th code point asks, which
// spares the others a load); the carry keeps what it read past the window
// for the next call (without the memory for that, the next call starts
// afresh). With Moves, each byte is one move of the table (which
// must be there). False when the pace says to stop.
// Not inlined into the callers that flatten the walks: those stay as small
// as they were without it.
template <bool Wide, bool Moves, typename CodePoint>
__attribute__((noinline)) bool automaton_matches(const TrieStore &store, const CodePoint *units, size_t n, size_t first, size_t count,
                       Match *out, AutomatonCarry &carry, Pace &pace) {
    const Automaton &automaton = store.index.automaton;
    const Match none = is_terminal(store.nodes[0]) ? Match{0, 0} : Match{};
    for (size_t k = 0; k < count; ++k) out[k] = none;
    const size_t end = first + count;
    if (carry.units == units && carry.n == n && carry.generation == store.generation && carry.from <= first &&
        first <= carry.next) {
        const size_t taken = std::min(carry.next, end);
        for (size_t p = first; p < taken; ++p) {
            const Match &m = carry.pending[carry.head + p - carry.from];
            if (m.length > out[p - first].length) out[p - first] = m;
        }
        // What is left covers positions from `end` on.
        carry.head += taken - carry.from;
        if (2 * carry.head >= carry.pending.size()) {
            carry.pending.erase(carry.pending.begin(), carry.pending.begin() + long(carry.head));
            carry.head = 0;
        }
    } else {
        carry.units = units, carry.n = n, carry.generation = store.generation;
        carry.next = first, carry.state = 0, carry.head = 0;
        carry.pending.clear();
    }
    carry.from = end;
    bool carried = true;  // the carry holds every position read past the window
    uint32_t state = carry.state;
    // With Moves, the state's row; the state itself is worked out only where
    // it is read, at a stop check or where words end.
    uint32_t row = Moves ? state * automaton.columns : 0;
    // Kept apart from the store: the matches written below might, for all
    // the compiler knows, change it, and each byte would load them again.
    const uint32_t *const moves = automaton.moves;
    const uint8_t *const column_of = automaton.column_of;
    const uint32_t columns = automaton.columns;
    size_t i = carry.next;
    unsigned char form[4];
    constexpr size_t stop_check = 64;
    for (; i < n; ++i) {
        // Whether the state's path begins past the window (it never begins
        // earlier than the last state's did).
        if (i >= end && i % stop_check == 0) {
            if constexpr (Moves) state = row / columns;
            if (i - automaton.nodes[state].code_points >= end) break;
        }
        const unsigned width = encode_code_point(units[i], form);
        bool ends = true;  // whether words may end here
        if constexpr (Moves) {
            uint32_t move = 0;
            for (unsigned j = 0; j < width; ++j) {
                const uint8_t column = column_of[form[j]];
                move = column != no_column ? moves[row + column] : 0;
                row = move & ~(uint32_t(1) << 31);
            }
            ends = move >> 31 != 0;
            if (ends) state = row / columns;
        } else {
            for (unsigned j = 0; j < width; ++j) {
                for (;;) {
                    Cursor<Wide> cursor{store, state};
                    if (cursor.step(form[j])) {
                        state = cursor.index;
                        break;
                    }
                    if (state == 0) break;
                    state = automaton.nodes[state].fallback;
                }
            }
        }
        if (i >= end && carried) {
            try {
                carry.pending.push_back(none);
            } catch (const std::bad_alloc &) {
                carried = false;
            }
        }
        // The words that end with this code point, each at the position it
        // starts at; a word whose bytes begin inside a code point is none.
        for (uint32_t t = !ends ? 0 : is_terminal(store.nodes[state]) ? state : automaton.nodes[state].next_word; t != 0;
             t = automaton.nodes[t].next_word) {
            if (is_continuation_byte(static_cast<unsigned char>(store.nodes[t].word[0]))) continue;
            const AutomatonNode &word = automaton.nodes[t];
            const size_t p = i + 1 - word.code_points;
            if (p < first || (p >= end && !carried)) continue;
            Match &best = p < end ? out[p - first] : carry.pending[carry.head + p - end];
            if (word.depth > best.length) best = Match{int32_t(t), word.depth, word.code_points};
        }
        if (!pace.go_on(1)) {
            carry.units = nullptr;
            return false;
        }
    }
    if constexpr (Moves) state = row / columns;
    carry.next = i, carry.state = state;
    if (!carried) carry.units = nullptr;
    return true;
}

}  // namespace detail
}  // namespace velarin
