// The cache of decoded words, one str per word, and the decoding of a word
// into a str. Both native modules of the package fill the cache, so a word
// matched by either is decoded once.
#include <Python.h>

#include <algorithm>
#include <cstring>

#include "surface.hpp"

namespace velarin {

namespace {

// Makes the cache's blocks: the ranks of the terminal nodes, then a slot per
// terminal node. Without room for them every match is decoded afresh.
void make_word_cache(VelarinObject *self) {
    const TrieStore &store = self->store;
    TableBlock ranks = allocate_table((size_t(store.num_nodes) + 63) / 64 * sizeof(TerminalRun), false);
    if (ranks.data == nullptr) return;
    auto *runs = static_cast<TerminalRun *>(ranks.data);
    const size_t words = rank_terminals(store, runs);
    TableBlock slots = allocate_table(std::max<size_t>(words, 1) * sizeof(PyObject *), false);
    if (slots.data == nullptr) {
        free_table(ranks);
        return;
    }
    self->word_rank_table = ranks;
    self->word_table = slots;
    self->word_ranks = runs;
    self->word_objects = static_cast<PyObject **>(slots.data);
    self->num_word_objects = words;
    self->store.terminal_runs = runs;
    // Walks without the lock may be reading the store (unlocked.hpp).
    __atomic_store_n(&self->store.match_slots, reinterpret_cast<const void *const *>(self->word_objects), __ATOMIC_RELEASE);
}

// A compact str's size, as sys.getsizeof gives it.
size_t str_bytes(PyObject *word) {
    const size_t header = PyUnicode_IS_ASCII(word) ? sizeof(PyASCIIObject) : sizeof(PyCompactUnicodeObject);
    return header + (size_t(PyUnicode_GET_LENGTH(word)) + 1) * size_t(PyUnicode_KIND(word));
}

}  // namespace

bool ensure_word_cache(VelarinObject *self) {
    // Not while a layout is in progress: ranks of a table being filled in
    // would not be those of the finished one.
    if (self->word_objects == nullptr && self->store.num_nodes > 0 && self->store.layouts == 0) make_word_cache(self);
    return self->word_objects != nullptr || self->store.num_nodes == 0;
}

PyObject *word_str(const char *bytes, size_t length) {
    const auto *s = reinterpret_cast<const unsigned char *>(bytes);
    // The interpreter's own one-character strs, as its decoder gives.
    if (length == 1 && s[0] < 0x80) return PyUnicode_FromOrdinal(s[0]);
    if (is_ascii(s, length)) {
        PyObject *str = PyUnicode_New(Py_ssize_t(length), 0x7F);
        if (str != nullptr) std::memcpy(PyUnicode_1BYTE_DATA(str), s, length);
        return str;
    }
    size_t count;
    uint32_t largest;
    if (!utf8_code_points(s, length, &count, &largest)) return PyUnicode_DecodeUTF8(bytes, Py_ssize_t(length), nullptr);
    if (count == 1) return PyUnicode_FromOrdinal(int(largest));
    PyObject *str = PyUnicode_New(Py_ssize_t(count), Py_UCS4(largest));
    if (str == nullptr) return nullptr;
    switch (PyUnicode_KIND(str)) {
    case PyUnicode_1BYTE_KIND:
        utf8_decode(s, length, PyUnicode_1BYTE_DATA(str));
        break;
    case PyUnicode_2BYTE_KIND:
        utf8_decode(s, length, PyUnicode_2BYTE_DATA(str));
        break;
    default:
        utf8_decode(s, length, PyUnicode_4BYTE_DATA(str));
    }
    return str;
}

PyObject *make_word_object(VelarinObject *self, int64_t node, size_t length) {
    ensure_word_cache(self);
    if (PyObject *made = cached_word(self, node)) return Py_NewRef(made);
    PyObject *word = word_str(self->store.nodes[node].word, length);
    // Scans without the lock read the slots (scan_c's find_objects).
    if (word != nullptr && self->word_objects != nullptr)
        __atomic_store_n(self->word_objects + terminal_slot(self->word_ranks, uint32_t(node)), Py_NewRef(word), __ATOMIC_RELEASE);
    return word;
}

void release_word_objects(VelarinObject *self) {
    if (self->word_rank_table.data == nullptr) return;
    // Scans hold slots of it: they must see that it went.
    ++self->store.generation;
    PyObject **objects = self->word_objects;
    const size_t count = self->num_word_objects;
    TableBlock ranks = self->word_rank_table, slots = self->word_table;
    self->word_rank_table = self->word_table = TableBlock{};
    self->word_ranks = nullptr;
    self->word_objects = nullptr;
    self->num_word_objects = 0;
    self->store.terminal_runs = nullptr;
    self->store.match_slots = nullptr;
    for (size_t i = 0; objects != nullptr && i < count; ++i) Py_XDECREF(objects[i]);
    free_table(slots);
    free_table(ranks);
}

size_t object_bytes(const VelarinObject *self) {
    size_t bytes = sizeof(VelarinObject) + bytes_held(self->store) + self->word_rank_table.bytes + self->word_table.bytes;
    for (size_t i = 0; i < self->num_word_objects; ++i)
        if (PyObject *word = self->word_objects[i]) bytes += str_bytes(word);
    return bytes;
}

}  // namespace velarin
