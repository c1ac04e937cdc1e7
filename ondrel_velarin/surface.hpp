// What the pieces of the Python surface share: the object layout, the native
// method table, and the helpers each file offers the others.
#pragma once

#include <Python.h>
#include <pthread.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "refs.hpp"
#include "trie/lookup.hpp"
#include "trie/trie.hpp"

namespace velarin {

struct VelarinObject;

// The native method table; its layout is what other native modules see
// through the class's capsule.
struct VelarinVTable {
    void (*_cleanup)(VelarinObject *self);
    void (*_build_trie)(VelarinObject *self);
    void (*_build_node)(VelarinObject *self, int32_t node_index, unsigned char **strings, int32_t *lengths,
                        int32_t num_strings, int32_t position);
    PyObject *(*get_closest_prefix)(VelarinObject *self, PyObject *key, int skip_dispatch);
};

struct VelarinObject {
    PyObject_HEAD
    VelarinVTable *vtab;
    TrieStore store;
    // One decoded word per terminal node, made on first use and released
    // with the store, so a repeated match costs a new reference instead of a
    // decode. A node's slot is its rank among the terminal nodes.
    const TerminalRun *word_ranks;
    PyObject **word_objects;
    size_t num_word_objects;
    TableBlock word_rank_table, word_table;  // the blocks word_ranks and word_objects lie in
    // Threads reading the store without the interpreter lock, and threads
    // waiting for them to pause before they change it (unlocked.hpp).
    int32_t unlocked_readers;
    int32_t waiting_writers;
};

static_assert(offsetof(VelarinObject, vtab) == sizeof(PyObject));
static_assert(offsetof(VelarinObject, store) == sizeof(PyObject) + sizeof(void *));

extern PyTypeObject VelarinType;
extern VelarinVTable velarin_vtable;

constexpr const char *module_name = "ondrel_velarin.impl_c";
constexpr const char *velarin_type_name = "ondrel_velarin.impl_c.Velarin";
constexpr const char *source_path = "ondrel_velarin/impl_c";

// Calls f with the code units of a str as the interpreter stores them (a
// Py_UCS1, Py_UCS2 or Py_UCS4 pointer) and returns what it returns.
template <typename F>
inline auto with_code_units(int kind, const void *data, F &&f) {
    switch (kind) {
    case PyUnicode_1BYTE_KIND:
        return f(static_cast<const Py_UCS1 *>(data));
    case PyUnicode_2BYTE_KIND:
        return f(static_cast<const Py_UCS2 *>(data));
    default:
        return f(static_cast<const Py_UCS4 *>(data));
    }
}

// For a str found to hold a lone surrogate: raises the interpreter's own
// UnicodeEncodeError, as encoding it does. Returns -1 then, 0 when it encodes
// after all.
inline int raise_encode_error(PyObject *text) {
    OwnedRef encoded = OwnedRef::steal(PyUnicode_AsUTF8String(text));
    return encoded ? 0 : -1;
}

// Runs the pending signal handlers; false when one raised.
inline bool no_signal_raised(void *) { return PyErr_CheckSignals() == 0; }

// A meter for a long native operation that asks no_signal_raised, so that it
// answers Ctrl-C. An operation it stops returns Status::interrupted, with the
// handler's exception set, or with none when the object's table changed
// meanwhile (a handler rebuilt it).
inline WorkMeter signal_meter() { return WorkMeter{no_signal_raised, nullptr}; }

// The calling thread's stack: where it ends and how large it is (read once
// per thread); size 0 when the bounds cannot be had.
struct ThreadStack {
    uintptr_t lowest;
    size_t size;
};

inline const ThreadStack &thread_stack() {
    thread_local const ThreadStack stack = [] {
        pthread_attr_t attributes;
        void *address = nullptr;
        size_t size = 0;
        if (pthread_getattr_np(pthread_self(), &attributes) != 0) return ThreadStack{0, 0};
        const int rc = pthread_attr_getstack(&attributes, &address, &size);
        pthread_attr_destroy(&attributes);
        return rc == 0 ? ThreadStack{reinterpret_cast<uintptr_t>(address), size} : ThreadStack{0, 0};
    }();
    return stack;
}

// Whether the stack left below the caller's frame is enough for a call that
// interpreter code may nest: a quarter of the thread's stack, and no more than
// 256 KB, must stay free for what runs below it. The calls do not recurse
// themselves, so a thread with a small stack (256 KB or less, as some
// platforms and servers give) keeps most of it for them, while nesting
// without end still stops with a quarter left. Where the bounds are unknown,
// the answer is yes.
inline bool stack_suffices() {
    constexpr size_t most = size_t(1) << 18;
    const ThreadStack &stack = thread_stack();
    const auto here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    if (stack.size == 0 || here < stack.lowest) return true;
    return here - stack.lowest >= std::min(most, stack.size / 4);
}

// Holds one level of the interpreter's recursion count for a call that
// interpreter code can nest (signal handlers nesting scans, encode()
// re-entering construction): a nesting too deep raises RecursionError instead
// of filling the stack. The count alone is not enough where the limit is set
// high (each level's frames, the interpreter's among them, are larger than
// it allows for), so the stack left is checked too.
class RecursionGuard {
public:
    explicit RecursionGuard(const char *where) : entered_(enter(where)) {}
    ~RecursionGuard() {
        if (entered_) Py_LeaveRecursiveCall();
    }
    RecursionGuard(const RecursionGuard &) = delete;
    RecursionGuard &operator=(const RecursionGuard &) = delete;
    bool entered() const { return entered_; }

private:
    static bool enter(const char *where) {
        if (!stack_suffices()) {
            PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
            return false;
        }
        return Py_EnterRecursiveCall(where) == 0;
    }

