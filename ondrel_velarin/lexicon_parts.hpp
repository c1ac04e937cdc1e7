// What the files of ondrel_velarin.lexicon_c share beyond lexicon.hpp: the
// pieces of the class that one file defines and the module's setup puts
// together. Files of other features need only lexicon.hpp.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "lexicon.hpp"

namespace velarin {

// The Velarin type of ondrel_velarin.impl_c, whose objects a lexicon builds
// and reads (set by the module's exec step).
extern PyTypeObject *velarin_type;

// The class's slots: construction (lexicon_build.cpp), and the mapping
// protocol with iteration (lexicon_query.cpp).
PyObject *lexicon_new(PyTypeObject *type, PyObject *args, PyObject *kwds);
Py_ssize_t lexicon_length(PyObject *self);
int lexicon_contains(PyObject *self, PyObject *key);
PyObject *lexicon_subscript(PyObject *self, PyObject *key);
PyObject *lexicon_iter(PyObject *self);

// The iterator type of lexicon_iter; ready it before use. 0, or -1 with an
// exception set.
int prepare_lexicon_iterator();

// Adds the conversion chains' type and functions to the module
// (replace.cpp); 0, or -1 with an exception set.
int add_conversion_chain(PyObject *module);

// Adds the WordPiece tokenizer's types (wordpiece.cpp) to the module; 0, or
// -1 with an exception set.
int add_wordpiece_types(PyObject *module);

// A str argument's code units as the interpreter stores them, from `start`
// on (as text[start:] gives them, without the copy).
struct Units {
    const void *data;
    int kind;
    size_t length;
};

// `key` as Units from `start` (negative counts from the end, as a slice's
// start does); false with TypeError naming `function` when it is not a str.
bool units_of(PyObject *key, Py_ssize_t start, const char *function, Units *units);

// Calls f with a Units' code units as a typed pointer (and returns its result).
template <typename F>
inline auto with_units(const Units &units, F &&f) {
    return with_code_units(units.kind, units.data, std::forward<F>(f));
}

}  // namespace velarin
