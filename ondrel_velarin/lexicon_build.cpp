// Building a lexicon from Python objects: from an iterable of words, of
// (word, value) pairs, or a mapping (Lexicon(words)), and from the columns a
// word-list file gives (Lexicon._from_columns). Either way the words are
// copied as UTF-8 and sorted into byte order, keeping the last value of a
// word given twice; lexicon_maker.hpp makes the lexicon of them.
#include <Python.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "copies.hpp"
#include "lexicon_maker.hpp"
#include "trie/order.hpp"

namespace velarin {
namespace {

// Items taken between two runs of the pending signal handlers.
constexpr Py_ssize_t items_per_signal_check = 4096;

// What a construction gathers before the lexicon exists: the UTF-8 copies
// of the words (in a store of its own until the trie takes them), the value
// given with each (strong) and its tag's number (0: none). Releases what it
// still holds when it goes.
class Gathered {
public:
    Gathered() = default;
    Gathered(const Gathered &) = delete;
    Gathered &operator=(const Gathered &) = delete;
    ~Gathered() {
        for (PyObject *value : values_) Py_XDECREF(value);
        std::free(store_.bytes_strings);
        std::free(store_.bytes_lengths);
        PyMem_Free(store_.strings_block);
        Py_XDECREF(tag_numbers_);
    }

    // Copies word number `position` (a str, or TypeError naming it) with its
    // value (borrowed) and tag (borrowed, or null). 0, or -1 with an
    // exception set.
    int add(PyObject *word, Py_ssize_t position, PyObject *value, PyObject *tag) {
        if (!PyUnicode_Check(word)) {
            PyErr_Format(PyExc_TypeError, "word %zd is %.200s, not str", position, Py_TYPE(word)->tp_name);
            return -1;
        }
        if (lengths_.size() >= size_t(INT32_MAX)) {
            PyErr_SetString(PyExc_OverflowError, "a Lexicon holds at most 2147483647 words");
            return -1;
        }
        uint32_t tag_number = 0;
        if (tag != nullptr && tag != Py_None && number_tag(tag, &tag_number) < 0) return -1;
        const Py_ssize_t length = encode_str(word, position, copies_);
        if (length < 0) return -1;
        const size_t before = lengths_.size();
        try {
            values_.push_back(value);
            lengths_.push_back(int32_t(length));
            if (tag_number != 0 || !tags_.empty()) {
                tags_.resize(before, 0);
                tags_.push_back(tag_number);
            }
        } catch (const std::bad_alloc &) {
            values_.resize(before);
            lengths_.resize(before);
            if (tags_.size() > before) tags_.resize(before);
            PyErr_NoMemory();
            return -1;
        }
        Py_INCREF(value);
        copies_.add(size_t(length));
        return 0;
    }

    size_t size() const { return lengths_.size(); }

    // Hands the reference to value i over to whoever took it.
    void give_up(size_t i) { values_[i] = nullptr; }

    // Points the store's arrays at every copy, once all are in.
    int finish() {
        const size_t count = lengths_.size();
        if (count == 0) return 0;
        store_.bytes_strings = static_cast<unsigned char **>(std::calloc(count, sizeof(unsigned char *)));
        store_.bytes_lengths = static_cast<int32_t *>(std::malloc(count * sizeof(int32_t)));
        if (store_.bytes_strings == nullptr || store_.bytes_lengths == nullptr) {
            PyErr_SetString(PyExc_MemoryError, "Failed to allocate memory for bytes_strings.");
            return -1;
        }
        std::memcpy(store_.bytes_lengths, lengths_.data(), count * sizeof(int32_t));
        store_.num_strings = int32_t(count);
        copies_.finish();
        return 0;
    }

    TrieStore &store() { return store_; }
    PyObject *value(size_t i) const { return values_[i]; }
    uint32_t tag(size_t i) const { return i < tags_.size() ? tags_[i] : 0; }
    size_t tag_count() const { return tag_numbers_ != nullptr ? size_t(PyDict_GET_SIZE(tag_numbers_)) : 0; }

