// Replacement by longest match over a lexicon's words: Lexicon.replace, and
// ConversionChain, the native base of ondrel_velarin.Converter, which runs
// a whole conversion chain of lexicons in one call.
//
// The walks and the writing are the engine's (trie/replace.hpp), on native
// buffers; the values are read where the lexicon keeps them, its str
// objects, at their own width. The output becomes a str once, at the end.
#include <Python.h>

#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "lexicon_parts.hpp"
#include "runs.hpp"
#include "trie/replace.hpp"
#include "unlocked.hpp"

namespace velarin {
namespace {

// A lexicon's values as a replacement reads them: str objects by rank.
struct StrValues {
    const TerminalRun *ranks = nullptr;
    PyObject *const *objects = nullptr;

    StrValues() = default;
    explicit StrValues(const LexiconObject *lex)
        : ranks(lex->trie->word_ranks), objects(static_cast<PyObject *const *>(lex->values)) {}

    size_t slot(int32_t node) const { return terminal_slot(ranks, uint32_t(node)); }

    bool units(size_t slot, ValueUnits *value) const {
        PyObject *object = objects[slot];
        if (!PyUnicode_Check(object)) return false;
        *value = ValueUnits{PyUnicode_DATA(object), size_t(PyUnicode_GET_LENGTH(object)), unsigned(PyUnicode_KIND(object))};
        return true;
    }
};

using Pass = PassPlan<StrValues>;

// Runs of letters and digits kept whole, as segment(..., alnum_runs=True) keeps them.
struct LetterRuns {
    static constexpr bool enabled = true;
    template <typename CodePoint>
    static size_t step_length(const CodePoint *units, size_t n, size_t pos, size_t characters, bool *word) {
        return run_segment_length(units, n, pos, characters, word);
    }
};

// Whether the lexicon keeps its values as objects, which a replacement
// needs them to be (each a str); else TypeError naming `function`. With
// `every`, each value is checked too.
bool has_str_values(LexiconObject *lex, const char *function, bool every) {
    if (lex->num_words == 0) return true;
    if (lex->value_kind == ValueKind::object) {
        auto *const *objects = static_cast<PyObject *const *>(lex->values);
        Py_ssize_t rank = 0;
        while (every && rank < lex->num_words && PyUnicode_Check(objects[rank])) ++rank;
        if (!every || rank == lex->num_words) return true;
    }
    PyErr_Format(PyExc_TypeError, "%s() needs a Lexicon whose values are str", function);
    return false;
}

// `text` as code units, when it is a str that has a UTF-8 form; else false
// with TypeError, or the UnicodeEncodeError that encoding it raises.
bool text_argument(PyObject *text, const char *function, Units *units) {
    if (!units_of(text, 0, function, units)) return false;
    const bool surrogate = units->kind != PyUnicode_1BYTE_KIND &&
                           with_units(*units, [&](const auto *u) { return has_surrogate(u, units->length); });
    return !surrogate || raise_encode_error(text) == 0;
}

// The converted text, whose code units are at `data`: `text` itself when
// they are its own (nothing was replaced) and it is an exact str, else a
// new str. Null with MemoryError.
PyObject *output_str(PyObject *text, const void *data, unsigned width, size_t size) {
    if (data == PyUnicode_DATA(text) && PyUnicode_CheckExact(text)) return Py_NewRef(text);
    return PyUnicode_FromKindAndData(int(width), data, Py_ssize_t(size));
}

// Whether every lexicon of `lexicons` (a tuple, which may hold None) is
// still current after walks that let interpreter code run; false with
// RuntimeError for one whose trie was rebuilt meanwhile.
bool all_current(PyObject *lexicons) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(lexicons); ++i) {
        PyObject *lex = PyTuple_GET_ITEM(lexicons, i);
        if (lex != Py_None && !lexicon_current(reinterpret_cast<LexiconObject *>(lex))) return false;
    }
    return true;
}

