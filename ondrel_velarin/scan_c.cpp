// ondrel_velarin.scan_c: whole-text scans against a Velarin, one call per text.
//
// Each function gives what a Python loop over Velarin.get_closest_prefix at
// every position would give, without a slice, a call or an encoded copy per
// position: the walks read the text's own code units, and the one scan for lone
// surrogates is done once per text instead of once per position.
//
// The trie is read directly; an override of get_closest_prefix in a subclass
// is not called.
//
// The walks count their work and run the pending signal handlers every so
// many steps, however long each position's walk is. A handler may construct
// or release the trie: a walk that sees its table change meanwhile stops, and
// the batch it was in is walked again against the new table. Large working
// arrays live on the heap, so that scans nested through signal handlers end
// in RecursionError, not in a full stack.
//
// The walks of a long text run without the interpreter lock (unlocked.hpp),
// a batch at a time; the segments' and lengths' objects are made with it.
#include <Python.h>

#include <algorithm>
#include <memory>
#include <new>

#include "runs.hpp"
#include "segments.hpp"
#include "surface.hpp"
#include "trie/scan.hpp"
#include "unlocked.hpp"

namespace velarin {
namespace {

struct ScanState {
    PyObject *velarin_type;  // ondrel_velarin.impl_c.Velarin
};

ScanState *state_of(PyObject *module) { return static_cast<ScanState *>(PyModule_GetState(module)); }

// Positions whose matches the segmentation finds together. It walks every
// position of a window, those a word then covers too (most positions of a
// text begin no word and cost one bit test), and the next window starts where
// the last segment ends. Wide windows let many walks overlap; where words are
// long, most of a window is covered and walked for nothing, so a window
// doubles after one with at least a quarter as many segments as positions,
// and is otherwise back to the narrowest.
constexpr size_t min_segment_window = 8;
constexpr size_t max_segment_window = 256;
// With the automaton for deep words, a window's pass goes on past its end
// while a path begun inside goes on, and carries what it read there: wider
// windows carry less of what they read.
constexpr size_t max_automaton_window = 2048;
// Walks of a window stop after this many code points (longer than the words
// of natural dictionaries); a segment start whose walk stopped there is
// walked again in full. Positions a long word covers then cost little.
constexpr size_t segment_walk_limit = 32;
// Segments ahead whose word objects are loaded while one is handed out.
constexpr size_t word_ahead = 16;
// A text's segments are found this many at a time, with the objects already
// made for them, without the interpreter lock when the text is long; then
// handed out with it.
constexpr size_t batch_pieces = 4096;
// Positions whose matches longest_matches finds together, the same way.
constexpr size_t match_batch = 4096;

// A text's code units as the interpreter stores them.
struct Text {
    const void *data;
    int kind;
    size_t length;
};

// out[k] is the longest stored word that the text at first + k begins with,
// as matches_at finds it with walks of at most `limit` code points; false
// when the meter stopped it. Built twice, so processors with a population
// count instruction use it.
__attribute__((target_clones("popcnt", "default"), flatten)) bool matches_in(const TrieStore &store, const Text &text,
                                                                     size_t first, size_t count, Match *out,
                                                                     ScanSpace &space, WorkMeter &meter,
                                                                     size_t limit = SIZE_MAX) {
    return with_code_units(text.kind, text.data, [&](const auto *units) {
        return matches_at(store, units, text.length, first, count, out, space, meter, limit);
    });
}

// Readies the trie for walks: builds its code point index when it has none
// yet (with the lock held: the build lets signal handlers run). Returns 1;
// 0 when the trie changed while a handler ran (the caller tries again); -1
// with the exception a handler raised.
int prepare(VelarinObject *trie, WorkMeter &meter) {
    if (build_char_index(trie->store, &meter) != Status::interrupted) return 1;
    return PyErr_Occurred() ? -1 : 0;
}

// Whether the match at `pos` ends on a character boundary, with its length in
// characters in *count.
bool match_characters(const Text &text, size_t pos, const Match &match, size_t *count) {
    return with_code_units(text.kind, text.data, [&](const auto *units) {
        return code_points_in(units + pos, text.length - pos, match.length, count);
    });
}

bool has_lone_surrogate(const Text &text) {
    // Only the wider kinds can hold one.
    return text.kind != PyUnicode_1BYTE_KIND &&
           with_code_units(text.kind, text.data, [&](const auto *units) { return has_surrogate(units, text.length); });
}

// Checks argument 1 of `function`: a Velarin (or subclass) instance.
// Returns 0, or -1 with an exception set.
int check_trie(PyObject *module, const char *function, PyObject *trie) {
    const ScanState *state = state_of(module);
    if (state == nullptr || state->velarin_type == nullptr) {
        PyErr_Format(PyExc_RuntimeError, "%s() called through a module object of ondrel_velarin.scan_c that was "
                     "never executed; import the module instead", function);
        return -1;
    }
    auto *velarin_type = reinterpret_cast<PyTypeObject *>(state->velarin_type);
    if (!PyObject_TypeCheck(trie, velarin_type)) {
        PyErr_Format(PyExc_TypeError, "%s() argument 1 must be %s, not %.200s", function, velarin_type->tp_name,
                     Py_TYPE(trie)->tp_name);
        return -1;
    }
    return 0;
}

// Checks the arguments of `function`: a Velarin (or subclass) instance and a
// str. Returns 0 with *text filled, or -1 with TypeError (or the interpreter's
// UnicodeEncodeError, for a text holding a lone surrogate) set.
int bind(PyObject *module, const char *function, PyObject *const *args, Py_ssize_t nargs, Text *text) {
    if (nargs != 2 && state_of(module) != nullptr && state_of(module)->velarin_type != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s expected 2 arguments, got %zd", function, nargs);
        return -1;
    }
    if (check_trie(module, function, nargs > 0 ? args[0] : nullptr) < 0) return -1;
    if (!PyUnicode_Check(args[1])) {
        PyErr_Format(PyExc_TypeError, "%s() argument 2 must be str, not %.200s", function, Py_TYPE(args[1])->tp_name);
        return -1;
    }
    PyObject *s = args[1];
    *text = Text{PyUnicode_DATA(s), PyUnicode_KIND(s), size_t(PyUnicode_GET_LENGTH(s))};
    return has_lone_surrogate(*text) ? raise_encode_error(s) : 0;
}

// Whether `match` is a word of at least one character, not nothing or "".
bool is_word(const Match &match) { return match.node >= 0 && match.length > 0; }

// What a segment is made of, where it is not a word's node.
constexpr int32_t single_character = -1, letter_run = -2;

// A segment found, before it is handed out: where it starts and what it is.
struct Piece {
    size_t start;
    int32_t node;    // the word's node, or single_character or letter_run
    uint32_t bytes;  // a word's length in bytes
};

// The working arrays of a segmentation; pieces for a batch of `batch`
// segments (a short text's call writes no more than it needs).
struct SegmentSpace {
    explicit SegmentSpace(size_t batch) : batch(batch), pieces(new Piece[batch + max_automaton_window]) {}
    size_t batch;
    ScanSpace scan;
    MatchRoom<max_automaton_window> window;
    std::unique_ptr<Piece[]> pieces;
    SingleCharacters singles;
};

// Most segments a batch may make: the last window may pass the batch's end.
size_t batch_room(const SegmentSpace &space) { return space.batch + max_automaton_window; }

// Finds the segments from `pos` on, a window at a time, into space.pieces,
// until there are space.batch of them or the text ends; moves `pos` past
// them and `width` to the next window's. Returns how many, or SIZE_MAX when
// the meter stopped it. It reads only the store and the text, so it may run
// without the lock. A segment is never empty: a word that ends inside a
// character covers the characters it touches, and fails to decode when
// handed out.
template <typename CodePoint>
size_t find_pieces(const TrieStore &store, const Text &text, const CodePoint *units, bool runs, size_t &pos,
                   size_t &width, SegmentSpace &space, WorkMeter &meter) {
    Match *window = space.window.data();
    const size_t widest = store.index.automaton.nodes != nullptr ? max_automaton_window : max_segment_window;
    size_t made = 0;
    while (pos < text.length && made < space.batch) {
        const size_t first = pos, count = std::min(width, text.length - pos), before = made;
        if (!matches_in(store, text, first, count, window, space.scan, meter, segment_walk_limit)) return SIZE_MAX;
        while (pos < first + count) {
            Match &match = window[pos - first];
            if (match.cut && !matches_in(store, text, pos, 1, &match, space.scan, meter)) return SIZE_MAX;
            bool word = is_word(match);
            size_t characters = word ? match.characters : 1;
            if (runs) characters = run_segment_length(units, text.length, pos, word ? match.characters : 0, &word);
            space.pieces[made++] = Piece{pos, word ? match.node : characters > 1 ? letter_run : single_character, match.length};
            pos += characters;
        }
        width = 4 * (made - before) >= count ? std::min(2 * width, widest) : min_segment_window;
    }
    return made;
}

// Writes to found[j] the object already made for each of the `count` pieces,
// borrowed, or null: a word's from the trie's word cache, a single
// character's from this call's. It reads only the store, the text and this
// call's own objects, so it may run without the lock; the word cache is read
// through the store, where it is published for walks without the lock (the
// objects it points at stay alive while the generation stays the same).
template <typename CodePoint>
void find_objects(const TrieStore &store, const CodePoint *units, const Piece *pieces, size_t count,
                  const SingleCharacters &singles, PyObject **found) {
    const void *const *slots = __atomic_load_n(&store.match_slots, __ATOMIC_ACQUIRE);
    for (size_t j = 0; j < count; ++j) {
        const Piece &piece = pieces[j];
        PyObject *object = nullptr;
        if (piece.node >= 0) {
            if (slots != nullptr)
                object = static_cast<PyObject *>(const_cast<void *>(
                    __atomic_load_n(slots + terminal_slot(store.terminal_runs, uint32_t(piece.node)), __ATOMIC_ACQUIRE)));
        } else if (piece.node == single_character) {
            object = singles.find(units[piece.start]);
        }
        found[j] = object;
    }
}

// A new reference to the str of code point c, made earlier in the batch or
// now; null with an exception set.
PyObject *single(SingleCharacters &singles, uint32_t c) {
    PyObject *made = singles.find(c);
    return made != nullptr ? Py_NewRef(made) : singles.make(c);
}

// Pushes the segments of the `count` pieces found, the last of which ends at
// `end`, to `segments`, whose room holds what find_objects found for them;
// false with an exception set. With the lock held: a found object costs a
// reference, where it lies already, the others are made in its place, and
// those a few segments ahead load meanwhile.
template <typename CodePoint>
bool hand_out(VelarinObject *trie, PyObject *source, const CodePoint *units, const Piece *pieces, size_t count,
              size_t end, SegmentBuffer &segments, SingleCharacters &singles) {
    PyObject **items = segments.room();
    for (size_t j = 0; j < count; ++j) {
        if (j + word_ahead < count) __builtin_prefetch(items[j + word_ahead], 1);
        PyObject *segment = items[j];
        if (segment != nullptr) {
            Py_INCREF(segment);
            continue;
        }
        const Piece &piece = pieces[j];
        if (piece.node >= 0) segment = make_word_object(trie, piece.node, piece.bytes);
        else if (piece.node == single_character) segment = single(singles, units[piece.start]);
        else segment = PyUnicode_Substring(source, Py_ssize_t(piece.start), Py_ssize_t(j + 1 < count ? pieces[j + 1].start : end));
        if (segment == nullptr) {
            segments.take(j);
            return false;
        }
        items[j] = segment;
    }
    segments.take(count);
    return true;
}

// The segments of a text whose code units are `units`, pushed to
// `segments`; false with an exception set. The same code for each kind of
// string, so that no step asks which kind it reads. A batch whose walks the
// trie's change stopped, or that saw the trie change, is found again.
template <typename CodePoint>
bool collect_segments(VelarinObject *trie, PyObject *source, const Text &text, const CodePoint *units, bool runs,
                      SegmentBuffer &segments, SegmentSpace &space) {
    UnlockedRead reading(trie);
    WorkMeter meter = reading.meter();
    size_t width = min_segment_window;
    for (size_t pos = 0; pos < text.length;) {
        const int ready = prepare(trie, meter);
        if (ready < 0) return false;
        if (ready == 0) continue;
        const uint64_t generation = trie->store.generation;
        size_t end = pos, next_width = width;
        // A segment covers a character at least: a short text's call keeps
        // the one exact block the buffer begins with.
        if (!segments.reserve(std::min(batch_room(space), text.length - pos))) return false;
        if (text.length >= unlocked_text_min) reading.unlock();
        const size_t made = find_pieces(trie->store, text, units, runs, end, next_width, space, meter);
        if (made != SIZE_MAX) find_objects(trie->store, units, space.pieces.get(), made, space.singles, segments.room());
        reading.lock();
        if (made == SIZE_MAX || trie->store.generation != generation) {
            if (PyErr_Occurred()) return false;
            continue;
        }
        if (!hand_out(trie, source, units, space.pieces.get(), made, end, segments, space.singles)) return false;
        pos = end;
        width = next_width;
    }
    return true;
}

// A new T on the heap, made from `args`, or null with MemoryError set.
template <typename T, typename... Args>
std::unique_ptr<T> new_space(Args... args) {
    try {
        return std::make_unique<T>(args...);
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
        return nullptr;
    }
}

// Reads segment's keyword arguments, of which alnum_runs (a truth value) is
// the only one. 0 with *runs filled, or -1 with an exception set.
int segment_options(PyObject *const *values, PyObject *kwnames, bool *runs) {
    const Py_ssize_t count = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject *name = PyTuple_GET_ITEM(kwnames, i);
        if (!PyUnicode_Check(name)) {
            PyErr_SetString(PyExc_TypeError, "segment() keywords must be strings");
            return -1;
        }
        if (!PyUnicode_EqualToUTF8(name, "alnum_runs")) {
            PyErr_Format(PyExc_TypeError, "segment() got an unexpected keyword argument '%U'", name);
            return -1;
        }
        const int truth = PyObject_IsTrue(values[i]);
        if (truth < 0) return -1;
        *runs = truth != 0;
    }
    return 0;
}

PyObject *segment(PyObject *module, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    Text text;
    bool runs = false;
    if (bind(module, "segment", args, nargs, &text) < 0 || segment_options(args + nargs, kwnames, &runs) < 0)
        return nullptr;
    const RecursionGuard guard(" in segment");
    if (!guard.entered()) return nullptr;
    const auto space = new_space<SegmentSpace>(std::min(batch_pieces, text.length));
    if (!space) return nullptr;
    auto *trie = reinterpret_cast<VelarinObject *>(args[0]);
    SegmentBuffer segments(text.length);
    const bool done = with_code_units(text.kind, text.data, [&](const auto *units) {
        return collect_segments(trie, args[1], text, units, runs, segments, *space);
    });
    return done ? segments.take_list() : nullptr;
}

// The length in characters of the word of a match that ends inside a
// character, which decoding it tells: -1 with the decoding error set.
Py_ssize_t decoded_length(VelarinObject *trie, const Match &match) {
    OwnedRef word = OwnedRef::steal(word_object(trie, match.node, match.length));
    return word ? PyUnicode_GET_LENGTH(word.borrow()) : -1;
}

// The length objects of the lengths most matches have, made once per call
// with the lock, so that a batch's list items can be placed without it.
class CommonLengths {
public:
    static constexpr size_t count = 64;
    CommonLengths() = default;
    CommonLengths(const CommonLengths &) = delete;
    CommonLengths &operator=(const CommonLengths &) = delete;
    ~CommonLengths() {
        for (PyObject *object : objects_) Py_XDECREF(object);
    }