    // The distinct tags as a tuple in the order of their numbers; null with
    // an exception set.
    PyObject *tag_names() const {
        PyObject *names = PyTuple_New(Py_ssize_t(tag_count()));
        Py_ssize_t pos = 0;
        PyObject *tag, *number;
        while (names != nullptr && PyDict_Next(tag_numbers_, &pos, &tag, &number))
            PyTuple_SET_ITEM(names, PyLong_AsSsize_t(number) - 1, Py_NewRef(tag));
        return names;
    }

private:
    // The number of a tag (a str), given a new one when first seen.
    int number_tag(PyObject *tag, uint32_t *number) {
        if (!PyUnicode_Check(tag)) {
            PyErr_Format(PyExc_TypeError, "a tag is %.200s, not str", Py_TYPE(tag)->tp_name);
            return -1;
        }
        if (tag_numbers_ == nullptr && (tag_numbers_ = PyDict_New()) == nullptr) return -1;
        PyObject *known = PyDict_GetItemWithError(tag_numbers_, tag);
        if (known != nullptr) {
            *number = uint32_t(PyLong_AsSsize_t(known));
            return 0;
        }
        if (PyErr_Occurred()) return -1;
        OwnedRef fresh = OwnedRef::steal(PyLong_FromSsize_t(PyDict_GET_SIZE(tag_numbers_) + 1));
        if (!fresh || PyDict_SetItem(tag_numbers_, tag, fresh.borrow()) < 0) return -1;
        *number = uint32_t(PyDict_GET_SIZE(tag_numbers_));
        return 0;
    }

    TrieStore store_{};
    StringCopies copies_{store_};
    std::vector<int32_t> lengths_;
    std::vector<PyObject *> values_;  // strong; null once a lexicon took it
    std::vector<uint32_t> tags_;      // empty while no word has a tag
    PyObject *tag_numbers_ = nullptr; // tag -> its number, from 1

};

// Whether a construction should look at the signal handlers before item i.
bool signal_check_due(Py_ssize_t i) { return i % items_per_signal_check == items_per_signal_check - 1; }

// ---- The forms a Lexicon is made from ------------------------------------

int gather_dict(PyObject *mapping, Gathered &gathered) {
    Py_ssize_t pos = 0, i = 0;
    PyObject *word, *value;
    while (PyDict_Next(mapping, &pos, &word, &value)) {
        // Borrowed from the dict: held while encode() cannot run, as it never
        // does for a str.
        if (gathered.add(word, i++, value, nullptr) < 0) return -1;
    }
    return 0;
}

// A mapping other than a dict: its keys(), then each value by subscript,
// as dict(mapping) reads it.
int gather_mapping(PyObject *mapping, PyObject *keys_method, Gathered &gathered) {
    OwnedRef keys = OwnedRef::steal(PyObject_CallNoArgs(keys_method));
    OwnedRef iterator = OwnedRef::steal(keys ? PyObject_GetIter(keys.borrow()) : nullptr);
    if (!iterator) return -1;
    for (Py_ssize_t i = 0;; ++i) {
        OwnedRef word = OwnedRef::steal(PyIter_Next(iterator.borrow()));
        if (!word) return PyErr_Occurred() ? -1 : 0;
        if (signal_check_due(i) && PyErr_CheckSignals() < 0) return -1;
        OwnedRef value = OwnedRef::steal(PyObject_GetItem(mapping, word.borrow()));
        if (!value || gathered.add(word.borrow(), i, value.borrow(), nullptr) < 0) return -1;
    }
}

// Words, or (word, value) pairs as tuples or lists of two, mixed as they come.
int gather_items(PyObject *items, Gathered &gathered) {
    OwnedRef iterator = OwnedRef::steal(PyObject_GetIter(items));
    if (!iterator) return -1;
    for (Py_ssize_t i = 0;; ++i) {
        OwnedRef item = OwnedRef::steal(PyIter_Next(iterator.borrow()));
        if (!item) return PyErr_Occurred() ? -1 : 0;
        if (signal_check_due(i) && PyErr_CheckSignals() < 0) return -1;
        PyObject *o = item.borrow();
        if (PyUnicode_Check(o)) {
            if (gathered.add(o, i, Py_None, nullptr) < 0) return -1;
            continue;
        }
        OwnedRef pair;
        if ((PyTuple_Check(o) || PyList_Check(o)) && PySequence_Fast_GET_SIZE(o) == 2)
            pair = OwnedRef::steal(PySequence_Tuple(o));  // a list could change under the encoding
        if (!pair) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_TypeError, "item %zd is %.200s, not a str or a (word, value) pair", i,
                             Py_TYPE(o)->tp_name);
            return -1;
        }
        if (gathered.add(PyTuple_GET_ITEM(pair.borrow(), 0), i, PyTuple_GET_ITEM(pair.borrow(), 1), nullptr) < 0)
            return -1;
    }
}

