// The cache of decoded words, one str per node. Both native modules of the
// package fill it, so a word matched by either is decoded once.
#include <Python.h>

#include "surface.hpp"

namespace velarin {

PyObject *make_word_object(VelarinObject *self, int64_t node, size_t length) {
    if (self->word_objects == nullptr && self->store.num_nodes > 0) {
        // Without room for the cache every match is decoded afresh.
        self->word_table = allocate_table(size_t(self->store.num_nodes) * sizeof(PyObject *));
        self->word_objects = static_cast<PyObject **>(self->word_table.data);
        self->num_word_objects = self->word_objects ? self->store.num_nodes : 0;
        self->store.match_slots = reinterpret_cast<const void *const *>(self->word_objects);
    }
    if (PyObject *made = cached_word(self, node)) return Py_NewRef(made);
    PyObject *word = PyUnicode_DecodeUTF8(self->store.nodes[node].word, Py_ssize_t(length), nullptr);
    if (word != nullptr && node < self->num_word_objects) self->word_objects[node] = Py_NewRef(word);
    return word;
}

void release_word_objects(VelarinObject *self) {
    PyObject **objects = self->word_objects;
    const int32_t count = self->num_word_objects;
    TableBlock table = self->word_table;
    self->word_table = TableBlock{};
    self->word_objects = nullptr;
    self->num_word_objects = 0;
    self->store.match_slots = nullptr;
    for (int32_t i = 0; objects != nullptr && i < count; ++i) Py_XDECREF(objects[i]);
    free_table(table);
}

}  // namespace velarin