    bool entered_;
};

// The Velarin type of ondrel_velarin.impl_c, for the package's other native
// modules, which read and write its objects' layout: it must be the static
// type they were built with. A new reference, or null with ImportError set.
inline PyObject *import_velarin_type() {
    OwnedRef impl = OwnedRef::steal(PyImport_ImportModule(module_name));
    if (!impl) return nullptr;
    OwnedRef type = OwnedRef::steal(PyObject_GetAttrString(impl.borrow(), "Velarin"));
    if (!type) return nullptr;
    auto *t = reinterpret_cast<PyTypeObject *>(type.borrow());
    if (!PyType_Check(type.borrow()) || (t->tp_flags & Py_TPFLAGS_HEAPTYPE) != 0 ||
        t->tp_basicsize != Py_ssize_t(sizeof(VelarinObject)) || std::strcmp(t->tp_name, velarin_type_name) != 0) {
        PyErr_Format(PyExc_ImportError, "%s.Velarin is not the type this module was built with", module_name);
        return nullptr;
    }
    return type.release();
}

// Maps an engine failure to its exception; the messages name the block that
// could not be had. An interrupted operation has its exception set already,
// or none when the table changed under it.
void raise_status(Status status);

// Adds a traceback entry "ondrel_velarin.impl_c.Velarin.<method>" (or `qualified`
// as given when `method` is null) to the pending exception.
void add_traceback(const char *method, int line, const char *qualified = nullptr);

// Binds the single parameter `parameter` of `function` from a vectorcall
// argument list (nargs positional values, keyword names in kwnames). Returns a
// borrowed reference, or NULL with TypeError set.
PyObject *bind_one(const char *function, const char *parameter, PyObject *const *args, Py_ssize_t nargs,
                   PyObject *kwnames);

// Makes the word cache of a built table that has none (its ranks, and a slot
// per word); false when there is no memory for it.
bool ensure_word_cache(VelarinObject *self);

// A new str of a word's UTF-8 bytes, made at its exact size and width in
// one pass when they are well formed; other bytes (which a word encoded by
// an object of the caller's may be) go through the interpreter's strict
// decoder, which raises its UnicodeDecodeError. NULL with an exception set.
PyObject *word_str(const char *bytes, size_t length);

// Decodes node `node`'s word (`length` bytes) and caches it; returns a new
// reference, or NULL with an exception set.
PyObject *make_word_object(VelarinObject *self, int64_t node, size_t length);

// The cached str of terminal node `node`'s word, borrowed, or NULL when not
// made yet.
inline PyObject *cached_word(const VelarinObject *self, int64_t node) {
    return self->word_objects != nullptr ? self->word_objects[terminal_slot(self->word_ranks, uint32_t(node))] : nullptr;
}

// Returns a new reference to the str of node `node`'s word (`length` bytes),
// or NULL with an exception set. Inline, as the cached case is most of a
// lookup's cost after the walk.
inline PyObject *word_object(VelarinObject *self, int64_t node, size_t length) {
    PyObject *cached = cached_word(self, node);
    return cached != nullptr ? Py_NewRef(cached) : make_word_object(self, node, length);
}

// The cache slot of node `node`'s word, already loading, so that handing
// out many words overlaps their misses; null without a word (a negative
// node) or a cache.
inline PyObject *const *word_slot(const VelarinObject *self, int64_t node) {
    if (node < 0 || self->word_objects == nullptr) return nullptr;
    PyObject *const *slot = self->word_objects + terminal_slot(self->word_ranks, uint32_t(node));
    __builtin_prefetch(slot);
    return slot;
}

// Drops every cached word object.
void release_word_objects(VelarinObject *self);

// The bytes a Velarin object holds: its store, its word cache and the words
// cached in it.
size_t object_bytes(const VelarinObject *self);

// The native lookup entry; returns a new reference or NULL with an exception set.
PyObject *get_closest_prefix(VelarinObject *self, PyObject *key, int skip_dispatch);

// Readies the function type and returns a new reference to the function object
// installed as Velarin.get_closest_prefix, or NULL with an exception set.
PyObject *make_get_closest_prefix();

// The iteration slot: a new generator over `self`, or NULL with an exception set.
PyObject *velarin_iter(PyObject *self);

// Ready the generator and its state record types; 0, or -1 with an exception set.
int prepare_generator_types();

// Registers the generator type with collections.abc.Generator once per
// process; 0, or -1 with an exception set.
int register_generator_type();

// The module's dictionary, borrowed; set by the exec step.
PyObject *module_dict();

}  // namespace velarin
