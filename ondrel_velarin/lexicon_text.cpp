// A lexicon's whole-text calls, each one native call over the whole text:
// segment (the package's segmentation with the tool's defaults), tokenize
// (segments with their offsets), find_all (every occurrence of every word,
// overlapping) and find_longest (leftmost-longest matches, not
// overlapping). Offsets are in code points.
//
// The walking makes no interpreter call: matches go into native arrays and
// the Python objects are made after (after each batch of positions, for
// find_all and find_longest). Only the meter (signal handlers, every so many
// steps) runs interpreter code meanwhile, the collections the allocations
// asked for among it; a handler or finalizer there that rebuilt the trie
// ends the call with the lexicon's RuntimeError.
#include <Python.h>

#include <algorithm>
#include <bit>
#include <initializer_list>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "lexicon_parts.hpp"
#include "trie/prefixes.hpp"
#include "trie/scan.hpp"

namespace velarin {
namespace {

// ondrel_velarin.scan_c.segment, found at the first segmentation.
PyObject *scan_segment = nullptr;

// The text argument of a whole-text call as Units, with the interpreter's
// UnicodeEncodeError for a lone surrogate, as the scans raise it; false
// with an exception set.
bool whole_text(PyObject *text, const char *function, Units *units) {
    if (!units_of(text, 0, function, units)) return false;
    const bool surrogate = units->kind != PyUnicode_1BYTE_KIND &&
                           with_units(*units, [&](const auto *u) { return has_surrogate(u, units->length); });
    return !surrogate || raise_encode_error(text) == 0;
}

// Reads the keyword-only alnum_runs of segment and tokenize (default true,
// as the tool segments). 0, or -1 with TypeError.
int runs_option(const char *function, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, bool *runs) {
    if (nargs != 1) {
        PyErr_Format(PyExc_TypeError, "%s() takes exactly one positional argument (%zd given)", function, nargs);
        return -1;
    }
    *runs = true;
    for (Py_ssize_t i = 0; kwnames != nullptr && i < PyTuple_GET_SIZE(kwnames); ++i) {
        PyObject *name = PyTuple_GET_ITEM(kwnames, i);
        if (!PyUnicode_Check(name) || !PyUnicode_EqualToUTF8(name, "alnum_runs")) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument %R", function, name);
            return -1;
        }
        const int truth = PyObject_IsTrue(args[nargs + i]);
        if (truth < 0) return -1;
        *runs = truth != 0;
    }
    return 0;
}

// The segments of a text by the package's segmentation on the lexicon's
// trie: a new list, or null with an exception set.
PyObject *segments_of(LexiconObject *lex, PyObject *text, bool runs) {
    if (scan_segment == nullptr) {
        OwnedRef scan = OwnedRef::steal(PyImport_ImportModule("ondrel_velarin.scan_c"));
        if (!scan || (scan_segment = PyObject_GetAttrString(scan.borrow(), "segment")) == nullptr) return nullptr;
    }
    OwnedRef names = OwnedRef::steal(Py_BuildValue("(s)", "alnum_runs"));
    if (!names) return nullptr;
    PyObject *call[] = {reinterpret_cast<PyObject *>(lex->trie), text, runs ? Py_True : Py_False};
    return PyObject_Vectorcall(scan_segment, call, 2, names.borrow());
}

PyObject *segment(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    bool runs;
    if (runs_option("segment", args, nargs, kwnames, &runs) < 0) return nullptr;
    LexiconObject *lex = lexicon_argument(self, "segment", 0);
    return lex != nullptr ? segments_of(lex, args[0], runs) : nullptr;
}

// Ints for offsets, made once for each of the last positions used: the
// occurrences of a text start and end at the same positions over and over.
// As many entries as the text has positions, up to 1,024: a short text's
// call sets up a few.
class Offsets {
public:
    explicit Offsets(size_t positions) : size_(std::bit_ceil(std::min(positions, max_size))), entries_(new Entry[size_]) {}
    Offsets(const Offsets &) = delete;
    Offsets &operator=(const Offsets &) = delete;
    ~Offsets() {
        for (size_t i = 0; i < size_; ++i) Py_XDECREF(entries_[i].object);
    }

