// The questions a lexicon answers with one walk each: the mapping protocol
// (len, in, [], get, iteration in code point order), ids both ways, the
// words a text begins with (longest_prefix*, prefixes, prefix_items), the
// words a prefix begins (completions), and tags.
//
// A word answered is the trie's cached str where the walk passed it (as
// get_closest_prefix hands out); words listed from below a node (iteration,
// completions) are the cached str where one exists and are decoded
// otherwise, so that listing every word does not keep every word's str.
#include <Python.h>

#include <new>

#include "lexicon_parts.hpp"
#include "trie/below.hpp"
#include "trie/prefixes.hpp"

namespace velarin {

bool units_of(PyObject *key, Py_ssize_t start, const char *function, Units *units) {
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%s() argument 1 must be str, not %.200s", function, Py_TYPE(key)->tp_name);
        return false;
    }
    const Py_ssize_t n = PyUnicode_GET_LENGTH(key);
    if (start < 0) start = start + n < 0 ? 0 : start + n;
    if (start > n) start = n;
    const int kind = PyUnicode_KIND(key);
    *units = Units{static_cast<const char *>(PyUnicode_DATA(key)) + start * kind, kind, size_t(n - start)};
    return true;
}

namespace {

PyObject *pair(PyObject *word, PyObject *value);

}  // namespace

PyObject *item_object(LexiconObject *lex, int32_t node, uint32_t length) {
    const uint32_t rank = word_rank(lex, node);
    if (lex->items != nullptr && lex->items[rank] != nullptr) return Py_NewRef(lex->items[rank]);
    // Each object made may start the collector, whose finalizers may rebuild
    // the trie: the value first, the trie asked again before its word.
    OwnedRef value = OwnedRef::steal(value_object(lex, node));
    if (!value || !lexicon_current(lex)) return nullptr;
    PyObject *item = pair(word_object_of(lex, node, length), value.release());
    if (item == nullptr) return nullptr;
    // The items are the lexicon's own, by rank, whatever ran meanwhile.
    if (lex->items == nullptr)
        lex->items = static_cast<PyObject **>(std::calloc(size_t(lex->num_words), sizeof(PyObject *)));
    if (lex->items != nullptr && lex->items[rank] == nullptr) lex->items[rank] = Py_NewRef(item);
    return item;
}

