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
// next_word chain from it.
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

// The code points of a word's bytes.
inline size_t code_points_of(const char *word, size_t bytes) {
    size_t count = 0;
    for (size_t i = 0; i < bytes; ++i) count += !is_continuation_byte(static_cast<unsigned char>(word[i]));
    return count;
}

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
    size_t read = 0;              // bytes read since the pass began
    std::vector<Match> pending;   // for positions from..next
    std::vector<size_t> ends;     // `read` after each code point from..next
};

// out[k] for every k < count, as matches_at gives them (never cut): the
// state after each code point from `first` on, the words ending there
// taken for the positions they start at. The pass goes on past the window
// while the state's path still begins inside it, and stops at the first
// code point after which none does; the carry keeps what it read past the
// window for the next call (without the memory for that, the next call
// starts afresh). False when the pace says to stop.
// Not inlined into the callers that flatten the walks: those stay as small
// as they were without it.
template <bool Wide, typename CodePoint>
__attribute__((noinline)) bool automaton_matches(const TrieStore &store, const CodePoint *units, size_t n, size_t first, size_t count,
                       Match *out, AutomatonCarry &carry, Pace &pace) {
    const Automaton &automaton = store.index.automaton;
    const Match none = is_terminal(store.nodes[0]) ? Match{0, 0} : Match{};
    for (size_t k = 0; k < count; ++k) out[k] = none;
    const size_t end = first + count;
    size_t window_bytes = SIZE_MAX;  // `read` once the window's last code point is read
    if (carry.units == units && carry.n == n && carry.generation == store.generation && carry.from <= first &&
        first <= carry.next) {
        for (size_t p = first; p < std::min(carry.next, end); ++p) {
            const Match &m = carry.pending[p - carry.from];
            if (m.length > out[p - first].length) out[p - first] = m;
        }
        if (end <= carry.next) window_bytes = carry.ends[end - 1 - carry.from];
        // What is left covers positions from `end` on.
        const long done = long(std::min(carry.next, end) - carry.from);
        carry.pending.erase(carry.pending.begin(), carry.pending.begin() + done);
        carry.ends.erase(carry.ends.begin(), carry.ends.begin() + done);
    } else {
        carry.units = units, carry.n = n, carry.generation = store.generation;
        carry.next = first, carry.state = 0, carry.read = 0;
        carry.pending.clear(), carry.ends.clear();
    }
    carry.from = end;
    bool carried = true;  // the carry holds every position read past the window
    uint32_t state = carry.state;
    size_t read = carry.read, i = carry.next;
    unsigned char form[4];
    for (; i < n && !(window_bytes != SIZE_MAX && read - automaton.nodes[state].depth >= window_bytes); ++i) {
        const unsigned width = encode_code_point(units[i], form);
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
        read += width;
        if (i >= end && carried) {
            try {
                carry.pending.push_back(none);
                carry.ends.push_back(read);
            } catch (const std::bad_alloc &) {
                carried = false;
            }
        }
        // The words that end with this code point, each at the position it
        // starts at; a word whose bytes begin inside a code point is none.
        for (uint32_t t = is_terminal(store.nodes[state]) ? state : automaton.nodes[state].next_word; t != 0;
             t = automaton.nodes[t].next_word) {
            const char *word = store.nodes[t].word;
            const size_t bytes = automaton.nodes[t].depth;
            if (is_continuation_byte(static_cast<unsigned char>(word[0]))) continue;
            const size_t characters = code_points_of(word, bytes), p = i + 1 - characters;
            if (p < first || (p >= end && !carried)) continue;
            Match &best = p < end ? out[p - first] : carry.pending[p - end];
            if (bytes > best.length) best = Match{int32_t(t), uint32_t(bytes), uint32_t(characters)};
        }
        if (i + 1 == end) window_bytes = read;
        if (!pace.go_on(1)) {
            carry.units = nullptr;
            return false;
        }
    }
    carry.next = i, carry.state = state, carry.read = read;
    if (!carried) carry.units = nullptr;
    return true;
}

}  // namespace detail
}  // namespace velarin