// Refuses what would silently become a lexicon of characters or bytes.
int refuse_text(PyObject *words) {
    if (PyUnicode_Check(words)) {
        PyErr_SetString(PyExc_TypeError,
                        "Lexicon() takes words, (word, value) pairs or a mapping, not a str: pass a list "
                        "(Lexicon([word]) for one word)");
        return -1;
    }
    if (PyBytes_Check(words) || PyByteArray_Check(words)) {
        PyErr_Format(PyExc_TypeError, "Lexicon() takes words as str, not %.200s: pass a list of str",
                     Py_TYPE(words)->tp_name);
        return -1;
    }
    return 0;
}

int gather(PyObject *words, Gathered &gathered) {
    if (refuse_text(words) < 0) return -1;
    if (PyDict_CheckExact(words)) return gather_dict(words, gathered);
    PyObject *keys = nullptr;
    if (PyObject_GetOptionalAttrString(words, "keys", &keys) < 0) return -1;
    OwnedRef held = OwnedRef::steal(keys);
    if (held) return gather_mapping(words, keys, gathered);
    return gather_items(words, gathered);
}

// ---- From the gathered words to the lexicon -------------------------------

ValueKind kind_of(const Gathered &gathered, const std::vector<uint32_t> &order) {
    bool all_none = true, all_int32 = true;
    for (uint32_t i : order) {
        PyObject *value = gathered.value(i);
        if (value == Py_None) {
            all_int32 = false;
            continue;
        }
        all_none = false;
        if (!PyLong_CheckExact(value)) return ValueKind::object;
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (overflow != 0) return ValueKind::object;
        if (v < INT32_MIN || v > INT32_MAX) all_int32 = false;
    }
    if (all_none) return ValueKind::none;
    // Some None among ints: they stay objects.
    for (uint32_t i : order)
        if (gathered.value(i) == Py_None) return ValueKind::object;
    return all_int32 ? ValueKind::int32 : ValueKind::int64;
}

// The gathered words in byte order, each once, as make_lexicon reads them.
class SortedGathered {
public:
    SortedGathered(Gathered &gathered, std::vector<uint32_t> order)
        : gathered_(gathered), order_(std::move(order)), kind_(kind_of(gathered, order_)) {}

    size_t size() const { return order_.size(); }
    const unsigned char *word(size_t k) const { return gathered_.store().bytes_strings[order_[k]]; }
    int32_t length(size_t k) const { return gathered_.store().bytes_lengths[order_[k]]; }
    ValueKind kind() const { return kind_; }
    bool place_value(size_t k, void *values, size_t rank) const {
        place_object_value(kind_, gathered_.value(order_[k]), values, rank);
        return true;
    }
    void release_values() {
        for (uint32_t i : order_) gathered_.give_up(i);
    }
    size_t tag_count() const { return gathered_.tag_count(); }
    PyObject *tag_names() const { return gathered_.tag_names(); }
    uint32_t tag(size_t k) const { return gathered_.tag(order_[k]); }

private:
    Gathered &gathered_;
    std::vector<uint32_t> order_;
    ValueKind kind_;
};

