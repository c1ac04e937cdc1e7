// The native types WordPiece and Encoding of ondrel_velarin.lexicon_c:
// BERT-style subword tokenisation over two lexicons (the vocabulary's
// word-initial tokens, and its continuation tokens without their prefix,
// each token's value its id), one call per text (trie/bert_text.hpp,
// trie/wordpiece.hpp).
//
// A call binds its text and tokenises it, a long text without the
// interpreter lock (unlocked.hpp: the lexicons' tries are then read only
// through the guard, which stops a rebuild meanwhile), then wraps the tokens
// in an Encoding, whose lists are made when asked for. encode_batch
// tokenises on one thread per core.
#include <Python.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "lexicon_parts.hpp"
#include "trie/bert_text.hpp"
#include "unlocked.hpp"

#define WORDPIECE_MODULE "ondrel_velarin.lexicon_c"

namespace velarin {
namespace {

// What a WordPiece owns natively: the matcher over its tries, and the
// tokenizer over the matcher.
struct Engine {
    Engine(const TrieStore &initial, const TrieStore &continuation, PieceMatcher::TokenIds ids, const void *context,
           const TextOptions &options, int32_t unknown_id, std::vector<SpecialToken> specials)
        : matcher(initial, continuation, ids, context), tokenizer(matcher, options, unknown_id, std::move(specials)) {}

