// Putting a lexicon together from its words in byte order, each once, with
// their values and tags: whether they come from Python objects
// (lexicon_build.cpp) or from a lexicon file (lexicon_file.cpp).
//
// The words are copied, in that order, into a strings block of their own,
// laid out as a Velarin through its native method table, and then visited in
// byte order, the order of ids, to place each word's id, value and tag by its
// terminal node's rank.
//
// A Source gives, for k below size(): word(k) and length(k), in byte order;
// kind(), the ValueKind of all its values; place_value(k, values, rank),
// which writes word k's value at `rank` of an array of that kind (for
// objects, a reference the source holds; false with an exception set when it
// cannot); release_values(), called once the lexicon holds those
// references; tag_count(), tag_names() (a new tuple, or null with an
// exception set) and tag(k), 0 for none or 1 + the tag's place there.
#pragma once

#include <Python.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "lexicon_parts.hpp"
#include "trie/below.hpp"

namespace velarin {
namespace maker {

// A zeroed array of `count` entries of `width` bytes from malloc, or null
// with MemoryError set.
inline void *zeroed(size_t count, size_t width) {
    void *array = std::calloc(count == 0 ? 1 : count, width);
    if (array == nullptr) PyErr_NoMemory();
    return array;
}

using Owned = std::unique_ptr<void, decltype(&std::free)>;

// A new Velarin holding the source's words, in its order, as its strings (so
// bytes_strings[k] is word k), laid out, with the record word k ends at in
// terminal_nodes[k]; null with an exception set.
template <typename Source>
PyObject *lay_out(const Source &source, uint32_t *terminal_nodes) {
    OwnedRef none = OwnedRef::steal(PyTuple_New(0));
    OwnedRef made = OwnedRef::steal(none ? PyObject_CallOneArg(reinterpret_cast<PyObject *>(velarin_type), none.borrow()) : nullptr);
    if (!made) return nullptr;
    const size_t count = source.size();
    if (count == 0) return made.release();
    Owned strings(zeroed(count, sizeof(unsigned char *)), std::free);
    Owned lengths(zeroed(count, sizeof(int32_t)), std::free);
    if (!strings || !lengths) return nullptr;
    // One block in byte order: the layout reads it from start to end, which
    // makes it markedly faster than reading the words where they came.
    size_t bytes = 0;
    for (size_t k = 0; k < count; ++k) bytes += word_entry_bytes(size_t(source.length(k)));
    auto *block = static_cast<unsigned char *>(PyMem_Malloc(bytes));
    if (block == nullptr) {
        PyErr_SetString(PyExc_MemoryError, "Failed to allocate memory for bytes_strings[i].");
        return nullptr;
    }
    auto *pointers = static_cast<unsigned char **>(strings.get());
    auto *sizes = static_cast<int32_t *>(lengths.get());
    bool present[256] = {};
    unsigned char *at = block;
    for (size_t k = 0; k < count; ++k) {
        const int32_t length = source.length(k);
        unsigned char *copy = start_word_entry(at, uint32_t(length));
        std::memcpy(copy, source.word(k), size_t(length));
        copy[length] = 0;
        for (int32_t j = 0; j < length; ++j) present[copy[j]] = true;
        pointers[k] = copy;
        sizes[k] = length;
        at = copy + length + 1;
    }
    // The trie owns the strings from here, and frees them with itself.
    auto *trie = reinterpret_cast<VelarinObject *>(made.borrow());
    TrieStore &to = trie->store;
    to.bytes_strings = static_cast<unsigned char **>(strings.release());
    to.bytes_lengths = static_cast<int32_t *>(lengths.release());
    to.num_strings = int32_t(count);
    to.strings_block = block;
    to.strings_bytes = bytes;
    assign_alphabet(to, present);
    // A trie no one else holds yet: laid out by the engine itself, which
    // notes where each word ends.
    Status status = build_root(to);
    WorkMeter meter = signal_meter();
    if (status == Status::ok)
        status = build_node(to, 0, to.bytes_strings, to.bytes_lengths, to.num_strings, 0, &meter, terminal_nodes);
    if (status != Status::ok) {
        raise_status(status);
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "the lexicon's trie changed while it was laid out");
        return nullptr;
    }
    if (!ensure_word_cache(trie)) {
        PyErr_SetString(PyExc_MemoryError, "Failed to allocate memory for the word ranks.");
        return nullptr;
    }
    return made.release();
}

inline void place_tag(int width, void *tags, size_t rank, uint32_t number) {
    if (width == 1) static_cast<uint8_t *>(tags)[rank] = uint8_t(number);
    else if (width == 2) static_cast<uint16_t *>(tags)[rank] = uint16_t(number);
    else static_cast<uint32_t *>(tags)[rank] = number;
}

inline size_t value_width(ValueKind kind) {
    return kind == ValueKind::int32 ? 4 : kind == ValueKind::int64 ? 8 : sizeof(PyObject *);
}

}  // namespace maker

