// What the whole-text calls of the package's modules share for handing out
// segments (scan_c's segment, the lexicon's segmentation by frequency).
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace velarin {

// Single characters that matched nothing, made once per call: texts repeat
// their spaces, punctuation and rule lines. Each is a str of its own, never
// one of the interpreter's shared immortal ones, so that handing out any
// segment takes the same path through the reference count.
class SingleCharacters {
public:
    SingleCharacters() = default;
    SingleCharacters(const SingleCharacters &) = delete;
    SingleCharacters &operator=(const SingleCharacters &) = delete;
    ~SingleCharacters() {
        for (size_t w = 0; w < used_words; ++w)
            for (uint64_t bits = used_[w]; bits != 0; bits &= bits - 1)
                Py_DECREF(entries_[w * 64 + size_t(__builtin_ctzll(bits))].object);
    }

    // The str of code point c when made already, borrowed, or NULL.
    PyObject *find(uint32_t c) const {
        const size_t slot = slot_of(c);
        return is_used(slot) && entries_[slot].code_point == c ? entries_[slot].object : nullptr;
    }

    // A new reference to the str of code point c, or NULL with an exception set.
    PyObject *make(uint32_t c) {
        PyObject *made = PyUnicode_New(1, Py_UCS4(c));
        if (made == nullptr) return nullptr;
        PyUnicode_WRITE(PyUnicode_KIND(made), PyUnicode_DATA(made), 0, Py_UCS4(c));
        const size_t slot = slot_of(c);
        Entry &entry = entries_[slot];
        if (is_used(slot)) Py_DECREF(entry.object);
        used_[slot / 64] |= uint64_t(1) << (slot % 64);
        entry = Entry{c, Py_NewRef(made)};
        return made;
    }

private:
    // Only the small bitmap of used slots is cleared when a call starts: a
    // call on a short line then costs no pass over every slot.
    struct Entry {
        uint32_t code_point;
        PyObject *object;  // strong
    };
    static constexpr int size_bits = 11;
    static constexpr size_t used_words = (size_t(1) << size_bits) / 64;
    static size_t slot_of(uint32_t c) { return (c * 0x9E3779B1u) >> (32 - size_bits); }
    bool is_used(size_t slot) const { return (used_[slot / 64] >> (slot % 64) & 1) != 0; }
    uint64_t used_[used_words] = {};
    Entry entries_[size_t(1) << size_bits];  // by a hash of the code point
};

}  // namespace velarin
