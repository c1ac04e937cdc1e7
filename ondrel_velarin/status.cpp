// Engine failures as the interpreter's exceptions, for every native module
// that runs the engine's builds and walks.
#include <Python.h>

#include "surface.hpp"

namespace velarin {

// Maps an engine failure to its exception; the messages name the block that
// could not be had. An interrupted operation has its exception set already,
// or none when the table changed under it.
void raise_status(Status status) {
    const char *message = nullptr;
    switch (status) {
    case Status::ok:
    case Status::interrupted:
    case Status::unwritable_value:  // the replacement's caller names the value
        return;
    case Status::no_memory_nodes:
        message = "Failed to allocate memory for nodes.";
        break;
    case Status::no_memory_nodes_grow:
        message = "Failed to reallocate memory for nodes.";
        break;
    case Status::no_memory_word:
        message = "Failed to allocate memory for word.";
        break;
    case Status::no_memory_children_indices:
        message = "Failed to allocate memory for children_indices.";
        break;
    case Status::no_memory_working:
        message = "Failed to allocate memory for child_strings_array.";
        break;
    case Status::no_memory_char_index:
        message = "Failed to allocate memory for char_index.";
        break;
    case Status::no_memory_route:
        message = "Failed to allocate memory for the route.";
        break;
    case Status::no_memory_text:
        message = "Failed to allocate memory for the replaced text.";
        break;
    case Status::too_many_nodes:
        PyErr_SetString(PyExc_OverflowError, "the strings need more than 2147483647 trie nodes");
        return;
    }
    PyErr_SetString(PyExc_MemoryError, message);
}

}  // namespace velarin