    // A new reference to the int `at`, or null with MemoryError.
    PyObject *get(size_t at) {
        Entry &e = entries_[at & (size_ - 1)];
        if (e.object == nullptr || e.at != at) {
            PyObject *made = PyLong_FromSize_t(at);
            if (made == nullptr) return nullptr;
            Py_XSETREF(e.object, made);
            e.at = at;
        }
        return Py_NewRef(e.object);
    }

private:
    static constexpr size_t max_size = 1024;
    struct Entry {
        size_t at = 0;
        PyObject *object = nullptr;
    };
    size_t size_;
    std::unique_ptr<Entry[]> entries_;
};

// A new list of `count` items made by make(i), a new reference or null. The
// collector does not see the list while it has empty slots (an item's
// allocation may start a collection, whose finalizers may look at every
// object), nor the tuples of ints it holds, which cannot be in a cycle.
template <typename Make>
PyObject *filled_list(size_t count, Make &&make) {
    OwnedRef list = OwnedRef::steal(PyList_New(Py_ssize_t(count)));
    if (!list) return nullptr;
    PyObject_GC_UnTrack(list.borrow());
    for (size_t i = 0; i < count; ++i) {
        PyObject *item = make(i);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.borrow(), Py_ssize_t(i), item);
    }
    PyObject_GC_Track(list.borrow());
    return list.release();
}

// A tuple of the objects, references stolen; null with an exception set
// (the references dropped).
PyObject *tuple_of(std::initializer_list<PyObject *> items, bool untrack) {
    PyObject *tuple = nullptr;
    bool whole = true;
    for (PyObject *item : items) whole = whole && item != nullptr;
    if (whole) tuple = PyTuple_New(Py_ssize_t(items.size()));
    Py_ssize_t i = 0;
    for (PyObject *item : items) {
        if (tuple != nullptr) PyTuple_SET_ITEM(tuple, i++, item);
        else Py_XDECREF(item);
    }
    if (tuple != nullptr && untrack) PyObject_GC_UnTrack(tuple);
    return tuple;
}

// The list of (start, end) tuples that find_all and find_longest give,
// appended to after each batch of positions is walked, so that no array of
// every span in the text is kept beside it. The tuples hold ints only and
// cannot be in a cycle: the collector is not told of them.
class SpanList {
public:
    explicit SpanList(size_t positions) : list_(OwnedRef::steal(PyList_New(0))), offsets_(positions) {}

    // Null when the list could not be made (MemoryError set).
    PyObject *list() const { return list_.borrow(); }

    // False with an exception set.
    bool add(size_t start, size_t end) {
        OwnedRef span = OwnedRef::steal(tuple_of({offsets_.get(start), offsets_.get(end)}, true));
        return span && PyList_Append(list_.borrow(), span.borrow()) == 0;
    }

    PyObject *release() { return list_.release(); }

private:
    OwnedRef list_;
    Offsets offsets_;
};

PyObject *tokenize(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    bool runs;
    if (runs_option("tokenize", args, nargs, kwnames, &runs) < 0) return nullptr;
    LexiconObject *lex = lexicon_argument(self, "tokenize", 0);
    if (lex == nullptr) return nullptr;
    OwnedRef segments = OwnedRef::steal(segments_of(lex, args[0], runs));
    if (!segments) return nullptr;
    Offsets offsets(size_t(PyUnicode_GET_LENGTH(args[0])) + 1);
    size_t at = 0;
    // The segments are strs: their tuples cannot be in a cycle either.
    return filled_list(size_t(PyList_GET_SIZE(segments.borrow())), [&](size_t i) {
        PyObject *piece = PyList_GET_ITEM(segments.borrow(), Py_ssize_t(i));
        const size_t start = at;
        at += size_t(PyUnicode_GET_LENGTH(piece));
        return tuple_of({Py_NewRef(piece), offsets.get(start), offsets.get(at)}, true);
    });
}

// The lexicon of a whole-text call and its text, ready to walk; null with
// an exception set.
LexiconObject *text_call(PyObject *self, const char *function, PyObject *text, Units *units) {
    if (!whole_text(text, function, units)) return nullptr;
    LexiconObject *lex = lexicon_argument(self, function, 0);
    if (lex == nullptr || lexicon_index(lex) < 0 || !lexicon_current(lex)) return nullptr;
    return lex;
}

// The occurrences that begin in one batch of positions, from the walks of
// all of them at once (their misses overlap): words_at hands them over with
// the walks interleaved, and they are put in order of start here, a count
// of each position's words first. Each position's words come shortest
// first, and stay so.
class BatchOccurrences {
public:
    // Walks positions first..first + count (count at most round_batch) and
    // adds their spans to `spans`. False when the meter says to stop or the
    // trie changed meanwhile, or with an exception set.
    template <typename CodePoint>
    bool add(const TrieStore &store, const CodePoint *units, size_t n, size_t first, size_t count, SpanList &spans,
             WorkMeter &meter) {
        found_.clear();
        std::fill(starts_, starts_ + count + 1, 0u);
        auto add = [&](size_t k, uint32_t, uint32_t characters) {
            found_.push_back(Found{uint32_t(k), characters});
            ++starts_[k + 1];
        };
        if (!words_at(store, units, n, first, count, SIZE_MAX, space_, meter, add)) return false;
        for (size_t k = 0; k < count; ++k) starts_[k + 1] += starts_[k];
        ordered_.resize(found_.size());
        for (const Found &f : found_) ordered_[starts_[f.k]++] = f;
        for (const Found &f : ordered_)
            if (!spans.add(first + f.k, first + f.k + f.characters)) return false;
        return true;
    }

private:
    struct Found {
        uint32_t k, characters;
    };
    ScanSpace space_;
    uint32_t starts_[detail::round_batch + 1];
    std::vector<Found> found_, ordered_;
};