// Whether walks over `lexicons` that ended with `status`, the lock held
// again, gave an answer; false with an exception set: a signal handler's,
// MemoryError, or RuntimeError for a lexicon whose trie was rebuilt.
bool finished(Status status, PyObject *lexicons) {
    if (PyErr_Occurred()) return false;
    if (status == Status::no_memory_text) {
        PyErr_SetString(PyExc_MemoryError, "Failed to allocate memory for the replaced text.");
        return false;
    }
    if (!all_current(lexicons)) return false;
    if (status == Status::ok) return true;
    PyErr_SetString(PyExc_RuntimeError, "the replacement was interrupted");
    return false;
}

// A TypeError for the word of `node`, whose value is not a str.
void raise_not_str(LexiconObject *lex, int32_t node) {
    OwnedRef word = OwnedRef::steal(word_object_of(lex, node, word_length(lexicon_store(lex).nodes[node].word)));
    if (!word) return;
    PyErr_Format(PyExc_TypeError, "replace() needs str values: the value of %R is %.200s", word.borrow(),
                 Py_TYPE(object_value(lex, node))->tp_name);
}

// Walks of up to a cover's window, the index built first: the lexicon
// ready to walk, or false with an exception set.
bool ready_to_walk(LexiconObject *lex) { return lexicon_index(lex) == 0 && lexicon_current(lex); }

// Buffers a kept working room may hold on to between calls; and the bytes
// of those released at once past which the heap's free pages go back to the
// system (the heap would otherwise keep a large text's pages).
constexpr size_t kept_buffer_bytes = size_t(1) << 20;
constexpr size_t returned_bytes = size_t(1) << 24;

// The working room of a call, taken from `idle` (where the last call left
// it) or made, and left there for the next call when it ends, unless a call
// made meanwhile (by a signal handler, or another thread) left its own.
template <typename Work>
class Lease {
public:
    template <typename... Args>
    Lease(Work *&idle, Args &&...args) : idle_(idle), work_(std::exchange(idle, nullptr)) {
        if (work_ == nullptr) work_ = Work::make(std::forward<Args>(args)...);
        if (work_ == nullptr) PyErr_NoMemory();
    }
    ~Lease() {
        if (work_ == nullptr) return;
        if (work_->space.trim(kept_buffer_bytes) >= returned_bytes) return_free_memory();
        if (idle_ == nullptr) idle_ = work_;
        else delete work_;
    }
    Lease(const Lease &) = delete;
    Lease &operator=(const Lease &) = delete;

    Work *operator->() const { return work_; }
    Work &operator*() const { return *work_; }
    explicit operator bool() const { return work_ != nullptr; }

private:
    Work *&idle_;
    Work *work_;
};

// The working room of a replace() call.
struct ReplaceWork {
    ChainSpace space;
    static ReplaceWork *make() { return new (std::nothrow) ReplaceWork; }
};

ReplaceWork *idle_replace_work = nullptr;

// Reads replace()'s keyword arguments, of which alnum_runs (a truth value)
// is the only one; 0, or -1 with an exception set.
int replace_options(PyObject *const *values, PyObject *kwnames, bool *runs) {
    const Py_ssize_t count = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject *name = PyTuple_GET_ITEM(kwnames, i);
        if (!PyUnicode_Check(name) || !PyUnicode_EqualToUTF8(name, "alnum_runs")) {
            PyErr_Format(PyExc_TypeError, "replace() got an unexpected keyword argument '%S'", name);
            return -1;
        }
        const int truth = PyObject_IsTrue(values[i]);
        if (truth < 0) return -1;
        *runs = truth != 0;
    }
    return 0;
}

