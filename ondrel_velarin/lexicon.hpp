// The native lexicon, as every file compiled into ondrel_velarin.lexicon_c
// sees it: the object's layout, the argument check, and what a terminal
// node of its trie stands for (the word's id, its value, its str).
//
// A lexicon is an immutable mapping from words to values over one Velarin,
// its `trie`, built from the words sorted in byte order (code point order)
// with each word once. So:
//
// - word id i (0 <= i < num_words) is trie->store.bytes_strings[i], of
//   bytes_lengths[i] bytes, and ids follow code point order;
// - a word's terminal node has a rank among the terminal nodes (the slot the
//   trie's word cache uses), which indexes the lexicon's per-word arrays:
//   its value, its tag and its id;
// - walking is the engine's business, on any code point buffer (a str's data
//   or one of the caller's own): closest_prefix_code_points (trie/lookup.hpp),
//   each_prefix (trie/prefixes.hpp), matches_at (trie/scan.hpp),
//   path_node (trie/below.hpp), on lexicon_store(lex).
//
// Using one from a method of another file:
//
//     PyObject *f(PyObject *self, PyObject *arg) {
//         LexiconObject *lex = lexicon_argument(self, "f", 0);
//         if (lex == nullptr || lexicon_index(lex) < 0 || !lexicon_current(lex)) return nullptr;
//         ... Match m = closest_prefix_code_points(lexicon_store(lex), units, n);
//         ... m.node >= 0: word_id(lex, m.node), int_value(lex, m.node), ...
//     }
//
// The trie can be rebuilt from Python (lex.trie.__init__(...)), and then its
// nodes are no longer the lexicon's: lexicon_argument and lexicon_current
// refuse such a lexicon with RuntimeError. A call that runs interpreter code
// between walks (a signal handler, any Python call, an allocation of a
// tracked object, which may start the collector and its finalizers) asks
// lexicon_current again before it reads nodes it found earlier. Walk a whole
// text into native arrays and make the Python objects after (as
// lexicon_text.cpp does): the walk then needs no interpreter at all.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "surface.hpp"
#include "trie/trie.hpp"

namespace velarin {

// How a lexicon keeps its values, one per word by rank.
enum class ValueKind : int32_t {
    none,    // every value is None: no array
    int32,   // every value an exact int that fits 32 bits: int32_t
    int64,   // every value an exact int that fits 64 bits: int64_t
    object,  // anything else: a strong reference (PyObject *)
};

struct LexiconObject {
    PyObject_HEAD
    VelarinObject *trie;   // strong; null in an object that was never built
    uint64_t generation;   // trie->store.generation once built: the table is the lexicon's while it stays
    Py_ssize_t num_words;  // == trie->store.num_strings
    const uint32_t *rank_to_id;
    ValueKind value_kind;
    const void *values;    // by rank, as value_kind says; null for ValueKind::none
    // Tags (jieba's part of speech): tag_names is a tuple of the distinct
    // tags, and a word's entry in `tags` (tag_width bytes, by rank) is 0 for
    // none or 1 + its tag's place there. tag_width 0: no tags, tags null.
    int32_t tag_width;
    const void *tags;
    PyObject *tag_names;   // strong, or null
    // Null until the first question that answers a text with (word, value)
    // pairs; then a slot a word, by rank: the pair made the first time the
    // word was answered (strong), handed out again after, or null.
    PyObject **items;
};

// The lexicon type of this module (a static type; the package's Lexicon
// class is a Python subclass of it).
extern PyTypeObject LexiconType;

// `o` as a built, current lexicon (borrowed), or null with TypeError naming
// `function` and, when `position` >= 0, its argument number (from 1; 0 names
// the object itself: "descriptor 'f' needs a Lexicon"), or with RuntimeError
// from lexicon_current. Methods pass their self with position 0.
LexiconObject *lexicon_argument(PyObject *o, const char *function, int position);

// Whether the lexicon's trie still holds the table the lexicon was built on;
// false with RuntimeError set when it was rebuilt or released. Also remakes
// the trie's word ranks when something dropped them; false with MemoryError
// when that fails. word_rank() may be used until interpreter code runs.
bool lexicon_current(LexiconObject *lex);

// Builds the code point index of the lexicon's trie if it has none yet (its
// first walks otherwise go by bytes): 0, or -1 with the exception a signal
// handler raised meanwhile. Call it before walking a text; afterwards call
// lexicon_current again, as a handler may have rebuilt the trie.
int lexicon_index(LexiconObject *lex);

inline const TrieStore &lexicon_store(const LexiconObject *lex) { return lex->trie->store; }

// The rank of a terminal node among the terminal nodes: the index of its
// word's entries in the lexicon's arrays and in the trie's word cache.
inline uint32_t word_rank(const LexiconObject *lex, int32_t node) {
    return uint32_t(terminal_slot(lex->trie->word_ranks, uint32_t(node)));
}

// The id of a terminal node's word.
inline uint32_t word_id(const LexiconObject *lex, int32_t node) { return lex->rank_to_id[word_rank(lex, node)]; }

// Whether every value is an int kept natively: then int_value() gives it.
inline bool values_are_ints(const LexiconObject *lex) {
    return lex->value_kind == ValueKind::int32 || lex->value_kind == ValueKind::int64;
}

// The value of a terminal node's word, for a lexicon whose values_are_ints().
inline int64_t int_value(const LexiconObject *lex, int32_t node) {
    const uint32_t rank = word_rank(lex, node);
    return lex->value_kind == ValueKind::int32 ? static_cast<const int32_t *>(lex->values)[rank]
                                               : static_cast<const int64_t *>(lex->values)[rank];
}

// The value of a terminal node's word, borrowed, for a lexicon whose values
// are not ints (None for ValueKind::none).
inline PyObject *object_value(const LexiconObject *lex, int32_t node) {
    return lex->value_kind == ValueKind::none ? Py_None : static_cast<PyObject *const *>(lex->values)[word_rank(lex, node)];
}

// A new reference to the value of a terminal node's word, of any kind; null
// with MemoryError.
inline PyObject *value_object(const LexiconObject *lex, int32_t node) {
    return values_are_ints(lex) ? PyLong_FromLongLong(int_value(lex, node)) : Py_NewRef(object_value(lex, node));
}

// A new reference to the str of a terminal node's word, `length` bytes long
// (a Match's length): the trie's cached one; null with an exception set.
inline PyObject *word_object_of(LexiconObject *lex, int32_t node, uint32_t length) {
    return word_object(lex->trie, node, length);
}

// A new reference to the (word, value) pair of a terminal node's word,
// `length` bytes long (a Match's length): made once and kept in the
// lexicon's items, so a text's recurring words cost no new objects; made
// without keeping it when there is no memory for the items. Null with an
// exception set.
PyObject *item_object(LexiconObject *lex, int32_t node, uint32_t length);

// Methods that a file of the module adds to the lexicon class, in one line
// at namespace scope:
//
//     const LexiconMethods replace_methods(replace_method_defs);
//
// where replace_method_defs is a PyMethodDef array ending with a zeroed
// entry. The module's exec step puts every table so given into the class.
class LexiconMethods {
public:
    explicit LexiconMethods(PyMethodDef *defs);
    PyMethodDef *const defs;
    const LexiconMethods *next;
};

}  // namespace velarin