namespace {

// The lexicon of a method's self, ready to walk: current, with its code
// point index built; null with an exception set.
LexiconObject *ready(PyObject *self, const char *function) {
    LexiconObject *lex = lexicon_argument(self, function, 0);
    if (lex == nullptr) return nullptr;
    if (lexicon_store(lex).index.state == CharIndexState::untried && (lexicon_index(lex) < 0 || !lexicon_current(lex)))
        return nullptr;
    return lex;
}

// The longest word the code units begin with. Built twice, so processors
// with a population count instruction use it, as the trie's own lookup does.
__attribute__((target_clones("popcnt", "default"), flatten)) Match longest(const TrieStore &store, const Units &units) {
    return with_units(units, [&](const auto *u) { return closest_prefix_code_points(store, u, units.length); });
}

// The same, for a key that is wanted whole.
__attribute__((target_clones("popcnt", "default"), flatten)) Match whole(const TrieStore &store, const Units &units) {
    return with_units(units, [&](const auto *u) { return whole_key_code_points(store, u, units.length); });
}

// The terminal node of the word that is the whole key, or -1. A key holding
// a lone surrogate is no word.
int32_t word_node(const LexiconObject *lex, PyObject *key) {
    Units units;
    units_of(key, 0, nullptr, &units);
    const Match match = whole(lexicon_store(lex), units);
    if (match.node < 0 || match.length < units.length) return -1;
    if (PyUnicode_IS_ASCII(key)) return match.length == units.length ? match.node : -1;
    const size_t bytes = with_units(units, [&](const auto *u) { return utf8_length(u, units.length); });
    return match.length == bytes ? match.node : -1;
}

// Raises KeyError(key), the key kept whole even when it is a tuple.
void raise_key_error(PyObject *key) {
    OwnedRef args = OwnedRef::steal(PyTuple_Pack(1, key));
    if (args) PyErr_SetObject(PyExc_KeyError, args.borrow());
}

// The word of a terminal node found below another: the trie's cached str
// when it has one, else a new one, not cached.
PyObject *listed_word(const LexiconObject *lex, uint32_t node) {
    if (PyObject *cached = cached_word(lex->trie, node)) return Py_NewRef(cached);
    const char *word = lexicon_store(lex).nodes[node].word;
    return word_str(word, word_length(word));
}

// What a listing gives for each word.
enum class Listing { keys, values, items };

PyObject *pair(PyObject *word, PyObject *value) {
    if (word == nullptr || value == nullptr) {
        Py_XDECREF(word);
        Py_XDECREF(value);
        return nullptr;
    }
    PyObject *item = PyTuple_New(2);
    if (item == nullptr) {
        Py_DECREF(word);
        Py_DECREF(value);
        return nullptr;
    }
    PyTuple_SET_ITEM(item, 0, word);
    PyTuple_SET_ITEM(item, 1, value);
    return item;
}

PyObject *listed(const LexiconObject *lex, uint32_t node, Listing what) {
    switch (what) {
    case Listing::keys:
        return listed_word(lex, node);
    case Listing::values:
        return value_object(lex, int32_t(node));
    default:
        return pair(listed_word(lex, node), value_object(lex, int32_t(node)));
    }
}

// Reads the optional `start` of a text question: args[1] or the keyword
// `start`. 0, or -1 with TypeError.
int bind_text(const char *function, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, PyObject **text,
              Py_ssize_t *start) {
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    PyObject *start_object = nargs > 1 ? args[1] : nullptr;
    if (nargs < 1 || nargs > 2) {
        PyErr_Format(PyExc_TypeError, "%s() takes 1 or 2 positional arguments (%zd given)", function, nargs);
        return -1;
    }
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        PyObject *name = PyTuple_GET_ITEM(kwnames, i);
        if (!PyUnicode_Check(name) || !PyUnicode_EqualToUTF8(name, "start") || start_object != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected or repeated keyword argument %R", function, name);
            return -1;
        }
        start_object = args[nargs + i];
    }
    *text = args[0];
    *start = 0;
    if (start_object == nullptr) return 0;
    *start = PyNumber_AsSsize_t(start_object, nullptr);
    return *start == -1 && PyErr_Occurred() ? -1 : 0;
}

// ---- The mapping protocol ---------------------------------------------------

PyObject *get(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 2) {
        PyErr_Format(PyExc_TypeError, "get expected 1 or 2 arguments, got %zd", nargs);
        return nullptr;
    }
    LexiconObject *lex = ready(self, "get");
    if (lex == nullptr) return nullptr;
    const int32_t node = PyUnicode_Check(args[0]) ? word_node(lex, args[0]) : -1;
    if (node >= 0) return value_object(lex, node);
    return Py_NewRef(nargs > 1 ? args[1] : Py_None);
}

// An iterator over a lexicon's words, values or (word, value) pairs in code
// point order. It reads the trie afresh at each step and refuses to go on
// once the trie is rebuilt.
struct LexiconIterator {
    PyObject_HEAD
    LexiconObject *lex;  // strong
    WordsInOrder *order; // null once finished
    Py_ssize_t left;     // words not yet given
    Listing what;
};

PyTypeObject LexiconIteratorType = {PyVarObject_HEAD_INIT(nullptr, 0)};

PyObject *new_iterator(PyObject *self, Listing what) {
    LexiconObject *lex = lexicon_argument(self, "__iter__", 0);
    if (lex == nullptr) return nullptr;
    auto *it = PyObject_New(LexiconIterator, &LexiconIteratorType);
    if (it == nullptr) return nullptr;
    it->lex = reinterpret_cast<LexiconObject *>(Py_NewRef(self));
    it->order = lex->num_words > 0 ? new (std::nothrow) WordsInOrder(0) : nullptr;
    it->left = lex->num_words;
    it->what = what;
    if (lex->num_words > 0 && it->order == nullptr) {
        Py_DECREF(it);
        return PyErr_NoMemory();
    }
    return reinterpret_cast<PyObject *>(it);
}