PyObject *lexicon_replace(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (nargs != 1) {
        PyErr_Format(PyExc_TypeError, "replace() takes exactly 1 positional argument (%zd given)", nargs);
        return nullptr;
    }
    bool runs = false;
    Units units;
    LexiconObject *lex = lexicon_argument(self, "replace", 0);
    if (lex == nullptr || replace_options(args + nargs, kwnames, &runs) < 0 ||
        !text_argument(args[0], "replace", &units) || !has_str_values(lex, "replace", false))
        return nullptr;
    const RecursionGuard guard(" in replace");
    if (!guard.entered() || !ready_to_walk(lex)) return nullptr;
    const Lease<ReplaceWork> work(idle_replace_work);
    if (!work) return nullptr;
    ChainSpace *space = &work->space;
    const StrValues values(lex);
    const Pass pass{&lexicon_store(lex), &values};
    TextBuffer &out = space->texts[0];
    bool replaced = false;
    int32_t unwritable = -1;
    UnlockedRead reading(lex->trie);
    WorkMeter meter = reading.meter();
    if (units.length >= unlocked_text_min) reading.unlock();
    const Status status = with_units(units, [&](const auto *u) {
        return runs ? replace_pass<LetterRuns>(pass, u, units.length, nullptr, nullptr, out, &replaced, &unwritable,
                                               space->cover, meter)
                    : replace_pass(pass, u, units.length, nullptr, nullptr, out, &replaced, &unwritable, space->cover,
                                   meter);
    });
    reading.lock();
    if (status == Status::unwritable_value) {
        raise_not_str(lex, unwritable);
        return nullptr;
    }
    const OwnedRef lexicons = OwnedRef::steal(PyTuple_Pack(1, self));
    if (!lexicons || !finished(status, lexicons.borrow())) return nullptr;
    if (!replaced) return output_str(args[0], units.data, unsigned(units.kind), units.length);
    return output_str(args[0], out.data(), out.width(), out.size());
}

PyMethodDef replace_method_defs[] = {
    {"replace", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(lexicon_replace)),
     METH_FASTCALL | METH_KEYWORDS,
     "replace($self, text, /, *, alnum_runs=False)\n--\n\n"
     "text with each longest word replaced by its value.\n\n"
     "From the start, the longest word that the text there begins with is\n"
     "replaced by its value (a str), otherwise one character is kept, then on\n"
     "from the end of what was taken. With alnum_runs true, runs of letters and\n"
     "digits stay whole, as segment(..., alnum_runs=True) keeps them: a word\n"
     "that ends inside a run is not replaced, so words are replaced as words."},
    {nullptr, nullptr, 0, nullptr},
};

const LexiconMethods replace_methods(replace_method_defs);

// ---- Conversion chains -------------------------------------------------------

struct ChainWork;

struct ChainObject {
    PyObject_HEAD
    // The lexicons of the passes in order: the normalization's, the
    // segmentation's (None without one), the steps'. Null once cleared.
    PyObject *lexicons;
    Py_ssize_t num_normalization;
    Py_ssize_t num_steps;
    // A bit per rank of the first step's words: those of the segmentation's
    // dictionary, when that step segments as it converts; else null.
    uint64_t *segment_words;
    ChainWork *idle;  // the working room of the last call, kept for the next
};

PyTypeObject ChainType = {PyVarObject_HEAD_INIT(nullptr, 0)};

// The first step's segment_words, by rank: those of its words that
// `words` (an iterable of str, a segmentation's words) holds. Null with an
// exception set.
uint64_t *segment_words_of(PyObject *words, LexiconObject *first) {
    if (lexicon_index(first) < 0 || !lexicon_current(first)) return nullptr;
    OwnedRef iterator = OwnedRef::steal(PyObject_GetIter(words));
    if (!iterator) return nullptr;
    const TrieStore &store = lexicon_store(first);
    auto *bits = static_cast<uint64_t *>(PyMem_Calloc(size_t(first->num_words) / 64 + 1, sizeof(uint64_t)));
    if (bits == nullptr) return reinterpret_cast<uint64_t *>(PyErr_NoMemory());
    while (OwnedRef word = OwnedRef::steal(PyIter_Next(iterator.borrow()))) {
        Units units;
        if (!units_of(word.borrow(), 0, "ConversionChain", &units)) break;
        const Match match = with_units(units, [&](const auto *u) {
            // A word with a lone surrogate is no word of a lexicon.
            if (has_surrogate(u, units.length)) return Match{};
            const Match found = closest_prefix_code_points(store, u, units.length);
            return found.length == utf8_length(u, units.length) ? found : Match{};
        });
        if (match.node >= 0 && match.length > 0) {
            const uint32_t rank = word_rank(first, match.node);
            bits[rank / 64] |= uint64_t(1) << (rank % 64);
        }
    }
    if (!PyErr_Occurred() && lexicon_current(first)) return bits;
    PyMem_Free(bits);
    return nullptr;
}

