// The native types WordPiece and Encoding: BERT-style subword tokenisation
// over two tries (trie/bert_text.hpp, trie/wordpiece.hpp), one call per text.
//
// A call binds its text, lets go of the interpreter lock while the engine
// reads the text's own code units and the tries (both immutable), and
// takes it back to wrap the tokens in an Encoding, whose lists are made when
// asked for. encode_batch tokenises on one thread per core.
#include <Python.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <new>
#include <thread>
#include <vector>

#include "surface.hpp"
#include "trie/bert_text.hpp"
#include "wordpiece_surface.hpp"

namespace velarin {
namespace {

// What a WordPiece owns natively: the matcher over its tries, and the
// tokenizer over the matcher.
struct Engine {
    PieceMatcher matcher;
    BertTokenizer tokenizer;
};

struct WordPieceObject {
    PyObject_HEAD
    PyObject *tries[2];       // strong: the initial and continuation tries the engine reads
    PyObject *token_objects;  // strong: a tuple, the token str of each id (None where no token has it)
    PyObject *id_objects;     // strong: a tuple, the int of each id
    Engine *engine;
    int32_t cls_id, sep_id;   // -1 when the vocabulary lacks them
};

// The tokens of one text, or of a pair: [CLS] first [SEP] second [SEP]
// with special tokens, else first second.
struct Assembled {
    std::vector<Token> tokens;
    uint32_t second = 0;   // where the second text's tokens (type id 1) start: the end without one
    bool pair = false;
    bool special = false;  // [CLS] and [SEP] were added
};

struct EncodingObject {
    PyObject_HEAD
    WordPieceObject *owner;  // strong
    Assembled assembled;     // constructed in place when the object is made
};

PyTypeObject *encoding_type = nullptr;

// ---- Texts ------------------------------------------------------------------

struct TextView {
    const void *data;
    int kind;
    size_t length;
};

// Binds a str argument: 0 with *view set, -1 with TypeError, the encode
// error of a lone surrogate, or OverflowError for a text whose offsets
// would not fit 32 bits.
int bind_text(const char *function, PyObject *text, TextView *view) {
    if (!PyUnicode_Check(text)) {
        PyErr_Format(PyExc_TypeError, "%s() argument must be str, not %.200s", function, Py_TYPE(text)->tp_name);
        return -1;
    }
    *view = TextView{PyUnicode_DATA(text), PyUnicode_KIND(text), size_t(PyUnicode_GET_LENGTH(text))};
    if (view->length >= UINT32_MAX) {
        PyErr_Format(PyExc_OverflowError, "%s(): texts of 2**32 - 1 characters or more are not supported", function);
        return -1;
    }
    if (view->kind != PyUnicode_1BYTE_KIND &&
        with_code_units(view->kind, view->data, [&](const auto *units) { return has_surrogate(units, view->length); }))
        return raise_encode_error(text) < 0 ? -1 : 0;
    return 0;
}

// Built twice, so processors with a population count instruction use it
// in the tries' child rule.
__attribute__((target_clones("popcnt", "default"), flatten)) bool tokenize_view(
    const Engine &engine, const TextView &view, TextSpace &space, std::vector<Token> &out, WorkMeter &meter) {
    return with_code_units(view.kind, view.data, [&](const auto *units) {
        return engine.tokenizer.tokenize(units, view.length, space, out, meter);
    });
}

// The meter of work done without the interpreter lock: when it asks, the
// lock is taken back just long enough to run the signal handlers, so that
// Ctrl-C stops a long text within milliseconds.
struct UnlockedSignals {
    PyThreadState *state;  // of the thread that let the lock go, while it is let go