    // Makes them; false with an exception set.
    bool make() {
        for (size_t n = 0; n < count; ++n)
            if ((objects_[n] = PyLong_FromSize_t(n)) == nullptr) return false;
        return true;
    }

    // Length n's object, borrowed, or null when n has none here (or they
    // were not made).
    PyObject *find(Py_ssize_t n) const { return n >= 0 && size_t(n) < count ? objects_[n] : nullptr; }

private:
    PyObject *objects_[count] = {};
};

// The working arrays of longest_matches, sized to the text's batches: a
// short text's call writes no more than it needs.
struct MatchSpace {
    explicit MatchSpace(size_t batch) : matches(new Match[batch]), lengths(new Py_ssize_t[batch]) {}
    ScanSpace scan;
    std::unique_ptr<Match[]> matches;
    std::unique_ptr<Py_ssize_t[]> lengths;
    CommonLengths common;
    size_t uses[CommonLengths::count];  // how many items of a batch hold each
};

// The length in characters of each of the `count` matches found from
// position `first` on, or -1 for one that ends inside a character (its word
// must be decoded to tell); then items[k] is the common object of lengths[k]
// where there is one (uncounted: the caller adds the references that
// space.uses counts), else null. It reads only the text and this call's
// objects and writes only native memory, so it may run without the lock.
void place_lengths(const Text &text, size_t first, size_t count, MatchSpace &space, PyObject **items) {
    std::fill(std::begin(space.uses), std::end(space.uses), size_t(0));
    for (size_t k = 0; k < count; ++k) {
        const Match &match = space.matches[k];
        size_t characters = 0;
        const bool whole = match.node < 0 || match_characters(text, first + k, match, &characters);
        const Py_ssize_t length = whole ? Py_ssize_t(characters) : -1;
        space.lengths[k] = length;
        items[k] = space.common.find(length);
        if (items[k] != nullptr) ++space.uses[length];
    }
}

// Gives the placed items of a batch their references, then makes the rest;
// false with an exception set. With the lock held.
bool finish_lengths(VelarinObject *trie, size_t count, MatchSpace &space, PyObject **items) {
    for (size_t n = 0; n < CommonLengths::count; ++n)
        for (size_t u = space.uses[n]; u > 0; --u) Py_INCREF(space.common.find(Py_ssize_t(n)));
    for (size_t k = 0; k < count; ++k) {
        if (items[k] != nullptr) continue;
        const Py_ssize_t length = space.lengths[k] >= 0 ? space.lengths[k] : decoded_length(trie, space.matches[k]);
        if (length < 0 || (items[k] = PyLong_FromSsize_t(length)) == nullptr) return false;
    }
    return true;
}

PyObject *longest_matches(PyObject *module, PyObject *const *args, Py_ssize_t nargs) {
    Text text;
    if (bind(module, "longest_matches", args, nargs, &text) < 0) return nullptr;
    const RecursionGuard guard(" in longest_matches");
    if (!guard.entered()) return nullptr;
    const size_t batch = std::min(match_batch, text.length);
    const auto space = new_space<MatchSpace>(batch);
    if (!space) return nullptr;
    // A short text's call makes only the objects it needs.
    if (text.length >= unlocked_text_min && !space->common.make()) return nullptr;
    auto *trie = reinterpret_cast<VelarinObject *>(args[0]);
    OwnedRef lengths = OwnedRef::steal(PyList_New(Py_ssize_t(text.length)));
    if (!lengths) return nullptr;
    // Filled while signal handlers may run: the collector must not hand the
    // list, with its empty slots, to one of them (gc.get_objects()). No one
    // else can reach it, so its items may be placed without the lock.
    PyObject_GC_UnTrack(lengths.borrow());
    PyObject **items = reinterpret_cast<PyListObject *>(lengths.borrow())->ob_item;
    UnlockedRead reading(trie);
    WorkMeter meter = reading.meter();
    for (size_t first = 0; first < text.length;) {
        const int ready = prepare(trie, meter);
        if (ready < 0) return nullptr;
        if (ready == 0) continue;
        const uint64_t generation = trie->store.generation;
        const size_t count = std::min(batch, text.length - first);
        if (text.length >= unlocked_text_min) reading.unlock();
        const bool found = matches_in(trie->store, text, first, count, space->matches.get(), space->scan, meter);
        if (found) place_lengths(text, first, count, *space, items + first);
        reading.lock();
        if (!found || trie->store.generation != generation) {
            // Placed items hold no reference yet.
            if (found) std::fill(items + first, items + first + count, nullptr);
            if (PyErr_Occurred()) return nullptr;
            continue;  // the trie changed meanwhile: this batch again, against it
        }
        if (!finish_lengths(trie, count, *space, items + first)) return nullptr;
        first += count;
    }
    PyObject_GC_Track(lengths.borrow());
    return lengths.release();
}

PyObject *nbytes(PyObject *module, PyObject *trie) {
    if (check_trie(module, "nbytes", trie) < 0) return nullptr;
    return PyLong_FromSize_t(object_bytes(reinterpret_cast<VelarinObject *>(trie)));
}

PyMethodDef scan_methods[] = {
    {"segment", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(segment)), METH_FASTCALL | METH_KEYWORDS,
     "segment($module, trie, text, /, *, alnum_runs=False)\n--\n\n"
     "Forward longest-match segmentation of text.\n\n"
     "From the start, takes the longest stored word that the text there begins\n"
     "with, or the single character there when there is none, and goes on after\n"
     "it. Returns the list of segments; they join to text.\n\n"
     "With alnum_runs true, runs of letters and digits (str.isalnum, except the\n"
     "characters of scripts written without spaces, such as Han and kana), with\n"
     "the combining marks that follow them, stay whole: a word that ends inside\n"
     "such a run is not taken, and where no word is taken a run starting there\n"
     "is one segment."},
    {"longest_matches", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(longest_matches)), METH_FASTCALL,
     "longest_matches($module, trie, text, /)\n--\n\n"
     "For every character position i of text, the length in characters of\n"
     "trie.get_closest_prefix(text[i:]), as a list of ints."},
    {"nbytes", nbytes, METH_O,
     "nbytes($module, trie, /)\n--\n\n"
     "The bytes of memory trie holds: its node table and the blocks the nodes\n"
     "point into, its copies of the strings, the index its lookups build, and\n"
     "its cache of matched words."},
    {nullptr, nullptr, 0, nullptr},
};

// Finds the Velarin type; it must be the static type of the package's other
// native module, whose layout this module reads. Returns 0, or -1 with an
// exception set.
int scan_exec(PyObject *module) {
    PyObject *type = import_velarin_type();
    if (type == nullptr) return -1;
    state_of(module)->velarin_type = type;
    return 0;
}

int scan_traverse(PyObject *module, visitproc visit, void *arg) {
    Py_VISIT(state_of(module)->velarin_type);
    return 0;
}

int scan_clear(PyObject *module) {
    Py_CLEAR(state_of(module)->velarin_type);
    return 0;
}

void scan_free(void *module) { scan_clear(static_cast<PyObject *>(module)); }

PyModuleDef_Slot scan_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(scan_exec)},
    // The Velarin type it reads is a static type of one interpreter.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef scan_module = {
    PyModuleDef_HEAD_INIT,
    "ondrel_velarin.scan_c",
    "Whole-text scans against a Velarin: segmentation and the longest match at every position.",
    sizeof(ScanState),
    scan_methods,
    scan_slots,
    scan_traverse,
    scan_clear,
    scan_free,
};

}  // namespace
}  // namespace velarin

PyMODINIT_FUNC PyInit_scan_c() { return PyModuleDef_Init(&velarin::scan_module); }