// Every occurrence of every word of at least one character, as (start,
// end) spans: by start, then shortest first. False with an exception set.
bool all_occurrences(LexiconObject *lex, const Units &units, SpanList &spans) {
    // Not value-initialized: the walks' room is written before it is read.
    const std::unique_ptr<BatchOccurrences> batch(new BatchOccurrences);
    WorkMeter meter = signal_meter();
    return with_units(units, [&](const auto *u) {
        for (size_t p = 0; p < units.length; p += detail::round_batch) {
            const size_t count = std::min(detail::round_batch, units.length - p);
            if (!batch->add(lexicon_store(lex), u, units.length, p, count, spans, meter)) {
                if (!PyErr_Occurred()) lexicon_current(lex);
                return false;
            }
        }
        return true;
    });
}

// Positions whose longest matches find_longest finds together.
constexpr size_t longest_chunk = 256;

// The leftmost-longest matches of words of at least one character, not
// overlapping: from each position the longest word there, then on after it;
// one position on where none starts. False with an exception set.
bool longest_occurrences(LexiconObject *lex, const Units &units, SpanList &spans) {
    struct Space {
        ScanSpace scan;
        MatchRoom<longest_chunk> chunk;
    };
    // Not value-initialized: the walks' room is written before it is read.
    const std::unique_ptr<Space> space(new Space);
    WorkMeter meter = signal_meter();
    return with_units(units, [&](const auto *u) {
        for (size_t p = 0; p < units.length;) {
            const size_t first = p, count = std::min(longest_chunk, units.length - p);
            if (!matches_at(lexicon_store(lex), u, units.length, first, count, space->chunk.data(), space->scan, meter)) {
                if (!PyErr_Occurred()) lexicon_current(lex);
                return false;
            }
            while (p < first + count) {
                const Match &m = space->chunk[p - first];
                if (m.node >= 0 && m.characters > 0) {
                    if (!spans.add(p, p + m.characters)) return false;
                    p += m.characters;
                } else {
                    ++p;
                }
            }
        }
        return true;
    });
}

// find_all and find_longest: the spans that `occurrences` finds in text.
template <typename Occurrences>
PyObject *spans_of(PyObject *self, const char *function, PyObject *text, Occurrences occurrences) {
    Units units;
    LexiconObject *lex = text_call(self, function, text, &units);
    if (lex == nullptr) return nullptr;
    const auto spans = std::make_unique<SpanList>(units.length + 1);
    if (spans->list() == nullptr) return nullptr;
    try {
        if (!occurrences(lex, units, *spans)) return nullptr;
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    }
    return spans->release();
}

PyObject *find_all(PyObject *self, PyObject *text) { return spans_of(self, "find_all", text, all_occurrences); }

PyObject *find_longest(PyObject *self, PyObject *text) {
    return spans_of(self, "find_longest", text, longest_occurrences);
}

#define FASTCALL_KEYWORDS(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f)), METH_FASTCALL | METH_KEYWORDS

PyMethodDef text_methods[] = {
    {"segment", FASTCALL_KEYWORDS(segment),
     "segment($self, text, /, *, alnum_runs=True)\n--\n\n"
     "The package's segmentation of text with the lexicon's words, as the tool segments:\n"
     "forward longest match, runs of letters and digits kept whole (alnum_runs=False:\n"
     "every unmatched character on its own). The segments join to text."},
    {"tokenize", FASTCALL_KEYWORDS(tokenize),
     "tokenize($self, text, /, *, alnum_runs=True)\n--\n\n"
     "segment()'s segments as (segment, start, end) tuples, offsets in code points."},
    {"find_all", find_all, METH_O,
     "find_all($self, text, /)\n--\n\n"
     "Every occurrence of every word (of one character or more) in text, overlapping,\n"
     "as (start, end) offsets in code points: by start, then shortest first."},
    {"find_longest", find_longest, METH_O,
     "find_longest($self, text, /)\n--\n\n"
     "The leftmost-longest occurrences of words in text, not overlapping, as (start, end)\n"
     "offsets in code points: the longest word at each place, then on after it."},
    {nullptr, nullptr, 0, nullptr},
};

const LexiconMethods registered(text_methods);

}  // namespace
}  // namespace velarin
