// Segmentation by word frequency on a lexicon whose values are frequencies
// (jieba's route, with and without its HMM; the engine is trie/route.hpp):
// the model a lexicon's frequencies make, kept by the lexicon between
// calls, and the one call over a whole text.
//
// A call reads its arguments, runs the engine over a span of the text's own
// code units into an array of piece ends, and only then makes the segments'
// objects: a word is the trie's cached str, a single character this call's
// shared one, anything else a slice of the text.
#include <Python.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <new>
#include <vector>

#include "lexicon.hpp"
#include "segments.hpp"
#include "trie/route.hpp"
#include "unlocked.hpp"

namespace velarin {
namespace {

// The model of one lexicon's frequencies: the weights by terminal rank,
// the automaton of its long words, the words the HMM must split. It reads
// node numbers of the trie it was made for, and only while that trie holds
// the same table.
struct FrequencyModelObject {
    PyObject_HEAD
    VelarinObject *trie;  // strong
    uint64_t generation;
    RouteModel *model;    // owned
};

PyTypeObject FrequencyModelType = {PyVarObject_HEAD_INIT(nullptr, 0)};

void frequency_model_dealloc(PyObject *self);

// Readies the model's type on first use (a static type, like the module's
// others); 0, or -1 with an exception set.
int prepare_frequency_model_type() {
    if (FrequencyModelType.tp_flags & Py_TPFLAGS_READY) return 0;
    FrequencyModelType.tp_name = "ondrel_velarin.lexicon_c.FrequencyModel";
    FrequencyModelType.tp_doc = "The weights a lexicon's frequencies give its words, for segmentation by frequency.";
    FrequencyModelType.tp_basicsize = sizeof(FrequencyModelObject);
    FrequencyModelType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION;
    FrequencyModelType.tp_dealloc = frequency_model_dealloc;
    return PyType_Ready(&FrequencyModelType);
}

void frequency_model_dealloc(PyObject *self) {
    auto *m = reinterpret_cast<FrequencyModelObject *>(self);
    delete m->model;
    Py_XDECREF(m->trie);
    Py_TYPE(self)->tp_free(self);
}

// The rank of the word `key` (a str) in the lexicon, or -1.
int64_t word_rank_of(const LexiconObject *lex, PyObject *key) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(key);
    return with_code_units(PyUnicode_KIND(key), PyUnicode_DATA(key), [&](const auto *units) -> int64_t {
        if (has_surrogate(units, size_t(n))) return -1;
        const Match match = closest_prefix_code_points(lexicon_store(lex), units, size_t(n));
        if (match.node < 0 || match.length != utf8_length(units, size_t(n))) return -1;
        return word_rank(lex, match.node);
    });
}

// Flags by rank for the words of `words` (an iterable of str) that the
// lexicon holds; false with an exception set.
bool force_split_flags(const LexiconObject *lex, PyObject *words, std::vector<uint8_t> &flags) {
    OwnedRef iterator = OwnedRef::steal(PyObject_GetIter(words));
    if (!iterator) return false;
    while (OwnedRef word = OwnedRef::steal(PyIter_Next(iterator.borrow()))) {
        if (!PyUnicode_Check(word.borrow())) {
            PyErr_Format(PyExc_TypeError, "the words to split must be str, not %.200s", Py_TYPE(word.borrow())->tp_name);
            return false;
        }
        const int64_t rank = word_rank_of(lex, word.borrow());
        if (rank < 0) continue;
        if (flags.empty()) flags.resize(size_t(lex->num_words));
        flags[size_t(rank)] = 1;
    }
    return !PyErr_Occurred();
}

// Refuses a lexicon whose values are not frequencies; false with ValueError.
bool check_frequencies(const LexiconObject *lex) {
    if (!values_are_ints(lex) && lex->num_words > 0) {
        PyErr_SetString(PyExc_ValueError,
                        "segmentation by frequency needs a frequency (an int) for every word, and this "
                        "lexicon's values are not all ints; read a jieba dictionary (`word freq [tag]` lines)");
        return false;
    }
    const TrieStore &store = lexicon_store(lex);
    for (int64_t node = next_terminal(store, 0, store.num_nodes); node >= 0;
         node = next_terminal(store, node + 1, store.num_nodes)) {
        if (int_value(lex, int32_t(node)) >= 0) continue;
        const char *word = store.nodes[node].word;
        OwnedRef text = OwnedRef::steal(word_str(word, word_length(word)));
        if (text)
            PyErr_Format(PyExc_ValueError, "the frequency of %R is %lld; frequencies must be 0 or more", text.borrow(),
                         static_cast<long long>(int_value(lex, int32_t(node))));
        return false;
    }
    return true;
}

// lex._frequency_model(log_total, force_split): the model for the lexicon's
// frequencies, their total having the log `log_total`, the HMM splitting the
// words of the iterable `force_split`.
PyObject *frequency_model(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    LexiconObject *lex = lexicon_argument(self, "_frequency_model", 0);
    if (lex == nullptr) return nullptr;
    if (nargs != 2) {
        PyErr_Format(PyExc_TypeError, "_frequency_model() takes exactly 2 arguments (%zd given)", nargs);
        return nullptr;
    }
    const double log_total = PyFloat_AsDouble(args[0]);
    if (log_total == -1.0 && PyErr_Occurred()) return nullptr;
    std::vector<uint8_t> flags;
    if (!check_frequencies(lex) || !force_split_flags(lex, args[1], flags) || !lexicon_current(lex)) return nullptr;
    if (prepare_frequency_model_type() < 0) return nullptr;
    OwnedRef object = OwnedRef::steal(PyType_GenericAlloc(&FrequencyModelType, 0));
    if (!object) return nullptr;
    auto *m = reinterpret_cast<FrequencyModelObject *>(object.borrow());
    m->model = new (std::nothrow) RouteModel;
    if (m->model == nullptr) return PyErr_NoMemory();
    m->trie = reinterpret_cast<VelarinObject *>(Py_NewRef(reinterpret_cast<PyObject *>(lex->trie)));
    m->generation = lex->generation;
    const Status status = build_route_model(
        lexicon_store(lex), log_total, [&](uint32_t node) { return int_value(lex, int32_t(node)); },
        [&](uint32_t node) { return !flags.empty() && flags[word_rank(lex, int32_t(node))] != 0; }, *m->model);
    if (status != Status::ok) return PyErr_NoMemory();
    return object.release();
}

// The UTF-8 length of the text's code units [start, end).
size_t utf8_length_of(int kind, const void *data, size_t start, size_t end) {
    return with_code_units(kind, data, [&](const auto *units) { return utf8_length(units + start, end - start); });
}

// The HMM's tables in `tables` (None or a bytes object of exactly their
// size), into *out (null for None); false with an exception set.
bool hmm_tables(PyObject *tables, const HmmTables **out) {
    *out = nullptr;
    if (tables == Py_None) return true;
    if (!PyBytes_Check(tables) || PyBytes_GET_SIZE(tables) != Py_ssize_t(sizeof(HmmTables))) {
        PyErr_SetString(PyExc_TypeError, "the HMM's tables must come from ondrel_velarin.HMM");
        return false;
    }
    *out = reinterpret_cast<const HmmTables *>(PyBytes_AS_STRING(tables));
    return true;
}

// The model in `model` for the lexicon; null with an exception set.
const RouteModel *model_of(const LexiconObject *lex, PyObject *model) {
    if (!PyObject_TypeCheck(model, &FrequencyModelType)) {
        PyErr_Format(PyExc_TypeError, "_segment_by_frequency() argument 2 must be a frequency model, not %.200s",
                     Py_TYPE(model)->tp_name);
        return nullptr;
    }
    const auto *m = reinterpret_cast<const FrequencyModelObject *>(model);
    if (m->trie != lex->trie || m->generation != lex->generation) {
        PyErr_SetString(PyExc_ValueError, "the frequency model was made for another lexicon");
        return nullptr;
    }
    return m->model;
}

// Pieces whose objects are looked up together, and how far ahead of the one
// handed out their objects load: a word's str lies anywhere in memory.
constexpr size_t hand_out_block = 256;
constexpr size_t object_ahead = 16;

// Hands out the pieces of the span of the text at `offset`: a block's word
// cache slots asked for first, then their objects, then pushed to
// `segments`. False with an exception set.
bool hand_out(LexiconObject *lex, PyObject *text, size_t offset, const std::vector<RoutePiece> &pieces,
              SegmentBuffer &segments, SingleCharacters &singles) {
    const int kind = PyUnicode_KIND(text);
    const void *data = PyUnicode_DATA(text);
    VelarinObject *trie = lex->trie;
    PyObject *const *slots[hand_out_block];
    PyObject *objects[hand_out_block];
    size_t start = offset;
    for (size_t first = 0; first < pieces.size(); first += hand_out_block) {
        const size_t count = std::min(hand_out_block, pieces.size() - first);
        if (!segments.reserve(count)) return false;
        for (size_t j = 0; j < count; ++j)
            slots[j] = pieces[first + j].node >= 0 ? word_slot(trie, pieces[first + j].node) : nullptr;
        size_t at = start;
        for (size_t j = 0; j < count; ++j) {
            const size_t end = offset + pieces[first + j].end;
            objects[j] = slots[j] != nullptr ? *slots[j]
                         : end - at == 1     ? singles.find(PyUnicode_READ(kind, data, at))
                                             : nullptr;
            at = end;
        }
        for (size_t j = 0; j < count; ++j) {
            if (j + object_ahead < count) __builtin_prefetch(objects[j + object_ahead]);
            const RoutePiece &piece = pieces[first + j];
            const size_t end = offset + piece.end;
            PyObject *segment = objects[j];
            if (segment != nullptr) Py_INCREF(segment);
            else if (piece.node >= 0) segment = make_word_object(trie, piece.node, utf8_length_of(kind, data, start, end));
            else if (end - start == 1) segment = singles.make(PyUnicode_READ(kind, data, start));
            else segment = PyUnicode_Substring(text, Py_ssize_t(start), Py_ssize_t(end));
            if (segment == nullptr) return false;
            segments.push(segment);
            start = end;
        }
    }
    return true;
}

// Texts shorter than this are segmented with the interpreter lock held:
// letting other threads run would cost more than the walks take.
constexpr size_t unlocked_text_min = 2048;
// A text is segmented a span of about this many characters at a time, each
// ending where a block does (blocks are segmented alone), so that its pieces
// take a small array instead of one as large as the text.
constexpr size_t span_length = size_t(1) << 16;

// The end of the span that starts at `start` of units[0..n): past
// span_length characters, where a block ends.
template <typename CodePoint>
size_t span_end(const CodePoint *units, size_t n, size_t start) {
    size_t end = std::min(n, start + span_length);
    while (end < n && is_block_character(units[end - 1]) && is_block_character(units[end])) ++end;
    return end;
}

// lex._segment_by_frequency(text, model, tables): the segments of text by
// the route of greatest probability, with the HMM when tables is not None.
// On a long text the engine runs without the interpreter lock, a span at a
// time, whose objects are then made with it; a signal handler that raises,
// or that rebuilds the lexicon's trie (which ends the lexicon), ends the call.
PyObject *segment_by_frequency(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    LexiconObject *lex = lexicon_argument(self, "_segment_by_frequency", 0);
    if (lex == nullptr) return nullptr;
    if (nargs != 3) {
        PyErr_Format(PyExc_TypeError, "_segment_by_frequency() takes exactly 3 arguments (%zd given)", nargs);
        return nullptr;
    }
    PyObject *text = args[0];
    if (!PyUnicode_Check(text)) {
        PyErr_Format(PyExc_TypeError, "segment() argument 1 must be str, not %.200s", Py_TYPE(text)->tp_name);
        return nullptr;
    }
    const HmmTables *tables;
    const RouteModel *model = model_of(lex, args[1]);
    if (model == nullptr || !hmm_tables(args[2], &tables)) return nullptr;
    if (lexicon_index(lex) < 0 || !lexicon_current(lex)) return nullptr;
    const RecursionGuard guard(" in segment");
    if (!guard.entered()) return nullptr;
    std::unique_ptr<RouteSpace> space(new (std::nothrow) RouteSpace);
    std::unique_ptr<SingleCharacters> singles(new (std::nothrow) SingleCharacters);
    if (!space || !singles) return PyErr_NoMemory();
    const size_t length = size_t(PyUnicode_GET_LENGTH(text));
    SegmentBuffer segments(length);
    std::vector<RoutePiece> pieces;
    UnlockedRead reading(lex->trie);
    WorkMeter meter = reading.meter();
    const bool done = with_code_units(PyUnicode_KIND(text), PyUnicode_DATA(text), [&](const auto *units) {
        for (size_t start = 0; start < length;) {
            const size_t end = span_end(units, length, start);
            pieces.clear();
            if (length >= unlocked_text_min) reading.unlock();
            const Status status =
                segment_by_route(lexicon_store(lex), *model, tables, units + start, end - start, *space, meter, pieces);
            reading.lock();
            if (status == Status::interrupted) {
                if (!PyErr_Occurred()) lexicon_current(lex);  // the lexicon ended
                return false;
            }
            if (status != Status::ok) return PyErr_NoMemory(), false;
            if (!lexicon_current(lex) || !hand_out(lex, text, start, pieces, segments, *singles)) return false;
            start = end;
        }
        return true;
    });
    return done ? segments.take_list() : nullptr;
}

PyMethodDef route_methods[] = {
    {"_frequency_model", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(frequency_model)), METH_FASTCALL,
     "_frequency_model($self, log_total, force_split, /)\n--\n\n"
     "The model of the lexicon's frequencies for segment(method=\"frequency\" or \"hmm\")."},
    {"_segment_by_frequency", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(segment_by_frequency)),
     METH_FASTCALL,
     "_segment_by_frequency($self, text, model, tables, /)\n--\n\n"
     "The segments of text by the route of greatest probability (with the HMM when tables is not None)."},
    {nullptr, nullptr, 0, nullptr},
};

const LexiconMethods registered(route_methods);

}  // namespace

}  // namespace velarin