    PieceMatcher matcher;
    BertTokenizer tokenizer;
};

struct WordPieceObject {
    PyObject_HEAD
    LexiconObject *lexicons[2];  // strong: the initial and continuation tokens, whose tries the engine reads
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
// in the tries' child rule (which is inlined here).
__attribute__((target_clones("popcnt", "default"))) bool tokenize_view(
    const Engine &engine, const TextView &view, TextSpace &space, std::vector<Token> &out, WorkMeter &meter) {
    return with_code_units(view.kind, view.data, [&](const auto *units) {
        return engine.tokenizer.tokenize(units, view.length, space, out, meter);
    });
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

// The engine of a WordPiece, or NULL with an exception set: for one that
// was never made (its class's __new__ skipped), or whose lexicons' tries
// were rebuilt since (RuntimeError).
const Engine *engine_of(WordPieceObject *self) {
    if (self->engine == nullptr) {
        PyErr_SetString(PyExc_ValueError, "this WordPiece was never built");
        return nullptr;
    }
    for (LexiconObject *lex : self->lexicons)
        if (!lexicon_current(lex)) return nullptr;
    return self->engine;
}

// A meter over a guard's: after each of the guard's questions (which may run
// interpreter code), false when either trie is no longer the one the engine
// was built on, so that no walk reads the new tables with the old links.
class GuardedMeter {
public:
    GuardedMeter(UnlockedRead &reading, const WordPieceObject *self) : inner_(reading.meter()), self_(self) {
        for (int t = 0; t < 2; ++t) generations_[t] = lexicon_store(self->lexicons[t]).generation;
    }

    WorkMeter meter() { return WorkMeter{go_on, this}; }

    // Whether both tries are still the engine's.
    bool same_tries() const {
        for (int t = 0; t < 2; ++t)
            if (lexicon_store(self_->lexicons[t]).generation != generations_[t]) return false;
        return true;
    }

private:
    static bool go_on(void *context) {
        auto *self = static_cast<GuardedMeter *>(context);
        return self->inner_.go_on(self->inner_.context) && self->same_tries();
    }

    WorkMeter inner_;
    const WordPieceObject *self_;
    uint64_t generations_[2];
};

// After work that `meter` stopped: the exception is the one a signal
// handler raised, or, when the tries changed meanwhile, lexicon_current's.
void raise_stopped(WordPieceObject *self) {
    if (PyErr_Occurred()) return;
    for (LexiconObject *lex : self->lexicons)
        if (!lexicon_current(lex)) return;
    PyErr_SetString(PyExc_RuntimeError, "the WordPiece's tries changed during the call");
}

// Texts shorter than this are tokenised without letting the lock go:
// letting it go and taking it back would cost more than others gain.
constexpr size_t unlocked_characters = 4096;

// Appends the tokens of one text to out, with the interpreter lock released
// when the text is long; false with an exception set. The buffers of the
// calls of a thread are kept for its next call.
bool tokenize_one(WordPieceObject *self, const Engine &engine, const TextView &view, std::vector<Token> &out) {
    thread_local TextSpace space;
    bool done = false;
    try {
        if (view.length < unlocked_characters) {
            WorkMeter meter;  // without a go_on: never stops
            return tokenize_view(engine, view, space, out, meter);
        }
        VelarinObject *const tries[2] = {self->lexicons[0]->trie, self->lexicons[1]->trie};
        UnlockedRead reading(tries, 2);
        GuardedMeter guarded(reading, self);
        WorkMeter meter = guarded.meter();
        reading.unlock();
        done = tokenize_view(engine, view, space, out, meter);
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
        return false;
    }
    if (!done) raise_stopped(self);
    return done;
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
        if (!tokenize_one(self, *engine, views[0], a) || (pair && !tokenize_one(self, *engine, views[1], b)))
            return nullptr;
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
    if (!tokenize_one(self, *engine, view, tokens)) return nullptr;
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

// The threads of one batch. The calling thread's meter is the guard's
// (GuardedMeter), whose questions may run interpreter code that changes the
// tries: before it asks, the workers park at their own meters' next
// question, so that no thread reads the tries meanwhile, and they go on only
// when the tries are unchanged.
class Crew {
public:
    Crew(const Engine &engine, const std::vector<TextView> &views, std::vector<std::vector<Token>> &results,
         GuardedMeter &guarded)
        : engine_(engine), views_(views), results_(results), guarded_(guarded) {}

    // Tokenises views[k] into results[k] for every k, on the calling thread
    // and `threads - 1` more; false when a meter stopped it (the exception,
    // if any, is set), bad_alloc when memory ran out.
    bool run(unsigned threads) {
        std::vector<std::thread> workers;
        try {
            for (unsigned t = 1; t < threads; ++t) {
                workers.emplace_back([this]() {
                    WorkMeter own{worker_go_on, this};
                    work(own);
                    leave();
                });
                ++active_;
            }
        } catch (const std::exception &) {
            // Fewer threads than asked: the others share the work.
        }
        WorkMeter own{caller_go_on, this};
        work(own);
        for (std::thread &w : workers) w.join();
        if (no_memory_.load()) throw std::bad_alloc();
        return !stop_.load();
    }

private:
    void work(WorkMeter &meter) {
        try {
            TextSpace space;
            for (size_t k; !stop_.load() && (k = next_.fetch_add(1)) < views_.size();)
                if (!tokenize_view(engine_, views_[k], space, results_[k], meter)) stop_ = true;
        } catch (const std::bad_alloc &) {
            no_memory_ = stop_ = true;
        }
    }

    void leave() {
        std::lock_guard<std::mutex> hold(mutex_);
        --active_;
        changed_.notify_all();
    }

    static bool worker_go_on(void *context) {
        auto *self = static_cast<Crew *>(context);
        std::unique_lock<std::mutex> hold(self->mutex_);
        if (self->pausing_) {
            ++self->parked_;
            self->changed_.notify_all();
            self->changed_.wait(hold, [self] { return !self->pausing_; });
            --self->parked_;
        }
        return !self->stop_.load();
    }

    static bool caller_go_on(void *context) {
        auto *self = static_cast<Crew *>(context);
        {
            std::unique_lock<std::mutex> hold(self->mutex_);
            self->pausing_ = true;
            self->changed_.wait(hold, [self] { return self->parked_ == self->active_; });
        }
        WorkMeter inner = self->guarded_.meter();
        const bool go_on = inner.go_on(inner.context);
        std::lock_guard<std::mutex> hold(self->mutex_);
        if (!go_on) self->stop_ = true;
        self->pausing_ = false;
        self->changed_.notify_all();
        return go_on;
    }

    const Engine &engine_;
    const std::vector<TextView> &views_;
    std::vector<std::vector<Token>> &results_;
    GuardedMeter &guarded_;
    std::atomic<size_t> next_{0};
    std::atomic<bool> stop_{false}, no_memory_{false};
    std::mutex mutex_;
    std::condition_variable changed_;
    unsigned active_ = 0, parked_ = 0;  // workers still working, and those parked
    bool pausing_ = false;              // the calling thread waits for the workers to park
};

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
    bool done = false;
    try {
        VelarinObject *const tries[2] = {self->lexicons[0]->trie, self->lexicons[1]->trie};
        UnlockedRead reading(tries, 2);
        GuardedMeter guarded(reading, self);
        Crew crew(*engine, views, results, guarded);
        reading.unlock();
        done = crew.run(threads);
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    }
    if (!done) {
        raise_stopped(self);
        return nullptr;
    }
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

// The ids of the tokens: the lexicons' values, which must all be ids of
// the vocabulary (below `vocabulary`); `bad` says when one is not.
struct TokenValues {
    LexiconObject *lexicons[2];
    Py_ssize_t vocabulary;
    mutable bool bad = false;

    static int64_t id_of(const void *context, int trie, uint32_t node) {
        const auto *self = static_cast<const TokenValues *>(context);
        const LexiconObject *lex = self->lexicons[trie];
        const int64_t id = values_are_ints(lex) ? int_value(lex, int32_t(node)) : -1;
        if (id < 0 || id >= self->vocabulary) self->bad = true;
        return id;
    }
};

// The special tokens: a list of (str, id) pairs; false with an exception set.
bool special_tokens_of(PyObject *specials, Py_ssize_t vocabulary, std::vector<SpecialToken> &out) {
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(specials); ++k) {
        PyObject *text;
        int id;
        if (!PyArg_ParseTuple(PyList_GET_ITEM(specials, k), "Ui", &text, &id)) return false;
        if (id < 0 || id >= vocabulary) {
            PyErr_SetString(PyExc_ValueError, "WordPiece: a special token's id is not in the vocabulary");
            return false;
        }
        SpecialToken special{{}, id};
        for (Py_ssize_t i = 0; i < PyUnicode_GET_LENGTH(text); ++i) special.text.push_back(PyUnicode_READ_CHAR(text, i));
        out.push_back(std::move(special));
    }
    return true;
}

// WordPiece(initial, continuation, token_objects, id_objects, specials,
//           (clean_text, chinese, strip_accents, lowercase, max_chars, unknown_id, cls_id, sep_id)):
// the lexicons of the initial and the continuation tokens (values: ids),
// the str and the int of each id (tuples), the special tokens as a list of
// (text, id). ondrel_velarin.WordPiece makes these from a vocabulary.
PyObject *wordpiece_new(PyTypeObject *type, PyObject *args, PyObject *kwds) {
    PyObject *lexicons[2], *token_objects, *id_objects, *specials;
    int clean_text, chinese, strip, lower;
    Py_ssize_t max_chars;
    int unknown_id, cls_id, sep_id;
    if (kwds != nullptr && PyDict_GET_SIZE(kwds) > 0) {
        PyErr_SetString(PyExc_TypeError, "WordPiece's native constructor takes no keyword arguments");
        return nullptr;
    }
    if (!PyArg_ParseTuple(args, "OOO!O!O!(ppppniii):WordPiece", &lexicons[0], &lexicons[1], &PyTuple_Type,
                          &token_objects, &PyTuple_Type, &id_objects, &PyList_Type, &specials, &clean_text, &chinese,
                          &strip, &lower, &max_chars, &unknown_id, &cls_id, &sep_id))
        return nullptr;
    const Py_ssize_t vocabulary = PyTuple_GET_SIZE(token_objects);
    bool consistent = PyTuple_GET_SIZE(id_objects) == vocabulary && unknown_id >= 0 && unknown_id < vocabulary &&
                      cls_id < vocabulary && sep_id < vocabulary && max_chars >= 0;
    for (Py_ssize_t k = 0; consistent && k < vocabulary; ++k)
        consistent = PyLong_Check(PyTuple_GET_ITEM(id_objects, k)) &&
                     (PyUnicode_Check(PyTuple_GET_ITEM(token_objects, k)) || PyTuple_GET_ITEM(token_objects, k) == Py_None);
    if (!consistent) {
        PyErr_SetString(PyExc_ValueError, "WordPiece: inconsistent ids");
        return nullptr;
    }
    TokenValues values{{nullptr, nullptr}, vocabulary};
    for (int t = 0; t < 2; ++t) {
        values.lexicons[t] = lexicon_argument(lexicons[t], "WordPiece", t + 1);
        // Its code point index built now, so that long texts are read without the lock.
        if (values.lexicons[t] == nullptr || lexicon_index(values.lexicons[t]) < 0 ||
            !lexicon_current(values.lexicons[t]))
            return nullptr;
    }
    std::vector<SpecialToken> special_tokens;
    if (!special_tokens_of(specials, vocabulary, special_tokens)) return nullptr;
    TextOptions options;
    options.clean_text = clean_text != 0, options.chinese = chinese != 0, options.strip_accents = strip != 0,
    options.lowercase = lower != 0, options.max_word_length = uint32_t(std::min<Py_ssize_t>(max_chars, UINT32_MAX));
    OwnedRef made = OwnedRef::steal(type->tp_alloc(type, 0));
    if (!made) return nullptr;
    auto *self = as_wordpiece(made.borrow());
    for (int t = 0; t < 2; ++t)
        self->lexicons[t] = reinterpret_cast<LexiconObject *>(Py_NewRef(reinterpret_cast<PyObject *>(values.lexicons[t])));
    self->token_objects = Py_NewRef(token_objects);
    self->id_objects = Py_NewRef(id_objects);
    self->cls_id = cls_id, self->sep_id = sep_id;
    try {
        self->engine = new Engine(lexicon_store(values.lexicons[0]), lexicon_store(values.lexicons[1]), TokenValues::id_of,
                                  &values, options, unknown_id, std::move(special_tokens));
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    }
    if (!self->engine->matcher.ok()) return PyErr_NoMemory();
    if (values.bad) {
        PyErr_SetString(PyExc_ValueError, "WordPiece: the lexicons' values must be ids of the vocabulary");
        return nullptr;
    }
    return made.release();
}

int wordpiece_traverse(PyObject *o, visitproc visit, void *arg) {
    WordPieceObject *self = as_wordpiece(o);
    Py_VISIT(Py_TYPE(o));
    Py_VISIT(reinterpret_cast<PyObject *>(self->lexicons[0]));
    Py_VISIT(reinterpret_cast<PyObject *>(self->lexicons[1]));
    Py_VISIT(self->token_objects);
    Py_VISIT(self->id_objects);
    return 0;
}

void wordpiece_dealloc(PyObject *o) {
    WordPieceObject *self = as_wordpiece(o);
    PyObject_GC_UnTrack(o);
    delete self->engine;
    self->engine = nullptr;
    Py_CLEAR(self->lexicons[0]);
    Py_CLEAR(self->lexicons[1]);
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
