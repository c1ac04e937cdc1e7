// Copying strs into a store's strings block as UTF-8, without a bytes object
// per string: the Velarin's construction and the lexicon's share it.
#pragma once

#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "refs.hpp"
#include "surface.hpp"

namespace velarin {

// The copies of the strings, one after another in one block of the
// interpreter's allocator, each as a word entry (its length, its bytes, a 0
// byte) so that the nodes' words can be these copies. The block grows as
// they come (interpreter code runs between them, so their total is not known
// ahead); the pointers are set once it has stopped moving.
class StringCopies {
public:
    explicit StringCopies(TrieStore &local) : local_(local) {}

    // Room for a copy of `length` bytes, after its length; null with
    // MemoryError set.
    unsigned char *room(size_t length) {
        const size_t entry = word_entry_bytes(length);
        if (local_.strings_block == nullptr || capacity_ - local_.strings_bytes < entry) {
            size_t grown = std::max<size_t>(2 * capacity_, 4096);
            while (grown - local_.strings_bytes < entry) grown *= 2;
            auto *data = static_cast<unsigned char *>(PyMem_Realloc(local_.strings_block, grown));
            if (data == nullptr) {
                PyErr_SetString(PyExc_MemoryError, "Failed to allocate memory for bytes_strings[i].");
                return nullptr;
            }
            local_.strings_block = data;
            capacity_ = grown;
        }
        copy_ = start_word_entry(local_.strings_block + local_.strings_bytes, uint32_t(length));
        return copy_;
    }

    // The copy room() last made room for.
    const unsigned char *copy() const { return copy_; }

    // Ends that copy, `length` bytes long.
    void add(size_t length) {
        copy_[length] = 0;
        local_.strings_bytes += word_entry_bytes(length);
        ++copied_;
    }

    // Gives the block back its spare room and points every entry copied at
    // its copy; the others stay null.
    void finish() {
        if (capacity_ > local_.strings_bytes) {
            auto *data = static_cast<unsigned char *>(PyMem_Realloc(local_.strings_block, std::max<size_t>(local_.strings_bytes, 1)));
            if (data != nullptr) local_.strings_block = data;
        }
        size_t at = 0;
        for (int32_t i = 0; i < copied_; ++i) {
            const size_t length = size_t(local_.bytes_lengths[i]);
            local_.bytes_strings[i] = local_.strings_block + at + (word_entry_bytes(length) - length - 1);
            at += word_entry_bytes(length);
        }
    }

private:
    TrieStore &local_;
    size_t capacity_ = 0;
    int32_t copied_ = 0;  // entries copied, from the first on
    unsigned char *copy_ = nullptr;
};

// The length check every copy makes: the store's lengths are 32-bit.
inline int check_length(Py_ssize_t i, size_t length) {
    if (length <= INT32_MAX) return 0;
    PyErr_Format(PyExc_OverflowError, "string %zd is %zu bytes long in UTF-8; at most 2147483647 are supported", i,
                 length);
    return -1;
}

// Copies one exact str's UTF-8 form, without making a bytes object. Returns
// its length, or -1 with an exception set (the interpreter's own
// UnicodeEncodeError for a lone surrogate).
template <typename CodePoint>
inline Py_ssize_t encode_units(PyObject *text, Py_ssize_t i, const CodePoint *units, size_t n, StringCopies &copies) {
    if (has_surrogate(units, n) && raise_encode_error(text) < 0) return -1;
    const size_t length = utf8_length(units, n);
    if (check_length(i, length) < 0) return -1;
    unsigned char *at = copies.room(length);
    if (at == nullptr) return -1;
    utf8_encode(units, n, at);
    return Py_ssize_t(length);
}

inline Py_ssize_t encode_str(PyObject *text, Py_ssize_t i, StringCopies &copies) {
    const size_t n = size_t(PyUnicode_GET_LENGTH(text));
    const void *data = PyUnicode_DATA(text);
    if (PyUnicode_IS_ASCII(text)) {
        if (check_length(i, n) < 0) return -1;
        unsigned char *at = copies.room(n);
        if (at == nullptr) return -1;
        std::memcpy(at, data, n);
        return Py_ssize_t(n);
    }
    switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND:
        return encode_units(text, i, static_cast<const Py_UCS1 *>(data), n, copies);
    case PyUnicode_2BYTE_KIND:
        return encode_units(text, i, static_cast<const Py_UCS2 *>(data), n, copies);
    default:
        return encode_units(text, i, static_cast<const Py_UCS4 *>(data), n, copies);
    }
}

}  // namespace velarin