// Sorts what was gathered and makes the lexicon of it.
PyObject *make_gathered(PyTypeObject *type, Gathered &gathered) {
    if (gathered.finish() < 0) return nullptr;
    std::vector<uint32_t> order;
    WorkMeter meter = signal_meter();
    const TrieStore &from = gathered.store();
    const Status sorted = sort_distinct(from.bytes_strings, from.bytes_lengths, uint32_t(gathered.size()), order, &meter);
    if (sorted != Status::ok) {
        if (!PyErr_Occurred()) PyErr_NoMemory();
        return nullptr;
    }
    SortedGathered source(gathered, std::move(order));
    return make_lexicon(type, source);
}

}  // namespace

PyObject *lexicon_new(PyTypeObject *type, PyObject *args, PyObject *kwds) {
    if (kwds != nullptr && PyDict_GET_SIZE(kwds) > 0) {
        PyErr_SetString(PyExc_TypeError, "Lexicon() takes no keyword arguments");
        return nullptr;
    }
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (nargs > 1) {
        PyErr_Format(PyExc_TypeError, "Lexicon() takes at most 1 argument (%zd given)", nargs);
        return nullptr;
    }
    Gathered gathered;
    if (nargs == 1 && gather(PyTuple_GET_ITEM(args, 0), gathered) < 0) return nullptr;
    return make_gathered(type, gathered);
}

namespace {

// Lexicon._from_columns(words, values, tags): the words of a file (a list
// of str), their values (a list as long, or None for all None) and tags (a
// list of str or None, or None).
PyObject *from_columns(PyObject *cls, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs != 3 || !PyList_CheckExact(args[0]) || !(args[1] == Py_None || PyList_CheckExact(args[1])) ||
        !(args[2] == Py_None || PyList_CheckExact(args[2]))) {
        PyErr_SetString(PyExc_TypeError, "_from_columns() takes a list of words and two lists or None");
        return nullptr;
    }
    PyObject *words = args[0], *values = args[1], *tags = args[2];
    const Py_ssize_t n = PyList_GET_SIZE(words);
    if ((values != Py_None && PyList_GET_SIZE(values) != n) || (tags != Py_None && PyList_GET_SIZE(tags) != n)) {
        PyErr_SetString(PyExc_ValueError, "_from_columns() takes columns of one length");
        return nullptr;
    }
    if (!PyType_Check(cls) || !PyType_IsSubtype(reinterpret_cast<PyTypeObject *>(cls), &LexiconType)) {
        PyErr_SetString(PyExc_TypeError, "_from_columns() makes a Lexicon");
        return nullptr;
    }
    Gathered gathered;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (signal_check_due(i) && PyErr_CheckSignals() < 0) return nullptr;
        // The lists are the caller's own and no interpreter code runs
        // between these reads and the copies.
        PyObject *value = values == Py_None ? Py_None : PyList_GET_ITEM(values, i);
        PyObject *tag = tags == Py_None ? nullptr : PyList_GET_ITEM(tags, i);
        if (gathered.add(PyList_GET_ITEM(words, i), i, value, tag) < 0) return nullptr;
    }
    return make_gathered(reinterpret_cast<PyTypeObject *>(cls), gathered);
}

PyMethodDef build_methods[] = {
    {"_from_columns", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(from_columns)),
     METH_FASTCALL | METH_CLASS, "The lexicon of a word-list file's columns: words, their values, their tags."},
    {nullptr, nullptr, 0, nullptr},
};

const LexiconMethods registered(build_methods);

}  // namespace
}  // namespace velarin
