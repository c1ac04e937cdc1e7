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
// Walks of a window stop after this many code points (longer than the words
// of natural dictionaries); a segment start whose walk stopped there is
// walked again in full. Positions a long word covers then cost little.
constexpr size_t segment_walk_limit = 32;
// Segments ahead whose word objects are loaded while one is handed out.
constexpr size_t word_ahead = 16;
// A text's segments are found this many at a time, without the interpreter
// lock when the text is long, then handed out with it, in blocks whose word
// objects are looked up in a pass of their own.
constexpr size_t batch_pieces = 4096;
constexpr size_t hand_out_block = 256;
// Positions whose matches longest_matches finds together, the same way.
constexpr size_t match_batch = 4096;
// Texts shorter than this are scanned with the lock held: letting other
// threads run would cost more than the walks take.
constexpr size_t unlocked_text_min = 2048;

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
    // The last window may pass the batch's end.
    explicit SegmentSpace(size_t batch) : batch(batch), pieces(new Piece[batch + max_segment_window]) {}
    size_t batch;
    ScanSpace scan;
    Match window[max_segment_window];
    std::unique_ptr<Piece[]> pieces;
    PyObject *objects[hand_out_block];
    PyObject *const *slots[hand_out_block];  // each word's cache slot
    SingleCharacters singles;
};

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
    Match *window = space.window;
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
        width = 4 * (made - before) >= count ? std::min(2 * width, max_segment_window) : min_segment_window;
    }
    return made;
}

// Pushes the segments of the `count` pieces found, the last of which ends at
// `end`, to `segments`; false with an exception set. With the lock held. In
// each block the words' cache slots are asked for first, then their objects
// looked up, and handed out while those a few segments ahead load.
template <typename CodePoint>
bool hand_out(VelarinObject *trie, PyObject *source, const CodePoint *units, const Piece *pieces, size_t count,
              size_t end, SegmentBuffer &segments, SegmentSpace &space) {
    if (!segments.reserve(count)) return false;
    PyObject **objects = space.objects;
    PyObject *const **slots = space.slots;
    for (size_t first = 0; first < count; first += hand_out_block) {
        const Piece *block = pieces + first;
        const size_t n = std::min(hand_out_block, count - first);
        for (size_t j = 0; j < n; ++j) slots[j] = word_slot(trie, block[j].node);
        for (size_t j = 0; j < n; ++j)
            objects[j] = block[j].node >= 0                  ? (slots[j] != nullptr ? *slots[j] : nullptr)
                         : block[j].node == single_character ? space.singles.find(units[block[j].start])
                                                             : nullptr;
        for (size_t j = 0; j < n; ++j) {
            if (j + word_ahead < n) __builtin_prefetch(objects[j + word_ahead]);
            const Piece &piece = block[j];
            PyObject *segment = objects[j];
            if (segment != nullptr) Py_INCREF(segment);
            else if (piece.node >= 0) segment = make_word_object(trie, piece.node, piece.bytes);
            else if (piece.node == single_character) segment = space.singles.make(units[piece.start]);
            else segment = PyUnicode_Substring(source, Py_ssize_t(piece.start), Py_ssize_t(first + j + 1 < count ? block[j + 1].start : end));
            if (segment == nullptr) return false;
            segments.push(segment);
        }
    }
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
        if (text.length >= unlocked_text_min) reading.unlock();
        const size_t made = find_pieces(trie->store, text, units, runs, end, next_width, space, meter);
        reading.lock();
        if (made == SIZE_MAX || trie->store.generation != generation) {
            if (PyErr_Occurred()) return false;
            continue;
        }
        if (!hand_out(trie, source, units, space.pieces.get(), made, end, segments, space)) return false;
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

// The working arrays of longest_matches, sized to the text's batches: a
// short text's call writes no more than it needs.
struct MatchSpace {
    explicit MatchSpace(size_t batch) : matches(new Match[batch]), lengths(new Py_ssize_t[batch]) {}
    ScanSpace scan;
    std::unique_ptr<Match[]> matches;
    std::unique_ptr<Py_ssize_t[]> lengths;
};

// The length in characters of each of the `count` matches found from
// position `first` on, or -1 for one that ends inside a character (its word
// must be decoded to tell). It reads only the text, so it may run without
// the lock.
void count_characters(const Text &text, size_t first, size_t count, const Match *matches, Py_ssize_t *lengths) {
    for (size_t k = 0; k < count; ++k) {
        size_t characters = 0;
        const bool whole = matches[k].node < 0 || match_characters(text, first + k, matches[k], &characters);
        lengths[k] = whole ? Py_ssize_t(characters) : -1;
    }
}

PyObject *longest_matches(PyObject *module, PyObject *const *args, Py_ssize_t nargs) {
    Text text;
    if (bind(module, "longest_matches", args, nargs, &text) < 0) return nullptr;
    const RecursionGuard guard(" in longest_matches");
    if (!guard.entered()) return nullptr;
    const size_t batch = std::min(match_batch, text.length);
    const auto space = new_space<MatchSpace>(batch);
    if (!space) return nullptr;
    auto *trie = reinterpret_cast<VelarinObject *>(args[0]);
    OwnedRef lengths = OwnedRef::steal(PyList_New(Py_ssize_t(text.length)));
    if (!lengths) return nullptr;
    // Filled while signal handlers may run: the collector must not hand the
    // list, with its empty slots, to one of them (gc.get_objects()).
    PyObject_GC_UnTrack(lengths.borrow());
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
        if (found) count_characters(text, first, count, space->matches.get(), space->lengths.get());
        reading.lock();
        if (!found || trie->store.generation != generation) {
            if (PyErr_Occurred()) return nullptr;
            continue;  // the trie changed meanwhile: this batch again, against it
        }
        for (size_t k = 0; k < count; ++k) {
            const Py_ssize_t length =
                space->lengths[k] >= 0 ? space->lengths[k] : decoded_length(trie, space->matches[k]);
            if (length < 0) return nullptr;
            PyObject *item = PyLong_FromSsize_t(length);
            if (item == nullptr) return nullptr;
            PyList_SET_ITEM(lengths.borrow(), Py_ssize_t(first + k), item);
        }
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
