// What the whole-text calls of the package's modules share for handing out
// segments (scan_c's segment, the lexicon's segmentation by frequency).
#pragma once

#include <Python.h>

#include <algorithm>
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


// The segments made so far, each a strong reference, in a block that grows
// by doubling: filling it costs a store per segment, and the list is made at
// the end with exactly their number. The first block has room for `most`
// segments (up to first_block_limit), so that a text of up to that many
// characters costs one allocation and no copy; what it leaves unused is
// given back at the end, never having been touched.
class SegmentBuffer {
public:
    explicit SegmentBuffer(size_t most) : most_(most) {}
    SegmentBuffer(const SegmentBuffer &) = delete;
    SegmentBuffer &operator=(const SegmentBuffer &) = delete;
    ~SegmentBuffer() {
        for (size_t i = 0; i < size_; ++i) Py_DECREF(items_[i]);
        PyMem_Free(items_);
    }

    // Makes room for `more` segments past those made; false with MemoryError set.
    bool reserve(size_t more) {
        while (capacity_ - size_ < more)
            if (!grow()) return false;
        return true;
    }

    // Takes over `item`, a new reference, into room reserved for it.
    void push(PyObject *item) { items_[size_++] = item; }

    // Takes over the first `count` items of the room, each a new reference
    // by now.
    void take(size_t count) { size_ += count; }

    // The reserved room past the segments made, which a caller may fill with
    // borrowed pointers ahead of pushing (without the interpreter lock, say):
    // room()[k] is what the k-th next push overwrites, and nothing there is
    // owned until pushed or taken.
    PyObject **room() { return items_ + size_; }

    // A new list holding the segments, which it takes over with the block
    // itself (a list's item block is PyMem memory it frees on its own); NULL
    // with an exception set.
    PyObject *take_list() {
        PyObject *list = PyList_New(0);
        if (list == nullptr) return nullptr;
        if (size_ < capacity_) {
            // A block that cannot shrink stays as it is, all of it the list's.
            auto *items = static_cast<PyObject **>(PyMem_Realloc(items_, std::max<size_t>(size_, 1) * sizeof(PyObject *)));
            if (items != nullptr) items_ = items, capacity_ = std::max<size_t>(size_, 1);
        }
        auto *as_list = reinterpret_cast<PyListObject *>(list);
        as_list->ob_item = items_;
        as_list->allocated = Py_ssize_t(capacity_);
        Py_SET_SIZE(as_list, Py_ssize_t(size_));
        items_ = nullptr;
        size_ = capacity_ = 0;
        return list;
    }

private:
    bool grow() {
        const size_t capacity = capacity_ == 0 ? std::clamp<size_t>(most_, 1, first_block_limit) : 2 * capacity_;
        auto *items = static_cast<PyObject **>(PyMem_Realloc(items_, capacity * sizeof(PyObject *)));
        if (items == nullptr) {
            PyErr_NoMemory();
            return false;
        }
        items_ = items;
        capacity_ = capacity;
        return true;
    }

    static constexpr size_t first_block_limit = size_t(1) << 22;
    PyObject **items_ = nullptr;
    size_t size_ = 0, capacity_ = 0, most_;
};

}  // namespace velarin