// A value given as an object, at `rank` of an array of kind `kind`: an int
// kind holds the int itself (the object is one that fits), the object kind a
// borrowed reference.
inline void place_object_value(ValueKind kind, PyObject *value, void *values, size_t rank) {
    if (kind == ValueKind::int32) static_cast<int32_t *>(values)[rank] = int32_t(PyLong_AsLongLong(value));
    else if (kind == ValueKind::int64) static_cast<int64_t *>(values)[rank] = PyLong_AsLongLong(value);
    else if (kind == ValueKind::object) static_cast<PyObject **>(values)[rank] = value;
}

// The lexicon of the source's words, an instance of `type` (the lexicon type
// or a subclass); null with an exception set.
template <typename Source>
PyObject *make_lexicon(PyTypeObject *type, Source &source) {
    using maker::Owned;
    const size_t count = source.size();
    // Where each word ends; a word the layout did not end keeps UINT32_MAX.
    Owned ends(std::malloc(std::max<size_t>(count, 1) * sizeof(uint32_t)), std::free);
    if (!ends) return PyErr_NoMemory();
    auto *terminal_nodes = static_cast<uint32_t *>(ends.get());
    std::memset(terminal_nodes, 0xFF, count * sizeof(uint32_t));
    OwnedRef trie = OwnedRef::steal(maker::lay_out(source, terminal_nodes));
    if (!trie) return nullptr;
    auto *velarin = reinterpret_cast<VelarinObject *>(trie.borrow());
    const ValueKind kind = source.kind();
    const size_t tags = source.tag_count();
    const int tag_width = tags == 0 ? 0 : tags <= 0xFF ? 1 : tags <= 0xFFFF ? 2 : 4;
    Owned ids(maker::zeroed(count, sizeof(uint32_t)), std::free);
    Owned values(kind == ValueKind::none ? nullptr : maker::zeroed(count, maker::value_width(kind)), std::free);
    Owned tag_of(tag_width == 0 ? nullptr : maker::zeroed(count, size_t(tag_width)), std::free);
    if (!ids || (kind != ValueKind::none && !values) || (tag_width != 0 && !tag_of)) return nullptr;
    OwnedRef tag_names;
    if (tag_width != 0 && !(tag_names = OwnedRef::steal(source.tag_names()))) return nullptr;
    // The words in byte order are the words in the order of their ids: word
    // k has id k, and its rank is that of the record the layout ended it at.
    size_t id = 0;
    for (; id < count; ++id) {
        // Only a record made terminal is written there: no need to read it.
        const uint32_t node = terminal_nodes[id];
        if (node >= uint32_t(velarin->store.num_nodes)) break;
        const size_t rank = terminal_slot(velarin->word_ranks, node);
        static_cast<uint32_t *>(ids.get())[rank] = uint32_t(id);
        if (!source.place_value(id, values.get(), rank)) return nullptr;
        if (tag_width != 0) maker::place_tag(tag_width, tag_of.get(), rank, source.tag(id));
    }
    if (id != count || velarin->num_word_objects != count) {
        PyErr_SetString(PyExc_RuntimeError, "the trie laid out does not hold each word once");
        return nullptr;
    }
    PyObject *made = type->tp_alloc(type, 0);
    if (made == nullptr) return nullptr;
    auto *lex = reinterpret_cast<LexiconObject *>(made);
    lex->generation = velarin->store.generation;
    lex->trie = reinterpret_cast<VelarinObject *>(trie.release());
    lex->num_words = Py_ssize_t(count);
    lex->rank_to_id = static_cast<uint32_t *>(ids.release());
    lex->value_kind = kind;
    lex->values = values.release();
    lex->tag_width = tag_width;
    lex->tags = tag_of.release();
    lex->tag_names = tag_names.release();
    if (kind == ValueKind::object) source.release_values();
    return made;
}

}  // namespace velarin