    static bool go_on(void *context) {
        auto *self = static_cast<UnlockedSignals *>(context);
        PyEval_RestoreThread(self->state);
        const bool raised = PyErr_CheckSignals() != 0;
        self->state = PyEval_SaveThread();
        return !raised;
    }
};

// Runs work(meter) with the lock released and the meter above; true when
// it finished, false with an exception set (MemoryError, or what a signal
// handler raised).
template <typename Work>
bool run_unlocked(Work work) {
    UnlockedSignals signals{PyEval_SaveThread()};
    WorkMeter meter{UnlockedSignals::go_on, &signals};
    bool done = false, memory = true;
    try {
        done = work(meter);
    } catch (const std::bad_alloc &) {
        memory = false;
    }
    PyEval_RestoreThread(signals.state);
    if (!memory) PyErr_NoMemory();
    return done && memory;
}

// ---- Encodings --------------------------------------------------------------

// Keeps at most `budget` of the tokens from `a_first` on in a and of b's,
// taking from the longer: when both are longer than half of it, the first
// keeps the half (rounded down) unless it is the longer.
void truncate_pair(std::vector<Token> &a, size_t a_first, std::vector<Token> *b, size_t budget) {
    const size_t na = a.size() - a_first, nb = b != nullptr ? b->size() : 0;
    if (na + nb <= budget) return;
    size_t keep_a, keep_b;
    if (na > nb) keep_b = std::min(nb, budget / 2), keep_a = budget - keep_b;
    else keep_a = std::min(na, budget / 2), keep_b = budget - keep_a;
    a.resize(a_first + keep_a);
    if (b != nullptr) b->resize(keep_b);
}

// Where a text's tokens are put: after a slot for [CLS], with special
// tokens; finish() then takes the vector over as it is.
void begin_tokens(std::vector<Token> &a, bool special) {
    if (special) a.push_back(Token{});
}

// The encoding of a (begun by begin_tokens) and b, truncated, with the
// special tokens added; a is taken over.
Assembled finish(const WordPieceObject *self, std::vector<Token> &a, std::vector<Token> *b, bool special,
                 size_t max_length) {
    const size_t lead = special ? 1 : 0;
    if (max_length != SIZE_MAX) truncate_pair(a, lead, b, max_length - (special ? (b != nullptr ? 3 : 2) : 0));
    Assembled out;
    out.special = special, out.pair = b != nullptr;
    if (special) a[0] = Token{self->cls_id, 0, 0}, a.push_back(Token{self->sep_id, 0, 0});
    out.second = uint32_t(a.size());
    if (b != nullptr) {
        a.insert(a.end(), b->begin(), b->end());
        if (special) a.push_back(Token{self->sep_id, 0, 0});
    }
    out.tokens = std::move(a);
    return out;
}

// A new Encoding that takes over `assembled`, or NULL with an exception set.
PyObject *new_encoding(WordPieceObject *owner, Assembled &&assembled) {
    auto *e = PyObject_New(EncodingObject, encoding_type);
    if (e == nullptr) return nullptr;
    e->owner = reinterpret_cast<WordPieceObject *>(Py_NewRef(reinterpret_cast<PyObject *>(owner)));
    new (&e->assembled) Assembled(std::move(assembled));
    return reinterpret_cast<PyObject *>(e);
}

void encoding_dealloc(PyObject *o) {
    auto *e = reinterpret_cast<EncodingObject *>(o);
    e->assembled.~Assembled();
    Py_DECREF(reinterpret_cast<PyObject *>(e->owner));
    PyTypeObject *type = Py_TYPE(o);
    PyObject_Free(o);
    Py_DECREF(type);
}

// A list of one object per token, made by item(token, index) as a new
// reference (or NULL with an exception set).
template <typename Item>
PyObject *token_list(const EncodingObject *e, Item item) {
    const std::vector<Token> &tokens = e->assembled.tokens;
    OwnedRef list = OwnedRef::steal(PyList_New(Py_ssize_t(tokens.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < tokens.size(); ++i) {
        PyObject *value = item(tokens[i], i);
        if (value == nullptr) return nullptr;
        PyList_SET_ITEM(list.borrow(), Py_ssize_t(i), value);
    }
    return list.release();
}

PyObject *encoding_ids(PyObject *o, void *) {
    auto *e = reinterpret_cast<EncodingObject *>(o);
    PyObject *ids = e->owner->id_objects;
    return token_list(e, [&](const Token &t, size_t) { return Py_NewRef(PyTuple_GET_ITEM(ids, t.id)); });
}

PyObject *encoding_tokens(PyObject *o, void *) {
    auto *e = reinterpret_cast<EncodingObject *>(o);
    PyObject *tokens = e->owner->token_objects;
    return token_list(e, [&](const Token &t, size_t) { return Py_NewRef(PyTuple_GET_ITEM(tokens, t.id)); });
}

PyObject *encoding_offsets(PyObject *o, void *) {
    return token_list(reinterpret_cast<EncodingObject *>(o), [](const Token &t, size_t) -> PyObject * {
        PyObject *pair = PyTuple_New(2);
        if (pair == nullptr) return nullptr;
        PyObject *start = PyLong_FromUnsignedLong(t.start), *end = start ? PyLong_FromUnsignedLong(t.end) : nullptr;
        if (end == nullptr) {
            Py_XDECREF(start);
            Py_DECREF(pair);
            return nullptr;
        }
        PyTuple_SET_ITEM(pair, 0, start);
        PyTuple_SET_ITEM(pair, 1, end);
        return pair;
    });
}

PyObject *encoding_type_ids(PyObject *o, void *) {
    const Assembled &a = reinterpret_cast<EncodingObject *>(o)->assembled;
    return token_list(reinterpret_cast<EncodingObject *>(o),
                      [&](const Token &, size_t i) { return PyLong_FromLong(i >= a.second); });
}

PyObject *encoding_special_tokens_mask(PyObject *o, void *) {
    const Assembled &a = reinterpret_cast<EncodingObject *>(o)->assembled;
    const size_t last = a.tokens.size() - 1;
    return token_list(reinterpret_cast<EncodingObject *>(o), [&](const Token &, size_t i) {
        return PyLong_FromLong(a.special && (i == 0 || i == last || (a.pair && i + 1 == a.second)));
    });
}

Py_ssize_t encoding_length(PyObject *o) {
    return Py_ssize_t(reinterpret_cast<EncodingObject *>(o)->assembled.tokens.size());
}

PyObject *encoding_repr(PyObject *o) {
    return PyUnicode_FromFormat("Encoding(num_tokens=%zd)", encoding_length(o));
}

PyGetSetDef encoding_getset[] = {
    {"ids", encoding_ids, nullptr, "The tokens' ids, a new list.", nullptr},
    {"tokens", encoding_tokens, nullptr, "The tokens, a new list of str.", nullptr},
    {"offsets", encoding_offsets, nullptr,
     "Each token's (start, end) in characters of its text, a new list; (0, 0) for added tokens.", nullptr},
    {"type_ids", encoding_type_ids, nullptr, "0 for each token of the first text, 1 for the second's.", nullptr},
    {"special_tokens_mask", encoding_special_tokens_mask, nullptr,
     "1 for each added token ([CLS], [SEP]), 0 for the others.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot encoding_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(encoding_dealloc)},
    {Py_tp_getset, encoding_getset},
    {Py_tp_repr, reinterpret_cast<void *>(encoding_repr)},
    {Py_sq_length, reinterpret_cast<void *>(encoding_length)},
    {Py_tp_doc, const_cast<char *>("The tokens of one text or pair, from WordPiece.encode.")},
    {0, nullptr},
};

PyType_Spec encoding_spec = {WORDPIECE_MODULE ".Encoding", sizeof(EncodingObject), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                             encoding_slots};

// ---- Arguments --------------------------------------------------------------

// The keyword arguments of encode and encode_batch.
struct EncodeOptions {
    bool special = true;
    size_t max_length = SIZE_MAX;
};

// Reads add_special_tokens and max_length; 0, or -1 with an exception set.
int bind_options(const char *function, const WordPieceObject *self, PyObject *const *values, PyObject *kwnames,
                 EncodeOptions *options) {
    const Py_ssize_t count = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject *name = PyTuple_GET_ITEM(kwnames, i);
        if (PyUnicode_EqualToUTF8(name, "add_special_tokens")) {
            const int truth = PyObject_IsTrue(values[i]);
            if (truth < 0) return -1;
            options->special = truth != 0;
        } else if (PyUnicode_EqualToUTF8(name, "max_length")) {
            if (values[i] == Py_None) continue;
            const Py_ssize_t n = PyNumber_AsSsize_t(values[i], PyExc_OverflowError);
            if (n == -1 && PyErr_Occurred()) return -1;
            if (n < 0) {
                PyErr_Format(PyExc_ValueError, "%s(): max_length must not be negative", function);
                return -1;
            }
            options->max_length = size_t(n);
        } else {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function, name);
            return -1;
        }
    }
    if (options->special && (self->cls_id < 0 || self->sep_id < 0)) {
        PyErr_Format(PyExc_ValueError, "%s(): the vocabulary has no [CLS] or [SEP] token to add; pass "
                     "add_special_tokens=False", function);
        return -1;
    }
    return 0;
}

// The room max_length must leave for the added tokens; 0, or -1 with
// ValueError set.
int check_room(const char *function, const EncodeOptions &options, bool pair) {
    const size_t added_count = options.special ? (pair ? 3 : 2) : 0;
    if (options.max_length != SIZE_MAX && options.max_length < added_count) {
        PyErr_Format(PyExc_ValueError, "%s(): max_length=%zu leaves no room for the %zu added tokens", function,
                     options.max_length, added_count);
        return -1;
    }
    return 0;
}

// ---- WordPiece --------------------------------------------------------------

WordPieceObject *as_wordpiece(PyObject *o) { return reinterpret_cast<WordPieceObject *>(o); }

// The engine of a WordPiece, or NULL with an exception set for one that
// was never made (its class's __new__ skipped).
const Engine *engine_of(WordPieceObject *self) {
    if (self->engine == nullptr) PyErr_SetString(PyExc_ValueError, "this WordPiece was never built");
    return self->engine;
}

// Texts shorter than this are tokenised without letting the lock go:
// letting it go and taking it back would cost more than others gain.
constexpr size_t unlocked_characters = 4096;

// Appends the tokens of one text to out, with the interpreter lock released
// when the text is long; false with an exception set. The buffers of the
// calls of a thread are kept for its next call.
bool tokenize_one(const Engine &engine, const TextView &view, std::vector<Token> &out) {
    thread_local TextSpace space;
    if (view.length < unlocked_characters) {
        WorkMeter meter;  // without a go_on: never stops
        try {
            return tokenize_view(engine, view, space, out, meter);
        } catch (const std::bad_alloc &) {
            PyErr_NoMemory();
            return false;
        }
    }
    return run_unlocked([&](WorkMeter &meter) { return tokenize_view(engine, view, space, out, meter); });
}

PyObject *wordpiece_encode(PyObject *o, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    WordPieceObject *self = as_wordpiece(o);
    const Engine *engine = engine_of(self);
    if (engine == nullptr) return nullptr;
    if (nargs < 1 || nargs > 2) {
        PyErr_Format(PyExc_TypeError, "encode() takes 1 or 2 positional arguments (%zd given)", nargs);
        return nullptr;
    }
    EncodeOptions options;
    TextView views[2];
    const bool pair = nargs == 2 && args[1] != Py_None;
    if (bind_options("encode", self, args + nargs, kwnames, &options) < 0 || check_room("encode", options, pair) < 0 ||
        bind_text("encode", args[0], &views[0]) < 0 || (pair && bind_text("encode", args[1], &views[1]) < 0))
        return nullptr;
    std::vector<Token> a, b;
    try {
        begin_tokens(a, options.special);
        if (!tokenize_one(*engine, views[0], a) || (pair && !tokenize_one(*engine, views[1], b))) return nullptr;
        return new_encoding(self, finish(self, a, pair ? &b : nullptr, options.special, options.max_length));
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    }
}

PyObject *wordpiece_tokenize(PyObject *o, PyObject *text) {
    WordPieceObject *self = as_wordpiece(o);
    const Engine *engine = engine_of(self);
    TextView view;
    if (engine == nullptr || bind_text("tokenize", text, &view) < 0) return nullptr;
    std::vector<Token> tokens;
    if (!tokenize_one(*engine, view, tokens)) return nullptr;
    OwnedRef list = OwnedRef::steal(PyList_New(Py_ssize_t(tokens.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < tokens.size(); ++i)
        PyList_SET_ITEM(list.borrow(), Py_ssize_t(i), Py_NewRef(PyTuple_GET_ITEM(self->token_objects, tokens[i].id)));
    return list.release();
}

// The cores this process may run on.
unsigned usable_cores() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
    return std::max(1u, std::thread::hardware_concurrency());
}

// Below this many characters in all, a batch is tokenised on the calling
// thread: starting threads would cost more than they save.
constexpr size_t threaded_batch_characters = size_t(1) << 16;

// Tokenises views[k] into results[k] for every k, on the calling thread
// (with its meter) and `threads - 1` more; false when the meter stopped it.
// Workers stop soon after the calling thread does.
bool tokenize_all(const Engine &engine, const std::vector<TextView> &views, std::vector<std::vector<Token>> &results,
                  unsigned threads, WorkMeter &meter) {
    std::atomic<size_t> next{0};
    std::atomic<bool> stop{false}, no_memory{false};
    auto work = [&](WorkMeter &own) {
        try {
            TextSpace space;
            for (size_t k; !stop.load() && (k = next.fetch_add(1)) < views.size();)
                if (!tokenize_view(engine, views[k], space, results[k], own)) stop = true;
        } catch (const std::bad_alloc &) {
            no_memory = stop = true;
        }
    };
    auto stopped = [](void *flag) { return !static_cast<std::atomic<bool> *>(flag)->load(); };
    std::vector<std::thread> workers;
    try {
        for (unsigned t = 1; t < threads; ++t)
            workers.emplace_back([&]() {
                WorkMeter own{stopped, &stop};
                work(own);
            });
    } catch (const std::exception &) {
        // Fewer threads than asked: the others share the work.
    }
    work(meter);
    for (std::thread &w : workers) w.join();
    if (no_memory.load()) throw std::bad_alloc();
    return !stop.load();
}

PyObject *wordpiece_encode_batch(PyObject *o, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    WordPieceObject *self = as_wordpiece(o);
    const Engine *engine = engine_of(self);
    if (engine == nullptr) return nullptr;
    if (nargs != 1) {
        PyErr_Format(PyExc_TypeError, "encode_batch() takes 1 positional argument (%zd given)", nargs);
        return nullptr;
    }
    EncodeOptions options;
    if (bind_options("encode_batch", self, args + nargs, kwnames, &options) < 0) return nullptr;
    // The batch's own references: the caller's sequence may change while
    // the lock is released.
    OwnedRef items = OwnedRef::steal(PySequence_Tuple(args[0]));
    if (!items) return nullptr;
    const Py_ssize_t n = PyTuple_GET_SIZE(items.borrow());
    std::vector<TextView> views;
    std::vector<uint8_t> pairs(size_t(n), 0);
    size_t characters = 0;
    try {
        views.reserve(size_t(n) * 2);
        for (Py_ssize_t k = 0; k < n; ++k) {
            PyObject *item = PyTuple_GET_ITEM(items.borrow(), k);
            PyObject *texts[2] = {item, nullptr};
            if (PyTuple_Check(item)) {
                if (PyTuple_GET_SIZE(item) != 2) {
                    PyErr_Format(PyExc_TypeError, "encode_batch(): item %zd is a tuple of %zd, not a pair of texts", k,
                                 PyTuple_GET_SIZE(item));
                    return nullptr;
                }
                texts[0] = PyTuple_GET_ITEM(item, 0), texts[1] = PyTuple_GET_ITEM(item, 1);
                pairs[size_t(k)] = 1;
            }
            if (check_room("encode_batch", options, pairs[size_t(k)] != 0) < 0) return nullptr;
            for (PyObject *text : texts) {
                TextView view{nullptr, PyUnicode_1BYTE_KIND, 0};
                if (text != nullptr && bind_text("encode_batch", text, &view) < 0) return nullptr;
                views.push_back(view);
                characters += view.length;
            }
        }
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    }
    std::vector<std::vector<Token>> results;
    try {
        results.resize(views.size());
        for (size_t k = 0; k < views.size(); k += 2) begin_tokens(results[k], options.special);
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    }
    const unsigned threads = characters < threaded_batch_characters ? 1 : std::min<unsigned>(usable_cores(), unsigned(n));
    if (!run_unlocked([&](WorkMeter &meter) { return tokenize_all(*engine, views, results, threads, meter); }))
        return nullptr;
    OwnedRef list = OwnedRef::steal(PyList_New(n));
    if (!list) return nullptr;
    for (Py_ssize_t k = 0; k < n; ++k) {
        std::vector<Token> *second = pairs[size_t(k)] ? &results[size_t(2 * k + 1)] : nullptr;
        PyObject *encoding;
        try {
            encoding = new_encoding(self, finish(self, results[size_t(2 * k)], second, options.special, options.max_length));
        } catch (const std::bad_alloc &) {
            return PyErr_NoMemory();
        }
        std::vector<Token>().swap(results[size_t(2 * k + 1)]);
        if (encoding == nullptr) return nullptr;
        PyList_SET_ITEM(list.borrow(), k, encoding);
    }
    return list.release();
}

// The id of each terminal node of a trie's store, from the words it was
// built from and their ids.
struct NodeIds {
    std::vector<int64_t> by_node[2];
};

int64_t id_of_node(const void *context, int trie, uint32_t node) {
    return static_cast<const NodeIds *>(context)->by_node[trie][node];
}

// Fills ids->by_node[t] from a list of words (those the trie was built
// from) and a list of their ids; 0, or -1 with an exception set.
int collect_node_ids(const TrieStore &store, PyObject *words, PyObject *word_ids, std::vector<int64_t> &by_node) {
    if (!PyList_Check(words) || !PyList_Check(word_ids) || PyList_GET_SIZE(words) != PyList_GET_SIZE(word_ids)) {
        PyErr_SetString(PyExc_TypeError, "words and ids must be lists of one length");
        return -1;
    }
    by_node.assign(store.nodes != nullptr ? size_t(store.num_nodes) : 0, -1);
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(words); ++k) {
        PyObject *word = PyList_GET_ITEM(words, k);
        const long long id = PyLong_AsLongLong(PyList_GET_ITEM(word_ids, k));
        if (id == -1 && PyErr_Occurred()) return -1;
        TextView view;
        if (bind_text("WordPiece", word, &view) < 0) return -1;
        const Match match = with_code_units(view.kind, view.data, [&](const auto *units) {
            return closest_prefix_code_points(store, units, view.length);
        });
        const size_t bytes =
            with_code_units(view.kind, view.data, [&](const auto *units) { return utf8_length(units, view.length); });
        if (match.node < 0 || match.length != bytes || match.node >= int64_t(by_node.size())) {
            PyErr_SetString(PyExc_ValueError, "a word is not in its trie");
            return -1;
        }
        by_node[size_t(match.node)] = id;
    }
    return 0;
}

// WordPiece(initial, initial_words, initial_ids, continuation, continuation_words,
//           continuation_ids, token_objects, id_objects, specials, options)
PyObject *wordpiece_new(PyTypeObject *type, PyObject *args, PyObject *kwds) {
    PyObject *tries[2], *words[2], *word_ids[2], *token_objects, *id_objects, *specials;
    int clean_text, chinese, strip, lower;
    Py_ssize_t max_chars;
    int unknown_id, cls_id, sep_id;
    if (kwds != nullptr && PyDict_GET_SIZE(kwds) > 0) {
        PyErr_SetString(PyExc_TypeError, "WordPiece's native constructor takes no keyword arguments");
        return nullptr;
    }
    if (!PyArg_ParseTuple(args, "O!OOO!OOO!O!O!(ppppniii):WordPiece", velarin_type_object(), &tries[0], &words[0],
                          &word_ids[0], velarin_type_object(), &tries[1], &words[1], &word_ids[1], &PyTuple_Type,
                          &token_objects, &PyTuple_Type, &id_objects, &PyList_Type, &specials, &clean_text, &chinese,
                          &strip, &lower, &max_chars, &unknown_id, &cls_id, &sep_id))
        return nullptr;
    const Py_ssize_t vocabulary = PyTuple_GET_SIZE(token_objects);
    if (PyTuple_GET_SIZE(id_objects) != vocabulary || unknown_id < 0 || unknown_id >= vocabulary ||
        cls_id >= vocabulary || sep_id >= vocabulary || max_chars < 0) {
        PyErr_SetString(PyExc_ValueError, "WordPiece: inconsistent ids");
        return nullptr;
    }
    const TrieStore *stores[2] = {&reinterpret_cast<VelarinObject *>(tries[0])->store,
                                  &reinterpret_cast<VelarinObject *>(tries[1])->store};
    auto ids = std::make_unique<NodeIds>();
    for (int t = 0; t < 2; ++t)
        if (collect_node_ids(*stores[t], words[t], word_ids[t], ids->by_node[t]) < 0) return nullptr;
    std::vector<SpecialToken> special_tokens;
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(specials); ++k) {
        PyObject *item = PyList_GET_ITEM(specials, k);
        PyObject *text;
        int id;
        if (!PyArg_ParseTuple(item, "Ui", &text, &id)) return nullptr;
        SpecialToken s{{}, id};
        for (Py_ssize_t i = 0; i < PyUnicode_GET_LENGTH(text); ++i) s.text.push_back(PyUnicode_READ_CHAR(text, i));
        special_tokens.push_back(std::move(s));
    }
    TextOptions options;
    options.clean_text = clean_text != 0, options.chinese = chinese != 0, options.strip_accents = strip != 0,
    options.lowercase = lower != 0, options.max_word_length = uint32_t(std::min<Py_ssize_t>(max_chars, UINT32_MAX));
    OwnedRef made = OwnedRef::steal(type->tp_alloc(type, 0));
    if (!made) return nullptr;
    auto *self = as_wordpiece(made.borrow());
    for (int t = 0; t < 2; ++t) self->tries[t] = Py_NewRef(tries[t]);
    self->token_objects = Py_NewRef(token_objects);
    self->id_objects = Py_NewRef(id_objects);
    self->cls_id = cls_id, self->sep_id = sep_id;
    for (Py_ssize_t k = 0; k < vocabulary; ++k)
        if (!PyLong_Check(PyTuple_GET_ITEM(id_objects, k))) {
            PyErr_SetString(PyExc_TypeError, "WordPiece: id objects must be ints");
            return nullptr;
        }
    Engine *engine = static_cast<Engine *>(::operator new(sizeof(Engine), std::nothrow));
    if (engine == nullptr) return PyErr_NoMemory();
    try {
        new (&engine->matcher) PieceMatcher(*stores[0], *stores[1], id_of_node, ids.get());
        if (!engine->matcher.ok()) {
            engine->matcher.~PieceMatcher();
            throw std::bad_alloc();
        }
        try {
            new (&engine->tokenizer) BertTokenizer(engine->matcher, options, unknown_id, std::move(special_tokens));
        } catch (...) {
            engine->matcher.~PieceMatcher();
            throw;
        }
    } catch (const std::bad_alloc &) {
        ::operator delete(engine);
        return PyErr_NoMemory();
    }
    self->engine = engine;
    return made.release();
}

int wordpiece_traverse(PyObject *o, visitproc visit, void *arg) {
    WordPieceObject *self = as_wordpiece(o);
    Py_VISIT(Py_TYPE(o));
    Py_VISIT(self->tries[0]);
    Py_VISIT(self->tries[1]);
    Py_VISIT(self->token_objects);
    Py_VISIT(self->id_objects);
    return 0;
}

void wordpiece_dealloc(PyObject *o) {
    WordPieceObject *self = as_wordpiece(o);
    PyObject_GC_UnTrack(o);
    if (self->engine != nullptr) {
        self->engine->tokenizer.~BertTokenizer();
        self->engine->matcher.~PieceMatcher();
        ::operator delete(self->engine);
    }
    Py_CLEAR(self->tries[0]);
    Py_CLEAR(self->tries[1]);
    Py_CLEAR(self->token_objects);
    Py_CLEAR(self->id_objects);
    PyTypeObject *type = Py_TYPE(o);
    type->tp_free(o);
    Py_DECREF(type);
}

PyObject *wordpiece_nbytes(PyObject *o, PyObject *) {
    const Engine *engine = engine_of(as_wordpiece(o));
    return engine != nullptr ? PyLong_FromSize_t(sizeof(Engine) + engine->matcher.bytes()) : nullptr;
}

PyMethodDef wordpiece_methods[] = {
    {"encode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(wordpiece_encode)),
     METH_FASTCALL | METH_KEYWORDS,
     "encode($self, text, pair=None, /, *, add_special_tokens=True, max_length=None)\n--\n\n"
     "The tokens of text (and of pair, when given) as an Encoding: ids, tokens,\n"
     "offsets in characters of the text, type ids. With add_special_tokens,\n"
     "[CLS] text [SEP] (pair [SEP]). With max_length, tokens are taken off the\n"
     "end of the longer text until the whole fits."},
    {"tokenize", wordpiece_tokenize, METH_O,
     "tokenize($self, text, /)\n--\n\nThe tokens of text as a list of str, without special tokens."},
    {"encode_batch", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(wordpiece_encode_batch)),
     METH_FASTCALL | METH_KEYWORDS,
     "encode_batch($self, texts, /, *, add_special_tokens=True, max_length=None)\n--\n\n"
     "encode() of each text (a str, or a (text, pair) tuple), tokenised on\n"
     "one thread per core; a list of Encodings."},
    {"_native_bytes", wordpiece_nbytes, METH_NOARGS, "Bytes of the matcher's links."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot wordpiece_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(wordpiece_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(wordpiece_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(wordpiece_traverse)},
    {Py_tp_methods, wordpiece_methods},
    {Py_tp_doc, const_cast<char *>("The native part of ondrel_velarin.WordPiece.")},
    {0, nullptr},
};

PyType_Spec wordpiece_spec = {WORDPIECE_MODULE ".WordPiece", sizeof(WordPieceObject), 0,
                              Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC |
                                  Py_TPFLAGS_IMMUTABLETYPE,
                              wordpiece_slots};

}  // namespace

int add_wordpiece_types(PyObject *module) {
    PyObject *encoding = PyType_FromModuleAndSpec(module, &encoding_spec, nullptr);
    if (encoding == nullptr) return -1;
    encoding_type = reinterpret_cast<PyTypeObject *>(encoding);
    if (PyModule_AddObjectRef(module, "Encoding", encoding) < 0) return -1;
    OwnedRef wordpiece = OwnedRef::steal(PyType_FromModuleAndSpec(module, &wordpiece_spec, nullptr));
    if (!wordpiece) return -1;
    return PyModule_AddObjectRef(module, "WordPiece", wordpiece.borrow());
}

}  // namespace velarin