// Appends to `list` the lexicons of `passes` (a tuple), each checked; false
// with an exception set.
bool add_passes(PyObject *list, PyObject *passes, const char *what) {
    if (!PyTuple_Check(passes)) {
        PyErr_Format(PyExc_TypeError, "ConversionChain() %s must be a tuple of Lexicon, not %.200s", what,
                     Py_TYPE(passes)->tp_name);
        return false;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(passes); ++i) {
        PyObject *item = PyTuple_GET_ITEM(passes, i);
        LexiconObject *lex = lexicon_argument(item, "ConversionChain", -1);
        if (lex == nullptr || !has_str_values(lex, "ConversionChain", true) || PyList_Append(list, item) < 0)
            return false;
    }
    return true;
}

PyObject *chain_new(PyTypeObject *type, PyObject *args, PyObject *kwds) {
    PyObject *normalization, *segmentation, *steps, *flags;
    if (kwds != nullptr && PyDict_GET_SIZE(kwds) != 0) {
        PyErr_SetString(PyExc_TypeError, "ConversionChain() takes no keyword arguments");
        return nullptr;
    }
    if (!PyArg_UnpackTuple(args, "ConversionChain", 4, 4, &normalization, &segmentation, &steps, &flags)) return nullptr;
    OwnedRef list = OwnedRef::steal(PyList_New(0));
    if (!list || !add_passes(list.borrow(), normalization, "normalization")) return nullptr;
    if (segmentation != Py_None) {
        LexiconObject *lex = lexicon_argument(segmentation, "ConversionChain", 2);
        if (lex == nullptr) return nullptr;
    }
    if (PyList_Append(list.borrow(), segmentation) < 0 || !add_passes(list.borrow(), steps, "steps")) return nullptr;
    const Py_ssize_t num_steps = PyTuple_GET_SIZE(steps);
    if (flags != Py_None && (num_steps == 0 || segmentation != Py_None)) {
        PyErr_SetString(PyExc_ValueError, "segment_words are for a first step that segments instead of a segmentation");
        return nullptr;
    }
    uint64_t *segment_words = nullptr;
    if (flags != Py_None) {
        segment_words = segment_words_of(flags, reinterpret_cast<LexiconObject *>(PyTuple_GET_ITEM(steps, 0)));
        if (segment_words == nullptr) return nullptr;
    }
    OwnedRef lexicons = OwnedRef::steal(PyList_AsTuple(list.borrow()));
    auto *self = lexicons ? reinterpret_cast<ChainObject *>(type->tp_alloc(type, 0)) : nullptr;
    if (self == nullptr) {
        PyMem_Free(segment_words);
        return nullptr;
    }
    self->lexicons = lexicons.release();
    self->num_normalization = PyTuple_GET_SIZE(normalization);
    self->num_steps = num_steps;
    self->segment_words = segment_words;
    return reinterpret_cast<PyObject *>(self);
}

// The working room of a chain's call: its space, and each pass's plan and
// values (those of a lexicon, read afresh at each call).
struct ChainWork {
    ChainSpace space;
    std::unique_ptr<StrValues[]> values;
    std::unique_ptr<Pass[]> passes;
    std::unique_ptr<VelarinObject *[]> tries;  // those the passes walk, for the guard that reads them unlocked
    size_t num_tries = 0;
    ChainPlan<StrValues> plan;

    static ChainWork *make(size_t count) {
        std::unique_ptr<ChainWork> work(new (std::nothrow) ChainWork);
        if (!work) return nullptr;
        work->values.reset(new (std::nothrow) StrValues[count]);
        work->passes.reset(new (std::nothrow) Pass[count]);
        work->tries.reset(new (std::nothrow) VelarinObject *[count]);
        return work->values && work->passes && work->tries ? work.release() : nullptr;
    }
};