void iterator_dealloc(PyObject *o) {
    auto *it = reinterpret_cast<LexiconIterator *>(o);
    delete it->order;
    Py_XDECREF(it->lex);
    PyObject_Free(o);
}

PyObject *iterator_next(PyObject *o) {
    auto *it = reinterpret_cast<LexiconIterator *>(o);
    if (it->order == nullptr) return nullptr;
    if (!lexicon_current(it->lex)) return nullptr;
    uint32_t node;
    try {
        if (!it->order->next(lexicon_store(it->lex), &node)) {
            delete it->order;
            it->order = nullptr;
            return nullptr;
        }
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    }
    --it->left;
    return listed(it->lex, node, it->what);
}

PyObject *iterator_length_hint(PyObject *o, PyObject *) {
    auto *it = reinterpret_cast<LexiconIterator *>(o);
    return PyLong_FromSsize_t(it->order != nullptr ? it->left : 0);
}

PyMethodDef iterator_methods[] = {
    {"__length_hint__", iterator_length_hint, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyObject *iter_values(PyObject *self, PyObject *) { return new_iterator(self, Listing::values); }
PyObject *iter_items(PyObject *self, PyObject *) { return new_iterator(self, Listing::items); }

// ---- Ids ----------------------------------------------------------------------

PyObject *key_id(PyObject *self, PyObject *key) {
    LexiconObject *lex = ready(self, "key_id");
    if (lex == nullptr) return nullptr;
    const int32_t node = PyUnicode_Check(key) ? word_node(lex, key) : -1;
    if (node < 0) {
        raise_key_error(key);
        return nullptr;
    }
    return PyLong_FromUnsignedLong(word_id(lex, node));
}

PyObject *restore_key(PyObject *self, PyObject *id) {
    LexiconObject *lex = lexicon_argument(self, "restore_key", 0);
    if (lex == nullptr) return nullptr;
    if (!PyLong_Check(id)) {
        PyErr_Format(PyExc_TypeError, "restore_key() argument 1 must be int, not %.200s", Py_TYPE(id)->tp_name);
        return nullptr;
    }
    int overflow = 0;
    const long long i = PyLong_AsLongLongAndOverflow(id, &overflow);
    if (overflow != 0 || i < 0 || i >= lex->num_words) {
        PyErr_Format(PyExc_IndexError, "word id %R out of range for a Lexicon of %zd words", id, lex->num_words);
        return nullptr;
    }
    const TrieStore &store = lexicon_store(lex);
    return word_str(reinterpret_cast<const char *>(store.bytes_strings[i]), size_t(store.bytes_lengths[i]));
}

// ---- Words a text begins with -----------------------------------------------

// The lexicon of a question about text[start:], ready to walk, and that
// text's units; null with an exception set.
LexiconObject *text_question(PyObject *self, const char *function, PyObject *const *args, Py_ssize_t nargs,
                             PyObject *kwnames, Units *units) {
    PyObject *text;
    Py_ssize_t start;
    if (bind_text(function, args, nargs, kwnames, &text, &start) < 0 || !units_of(text, start, function, units))
        return nullptr;
    return ready(self, function);
}

// The longest word at the start of text[start:] as its str (items: with
// its value), or None.
PyObject *longest_prefix_of(PyObject *self, const char *function, bool item, PyObject *const *args, Py_ssize_t nargs,
                            PyObject *kwnames) {
    Units units;
    LexiconObject *lex = text_question(self, function, args, nargs, kwnames, &units);
    if (lex == nullptr) return nullptr;
    const Match match = longest(lexicon_store(lex), units);
    if (match.node < 0) Py_RETURN_NONE;
    return item ? item_object(lex, match.node, match.length) : word_object_of(lex, match.node, match.length);
}

PyObject *longest_prefix(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return longest_prefix_of(self, "longest_prefix", false, args, nargs, kwnames);
}

PyObject *longest_prefix_item(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return longest_prefix_of(self, "longest_prefix_item", true, args, nargs, kwnames);
}

// The words one key begins with, as each_prefix visits them: the first
// few in room not initialized until visited (a call pays for the words
// found, not for the room), the rest in a vector, whose growth throws
// bad_alloc.
class KeyWords {
public:
    KeyWords() {}
    KeyWords(const KeyWords &) = delete;
    KeyWords &operator=(const KeyWords &) = delete;

    void push_back(const Match &m) {
        if (count_ < in_place) place_[count_] = m;
        else more_.push_back(m);
        ++count_;
    }
    size_t size() const { return count_; }
    const Match &operator[](size_t i) const { return i < in_place ? place_[i] : more_[i - in_place]; }

private:
    static constexpr size_t in_place = 64;
    size_t count_ = 0;
    MatchRoom<in_place> place_;
    std::vector<Match> more_;
};

// Every word at the start of text[start:], shortest first: their strs, or
// (word, value) pairs.
PyObject *prefixes_of(PyObject *self, const char *function, bool items, PyObject *const *args, Py_ssize_t nargs,
                      PyObject *kwnames) {
    Units units;
    LexiconObject *lex = text_question(self, function, args, nargs, kwnames, &units);
    if (lex == nullptr) return nullptr;
    // Found first, made after: the walk makes no interpreter call.
    KeyWords found;
    try {
        with_units(units, [&](const auto *u) {
            each_prefix(lexicon_store(lex), u, units.length, [&](const Match &m) { found.push_back(m); });
        });
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    }
    const size_t count = found.size();
    OwnedRef list = OwnedRef::steal(PyList_New(Py_ssize_t(count)));
    if (!list) return nullptr;
    for (size_t i = 0; i < count; ++i) {
        // A pair's allocation may start the collector, whose finalizers may
        // rebuild the trie.
        if (!lexicon_current(lex)) return nullptr;
        const Match &m = found[i];
        PyObject *entry = items ? item_object(lex, m.node, m.length) : word_object_of(lex, m.node, m.length);
        if (entry == nullptr) return nullptr;
        PyList_SET_ITEM(list.borrow(), Py_ssize_t(i), entry);
    }
    return list.release();
}

PyObject *prefixes(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return prefixes_of(self, "prefixes", false, args, nargs, kwnames);
}

PyObject *prefix_items(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return prefixes_of(self, "prefix_items", true, args, nargs, kwnames);
}

// ---- Words a prefix begins ----------------------------------------------------

// The node of the prefix's whole path, or -1; -2 with an exception set.
int64_t prefix_node(LexiconObject *lex, PyObject *prefix, const char *function) {
    Units units;
    if (!units_of(prefix, 0, function, &units)) return -2;
    return with_units(units, [&](const auto *u) { return path_node(lexicon_store(lex), u, units.length); });
}

// The word of rank `rank` (id `id`): the trie's cached str when it has one,
// else a new one, not cached.
PyObject *ranked_word(const LexiconObject *lex, size_t rank, uint32_t id) {
    if (PyObject *cached = lex->trie->word_objects[rank]) return Py_NewRef(cached);
    const TrieStore &store = lexicon_store(lex);
    return word_str(reinterpret_cast<const char *>(store.bytes_strings[id]), size_t(store.bytes_lengths[id]));
}

// The value of the word of rank `rank`, a new reference.
PyObject *ranked_value(const LexiconObject *lex, size_t rank) {
    switch (lex->value_kind) {
    case ValueKind::none:
        return Py_NewRef(Py_None);
    case ValueKind::int32:
        return PyLong_FromLong(static_cast<const int32_t *>(lex->values)[rank]);
    case ValueKind::int64:
        return PyLong_FromLongLong(static_cast<const int64_t *>(lex->values)[rank]);
    default:
        return Py_NewRef(static_cast<PyObject *const *>(lex->values)[rank]);
    }
}

PyObject *ranked(const LexiconObject *lex, size_t rank, uint32_t id, Listing what) {
    switch (what) {
    case Listing::keys:
        return ranked_word(lex, rank, id);
    case Listing::values:
        return ranked_value(lex, rank);
    default:
        return pair(ranked_word(lex, rank, id), ranked_value(lex, rank));
    }
}

// Lexicon._completions(prefix, what): the words (what 0), values (1) or
// (word, value) pairs (2) of every word that begins with prefix, in code
// point order. The words below the prefix's node are a run of ids (from the
// first word below it to the last) and a run of ranks: each is put at its
// id's place, reading the rank-ordered arrays from start to end and never a
// node record. Runs the signal handlers every so many words, so that listing
// millions answers Ctrl-C.
PyObject *completions(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs != 2 || !PyLong_Check(args[1])) {
        PyErr_SetString(PyExc_TypeError, "_completions() takes a prefix and what to list (0, 1 or 2)");
        return nullptr;
    }
    LexiconObject *lex = lexicon_argument(self, "keys", 0);
    if (lex == nullptr) return nullptr;
    const long what = PyLong_AsLong(args[1]);
    if (what < 0 || what > 2) {
        PyErr_SetString(PyExc_ValueError, "_completions() lists 0 (words), 1 (values) or 2 (items)");
        return nullptr;
    }
    const int64_t top = prefix_node(lex, args[0], "keys");
    if (top == -2) return nullptr;
    if (top < 0) return PyList_New(0);
    const TrieStore &store = lexicon_store(lex);
    const TerminalRun *runs = lex->trie->word_ranks;
    const uint32_t node = uint32_t(top);
    const uint32_t low = word_id(lex, int32_t(first_word_below(store, node)));
    const uint32_t count = word_id(lex, int32_t(last_word_below(store, node))) + 1 - low;
    const bool itself = detail::is_terminal(store.nodes[node]);
    const size_t below = first_rank_below(store, runs, node);
    // Filled at places out of order: the collector must not see its empty
    // slots meanwhile (an item's allocation may start a collection).
    OwnedRef list = OwnedRef::steal(PyList_New(Py_ssize_t(count)));
    if (!list) return nullptr;
    PyObject_GC_UnTrack(list.borrow());
    WorkMeter meter = signal_meter();
    for (uint32_t k = 0; k < count; ++k) {
        // A handler, or the finalizers of a collection, may rebuild the trie.
        if (!lexicon_current(lex)) return nullptr;
        const size_t rank = itself ? (k == 0 ? word_rank(lex, int32_t(node)) : below + k - 1) : below + k;
        const uint32_t id = lex->rank_to_id[rank];
        PyObject *entry = ranked(lex, rank, id, Listing(what));
        if (entry == nullptr) return nullptr;
        PyList_SET_ITEM(list.borrow(), Py_ssize_t(id - low), entry);
        if (!meter.spend(1) && PyErr_Occurred()) return nullptr;
    }
    PyObject_GC_Track(list.borrow());
    return list.release();
}

PyObject *has_keys_with_prefix(PyObject *self, PyObject *prefix) {
    LexiconObject *lex = lexicon_argument(self, "has_keys_with_prefix", 0);
    if (lex == nullptr) return nullptr;
    const int64_t node = prefix_node(lex, prefix, "has_keys_with_prefix");
    if (node == -2) return nullptr;
    return PyBool_FromLong(node >= 0);
}

// ---- Tags ---------------------------------------------------------------------

PyObject *tag(PyObject *self, PyObject *word) {
    LexiconObject *lex = ready(self, "tag");
    if (lex == nullptr) return nullptr;
    const int32_t node = PyUnicode_Check(word) ? word_node(lex, word) : -1;
    if (node < 0) {
        raise_key_error(word);
        return nullptr;
    }
    if (lex->tag_width == 0) Py_RETURN_NONE;
    const uint32_t rank = word_rank(lex, node);
    const uint32_t number = lex->tag_width == 1   ? static_cast<const uint8_t *>(lex->tags)[rank]
                            : lex->tag_width == 2 ? static_cast<const uint16_t *>(lex->tags)[rank]
                                                  : static_cast<const uint32_t *>(lex->tags)[rank];
    if (number == 0) Py_RETURN_NONE;
    return Py_NewRef(PyTuple_GET_ITEM(lex->tag_names, number - 1));
}

#define FASTCALL_KEYWORDS(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f)), METH_FASTCALL | METH_KEYWORDS
#define FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f)), METH_FASTCALL

PyMethodDef query_methods[] = {
    {"get", FASTCALL(get), "get($self, key, default=None, /)\n--\n\nThe value of key, or default when it is not a word."},
    {"key_id", key_id, METH_O, "key_id($self, key, /)\n--\n\nThe id of a word: its place in code point order, from 0."},
    {"restore_key", restore_key, METH_O, "restore_key($self, id, /)\n--\n\nThe word with this id."},
    {"longest_prefix", FASTCALL_KEYWORDS(longest_prefix),
     "longest_prefix($self, text, /, start=0)\n--\n\nThe longest word that text[start:] begins with, or None."},
    {"longest_prefix_item", FASTCALL_KEYWORDS(longest_prefix_item),
     "longest_prefix_item($self, text, /, start=0)\n--\n\n"
     "The longest word that text[start:] begins with and its value, or None."},
    {"prefixes", FASTCALL_KEYWORDS(prefixes),
     "prefixes($self, text, /, start=0)\n--\n\nEvery word that text[start:] begins with, shortest first."},
    {"prefix_items", FASTCALL_KEYWORDS(prefix_items),
     "prefix_items($self, text, /, start=0)\n--\n\n"
     "Every word that text[start:] begins with and its value, shortest first."},
    {"has_keys_with_prefix", has_keys_with_prefix, METH_O,
     "has_keys_with_prefix($self, prefix, /)\n--\n\nWhether some word begins with prefix."},
    {"tag", tag, METH_O, "tag($self, word, /)\n--\n\nThe tag of a word (jieba's part of speech), or None."},
    {"_completions", FASTCALL(completions), nullptr},
    {"_iter_values", iter_values, METH_NOARGS, nullptr},
    {"_iter_items", iter_items, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

const LexiconMethods registered(query_methods);

}  // namespace

Py_ssize_t lexicon_length(PyObject *self) { return reinterpret_cast<LexiconObject *>(self)->num_words; }

int lexicon_contains(PyObject *self, PyObject *key) {
    if (!PyUnicode_Check(key)) return 0;
    LexiconObject *lex = ready(self, "__contains__");
    if (lex == nullptr) return -1;
    return word_node(lex, key) >= 0;
}

PyObject *lexicon_subscript(PyObject *self, PyObject *key) {
    LexiconObject *lex = ready(self, "__getitem__");
    if (lex == nullptr) return nullptr;
    const int32_t node = PyUnicode_Check(key) ? word_node(lex, key) : -1;
    if (node < 0) {
        raise_key_error(key);
        return nullptr;
    }
    return value_object(lex, node);
}

PyObject *lexicon_iter(PyObject *self) { return new_iterator(self, Listing::keys); }

int prepare_lexicon_iterator() {
    PyTypeObject &t = LexiconIteratorType;
    if (t.tp_flags & Py_TPFLAGS_READY) return 0;
    t.tp_name = "ondrel_velarin.lexicon_c.LexiconIterator";
    t.tp_basicsize = sizeof(LexiconIterator);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION;
    t.tp_dealloc = iterator_dealloc;
    t.tp_iter = PyObject_SelfIter;
    t.tp_iternext = iterator_next;
    t.tp_methods = iterator_methods;
    return PyType_Ready(&t);
}

}  // namespace velarin
