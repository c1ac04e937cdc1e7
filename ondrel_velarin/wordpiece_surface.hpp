// What the WordPiece types (wordpiece.cpp) need of the module they are
// added to, and what they offer it.
#pragma once

#include <Python.h>

#define WORDPIECE_MODULE "ondrel_velarin.wordpiece_c"

namespace velarin {

// The Velarin type the tries are, borrowed; set by the module's exec step.
PyTypeObject *velarin_type_object();

// Adds the types WordPiece and Encoding to the module; 0, or -1 with an
// exception set.
int add_wordpiece_types(PyObject *module);

}  // namespace velarin