// Readies every lexicon of the chain and lays out its plan in `work`; false
// with an exception set. Walks may begin only once every index is built and
// every lexicon checked after the last handler that building one may have run.
bool plan_chain(ChainObject *self, ChainWork &work) {
    PyObject *lexicons = self->lexicons;
    const Py_ssize_t count = PyTuple_GET_SIZE(lexicons);
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject *lex = PyTuple_GET_ITEM(lexicons, i);
        if (lex != Py_None && lexicon_index(reinterpret_cast<LexiconObject *>(lex)) < 0) return false;
    }
    Pass *passes = work.passes.get();
    work.num_tries = 0;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject *item = PyTuple_GET_ITEM(lexicons, i);
        if (item == Py_None) continue;
        auto *lex = reinterpret_cast<LexiconObject *>(item);
        if (!lexicon_current(lex)) return false;
        work.values[size_t(i)] = StrValues(lex);
        passes[i] = Pass{&lexicon_store(lex), &work.values[size_t(i)]};
        work.tries[work.num_tries++] = lex->trie;
    }
    const Py_ssize_t segmentation = self->num_normalization;
    if (self->num_steps > 0) passes[segmentation + 1].segment_words = self->segment_words;
    work.plan = ChainPlan<StrValues>{passes, size_t(self->num_normalization),
                                     PyTuple_GET_ITEM(lexicons, segmentation) == Py_None ? nullptr : passes + segmentation,
                                     passes + segmentation + 1, size_t(self->num_steps)};
    return true;
}

PyObject *chain_convert(PyObject *object, PyObject *text) {
    auto *self = reinterpret_cast<ChainObject *>(object);
    Units units;
    if (!text_argument(text, "convert", &units)) return nullptr;
    if (self->lexicons == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "this ConversionChain was cleared");
        return nullptr;
    }
    const RecursionGuard guard(" in convert");
    if (!guard.entered()) return nullptr;
    // The lexicons stay while the call runs, whatever a signal handler does to the chain.
    const OwnedRef lexicons = OwnedRef::make_new(self->lexicons);
    const Lease<ChainWork> work(self->idle, size_t(PyTuple_GET_SIZE(lexicons.borrow())));
    if (!work || !plan_chain(self, *work)) return nullptr;
    UnlockedRead reading(work->tries.get(), work->num_tries);
    WorkMeter meter = reading.meter();
    if (units.length >= unlocked_text_min) reading.unlock();
    const void *result = nullptr;
    unsigned width = 0;
    size_t size = 0;
    int32_t unwritable = -1;
    const Status status = run_chain(work->plan, units.data, unsigned(units.kind), units.length, work->space, meter,
                                    &result, &width, &size, &unwritable);
    reading.lock();
    if (!finished(status, lexicons.borrow())) return nullptr;
    return output_str(text, result, width, size);
}

int chain_traverse(PyObject *object, visitproc visit, void *arg) {
    Py_VISIT(reinterpret_cast<ChainObject *>(object)->lexicons);
    return 0;
}

int chain_clear(PyObject *object) {
    Py_CLEAR(reinterpret_cast<ChainObject *>(object)->lexicons);
    return 0;
}

void chain_dealloc(PyObject *object) {
    auto *self = reinterpret_cast<ChainObject *>(object);
    PyObject_GC_UnTrack(object);
    chain_clear(object);
    PyMem_Free(self->segment_words);
    delete self->idle;
    // A subclass's instance: its own dealloc, which called this, releases the type.
    Py_TYPE(object)->tp_free(object);
}

PyMemberDef chain_members[] = {
    {"lexicons", Py_T_OBJECT_EX, offsetof(ChainObject, lexicons), Py_READONLY,
     "The lexicons of the passes in order: the normalization's, the segmentation's (None without one), the steps'."},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef chain_methods[] = {
    {"convert", chain_convert, METH_O,
     "convert($self, text, /)\n--\n\n"
     "text converted through the chain: the normalization over the whole text,\n"
     "then each step over every segment."},
    {nullptr, nullptr, 0, nullptr},
};

// ---- Conversion dictionaries -------------------------------------------------

// Raises ValueError "NAME: line N REASON".
void bad_line(PyObject *name, size_t line, const char *reason) {
    PyErr_Format(PyExc_ValueError, "%U: line %zu %s", name, line, reason);
}

// Adds `key` (not empty) and `value`, each UTF-8 bytes, to `entries`; false
// with an exception set, ValueError naming the line for bytes that are not
// UTF-8 or a key given before.
bool add_entry(PyObject *entries, const char *key, size_t key_bytes, const char *value, size_t value_bytes,
               PyObject *name, size_t line) {
    OwnedRef k = OwnedRef::steal(word_str(key, key_bytes));
    OwnedRef v = k ? OwnedRef::steal(word_str(value, value_bytes)) : OwnedRef();
    if (!v) {
        if (PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) PyErr_Clear(), bad_line(name, line, "is not UTF-8");
        return false;
    }
    const int known = PyDict_Contains(entries, k.borrow());
    if (known != 0) {
        if (known > 0) {
            OwnedRef shown = OwnedRef::steal(PyObject_Repr(k.borrow()));
            if (shown) PyErr_Format(PyExc_ValueError, "%U: line %zu: the key %U is given twice", name, line, shown.borrow());
        }
        return false;
    }
    return PyDict_SetItem(entries, k.borrow(), v.borrow()) == 0;
}

PyObject *read_conversion_dictionary(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs != 2 || !PyBytes_Check(args[0]) || !PyUnicode_Check(args[1])) {
        PyErr_SetString(PyExc_TypeError, "read_conversion_dictionary() takes the file's bytes and its name");
        return nullptr;
    }
    PyObject *name = args[1];
    const char *at = PyBytes_AS_STRING(args[0]);
    const char *const end = at + PyBytes_GET_SIZE(args[0]);
    if (end - at >= 3 && std::memcmp(at, "\xEF\xBB\xBF", 3) == 0) at += 3;
    OwnedRef entries = OwnedRef::steal(PyDict_New());
    if (!entries) return nullptr;
    for (size_t line = 1; at < end; ++line) {
        const char *stop = static_cast<const char *>(std::memchr(at, '\n', size_t(end - at)));
        if (stop == nullptr) stop = end;
        const char *next = stop == end ? end : stop + 1;
        if (stop > at && stop[-1] == '\r') --stop;
        if (stop > at && *at != '#') {
            const char *tab = static_cast<const char *>(std::memchr(at, '\t', size_t(stop - at)));
            if (tab == nullptr) {
                bad_line(name, line, "has no tab between a key and its values");
                return nullptr;
            }
            const char *value = tab + 1;
            const char *space = static_cast<const char *>(std::memchr(value, ' ', size_t(stop - value)));
            if (tab > at && !add_entry(entries.borrow(), at, size_t(tab - at), value,
                                       size_t((space != nullptr ? space : stop) - value), name, line))
                return nullptr;
        }
        at = next;
    }
    return entries.release();
}

PyMethodDef conversion_functions[] = {
    {"read_conversion_dictionary", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_conversion_dictionary)),
     METH_FASTCALL,
     "read_conversion_dictionary(data, name, /)\n--\n\n"
     "The entries of a conversion dictionary, given as the bytes of its file:\n"
     "a dict of each key to its first value, from lines key<TAB>value[ value...]\n"
     "(a UTF-8 byte order mark first, lines ending in \\n or \\r\\n, empty lines and\n"
     "lines beginning with # skipped, lines with an empty key too). ValueError,\n"
     "naming `name` and the line, for a line without a tab, bytes that are not\n"
     "UTF-8 or a key given twice."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_conversion_chain(PyObject *module) {
    if (PyModule_AddFunctions(module, conversion_functions) < 0) return -1;
    ChainType.tp_name = "ondrel_velarin.lexicon_c.ConversionChain";
    ChainType.tp_basicsize = sizeof(ChainObject);
    ChainType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    ChainType.tp_doc = "ConversionChain(normalization, segmentation, steps, segment_words, /)\n--\n\n"
                       "Lexicons run as a conversion chain (see ondrel_velarin.Converter): the\n"
                       "normalization's over the whole text, the segmentation's (or None), then\n"
                       "the steps' over each segment. segment_words (an iterable of str, or\n"
                       "None) are the words of a segmentation that the first step makes as it\n"
                       "converts.";
    ChainType.tp_new = chain_new;
    ChainType.tp_dealloc = chain_dealloc;
    ChainType.tp_traverse = chain_traverse;
    ChainType.tp_clear = chain_clear;
    ChainType.tp_methods = chain_methods;
    ChainType.tp_members = chain_members;
    if (PyType_Ready(&ChainType) < 0) return -1;
    return PyModule_AddObjectRef(module, "ConversionChain", reinterpret_cast<PyObject *>(&ChainType));
}

}  // namespace velarin
