// ondrel_velarin.lexicon_c: the native base of ondrel_velarin.Lexicon. This
// file is the module and the class's frame: the layout's life (release and
// the collector's visits), its attributes, the checks every method makes,
// and the exec step that gathers the methods the module's files register.
// Construction is in lexicon_build.cpp, the questions in lexicon_query.cpp.
#include <Python.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "lexicon_parts.hpp"
#include "trie/lexicon_image.hpp"

namespace velarin {

PyTypeObject *velarin_type = nullptr;
PyTypeObject LexiconType = {PyVarObject_HEAD_INIT(nullptr, 0)};

namespace {

// The method tables the module's files register, newest first; written only
// while the shared object loads, read by the exec step.
const LexiconMethods *registered_methods = nullptr;

}  // namespace

LexiconMethods::LexiconMethods(PyMethodDef *table) : defs(table), next(registered_methods) { registered_methods = this; }

LexiconObject *lexicon_argument(PyObject *o, const char *function, int position) {
    if (!PyObject_TypeCheck(o, &LexiconType)) {
        if (position > 0)
            PyErr_Format(PyExc_TypeError, "%s() argument %d must be Lexicon, not %.200s", function, position,
                         Py_TYPE(o)->tp_name);
        else
            PyErr_Format(PyExc_TypeError, "descriptor '%s' needs a Lexicon, not %.200s", function, Py_TYPE(o)->tp_name);
        return nullptr;
    }
    auto *lex = reinterpret_cast<LexiconObject *>(o);
    return lexicon_current(lex) ? lex : nullptr;
}

bool lexicon_current(LexiconObject *lex) {
    if (lex->trie == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "this Lexicon was never built");
        return false;
    }
    if (lex->trie->store.generation != lex->generation) {
        PyErr_SetString(PyExc_RuntimeError,
                        "the Lexicon's trie was rebuilt or released since the Lexicon was made; make the Lexicon again");
        return false;
    }
    if (lex->trie->word_ranks == nullptr && !ensure_word_cache(lex->trie)) {
        PyErr_SetString(PyExc_MemoryError, "Failed to allocate memory for the word ranks.");
        return false;
    }
    return true;
}

int lexicon_index(LexiconObject *lex) {
    TrieStore &store = lex->trie->store;
    if (store.index.state != CharIndexState::untried) return 0;
    WorkMeter meter = signal_meter();
    return build_char_index(store, &meter) == Status::interrupted && PyErr_Occurred() ? -1 : 0;
}

namespace {

// Every array of a lexicon comes from malloc, whatever it holds.
void release_values(LexiconObject *lex) {
    if (lex->value_kind == ValueKind::object && lex->values != nullptr) {
        auto *objects = const_cast<PyObject **>(static_cast<PyObject *const *>(lex->values));
        for (Py_ssize_t i = 0; i < lex->num_words; ++i) Py_CLEAR(objects[i]);
    }
    std::free(const_cast<void *>(lex->values));
    lex->values = nullptr;
    lex->value_kind = ValueKind::none;
}

void release_items(LexiconObject *lex) {
    PyObject **items = lex->items;
    if (items == nullptr) return;
    // Freed before the pairs go: a pair's finalizers see no items.
    lex->items = nullptr;
    for (Py_ssize_t i = 0; i < lex->num_words; ++i) Py_XDECREF(items[i]);
    std::free(items);
}

int lexicon_traverse(PyObject *self, visitproc visit, void *arg) {
    auto *lex = reinterpret_cast<LexiconObject *>(self);
    Py_VISIT(lex->tag_names);
    if (lex->items != nullptr)
        for (Py_ssize_t i = 0; i < lex->num_words; ++i) Py_VISIT(lex->items[i]);
    if (lex->value_kind == ValueKind::object && lex->values != nullptr) {
        auto *objects = static_cast<PyObject *const *>(lex->values);
        for (Py_ssize_t i = 0; i < lex->num_words; ++i) Py_VISIT(objects[i]);
    }
    return 0;
}

// Breaks cycles through the values; the lexicon is then left without them,
// on its way out.
int lexicon_clear(PyObject *self) {
    auto *lex = reinterpret_cast<LexiconObject *>(self);
    release_items(lex);
    if (lex->value_kind == ValueKind::object && lex->values != nullptr) {
        auto *objects = const_cast<PyObject **>(static_cast<PyObject *const *>(lex->values));
        for (Py_ssize_t i = 0; i < lex->num_words; ++i) Py_SETREF(objects[i], Py_NewRef(Py_None));
    }
    Py_CLEAR(lex->tag_names);
    return 0;
}

void lexicon_dealloc(PyObject *self) {
    auto *lex = reinterpret_cast<LexiconObject *>(self);
    PyObject_GC_UnTrack(self);
    release_items(lex);
    release_values(lex);
    std::free(const_cast<uint32_t *>(lex->rank_to_id));
    lex->rank_to_id = nullptr;
    std::free(const_cast<void *>(lex->tags));
    lex->tags = nullptr;
    Py_CLEAR(lex->tag_names);
    Py_CLEAR(lex->trie);
    // A subclass's own dealloc, which called this one, drops its type.
    Py_TYPE(self)->tp_free(self);
}

PyObject *get_trie(PyObject *self, void *) {
    auto *lex = reinterpret_cast<LexiconObject *>(self);
    if (lex->trie == nullptr) Py_RETURN_NONE;
    return Py_NewRef(reinterpret_cast<PyObject *>(lex->trie));
}

PyObject *get_value_kind(PyObject *self, void *) {
    static const char *const names[] = {"none", "int32", "int64", "object"};
    return PyUnicode_FromString(names[int(reinterpret_cast<LexiconObject *>(self)->value_kind)]);
}

PyObject *get_tag_names(PyObject *self, void *) {
    auto *lex = reinterpret_cast<LexiconObject *>(self);
    return lex->tag_names != nullptr ? Py_NewRef(lex->tag_names) : PyTuple_New(0);
}

PyGetSetDef lexicon_getset[] = {
    {"trie", get_trie, nullptr,
     "The Velarin the lexicon's words are in, for the package's functions that take one\n"
     "(segment(lex.trie, text)). Rebuilding it ends the lexicon: its queries then raise.",
     nullptr},
    {"value_kind", get_value_kind, nullptr,
     "How the values are kept: 'none' (all None), 'int32' or 'int64' (all ints, in a native\n"
     "array), or 'object' (a reference a word).",
     nullptr},
    {"tag_names", get_tag_names, nullptr, "The distinct tags of the words (jieba's parts of speech), in no particular order.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMappingMethods lexicon_as_mapping = {lexicon_length, lexicon_subscript, nullptr};
PySequenceMethods lexicon_as_sequence = {};

// The methods of every registered table, in one array that the class
// keeps for the life of the process.
std::vector<PyMethodDef> *gather_methods() {
    auto *all = new (std::nothrow) std::vector<PyMethodDef>;
    if (all == nullptr) return nullptr;
    try {
        for (const LexiconMethods *table = registered_methods; table != nullptr; table = table->next)
            for (const PyMethodDef *def = table->defs; def->ml_name != nullptr; ++def) all->push_back(*def);
        all->push_back(PyMethodDef{nullptr, nullptr, 0, nullptr});
    } catch (const std::bad_alloc &) {
        delete all;
        return nullptr;
    }
    return all;
}

int ready_lexicon_type() {
    if (LexiconType.tp_flags & Py_TPFLAGS_READY) return 0;
    std::vector<PyMethodDef> *methods = gather_methods();
    if (methods == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    lexicon_as_sequence.sq_contains = lexicon_contains;
    PyTypeObject &t = LexiconType;
    t.tp_name = "ondrel_velarin.lexicon_c.Lexicon";
    t.tp_basicsize = sizeof(LexiconObject);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_MAPPING;
    t.tp_doc = "The native part of ondrel_velarin.Lexicon: an immutable mapping from words to values over a trie.";
    t.tp_new = lexicon_new;
    t.tp_dealloc = lexicon_dealloc;
    t.tp_traverse = lexicon_traverse;
    t.tp_clear = lexicon_clear;
    t.tp_hash = PyObject_HashNotImplemented;
    t.tp_as_mapping = &lexicon_as_mapping;
    t.tp_as_sequence = &lexicon_as_sequence;
    t.tp_iter = lexicon_iter;
    t.tp_methods = methods->data();
    t.tp_getset = lexicon_getset;
    return PyType_Ready(&t);
}

int lexicon_exec(PyObject *module) {
    if (velarin_type == nullptr) {
        // A static type: it lives as long as the process.
        OwnedRef type = OwnedRef::steal(import_velarin_type());
        if (!type) return -1;
        velarin_type = reinterpret_cast<PyTypeObject *>(type.borrow());
    }
    if (ready_lexicon_type() < 0 || prepare_lexicon_iterator() < 0 || add_conversion_chain(module) < 0) return -1;
    if (PyModule_Add(module, "IMAGE_MAGIC", PyBytes_FromStringAndSize(image_magic, image_magic_bytes)) < 0) return -1;
    if (PyModule_AddObjectRef(module, "Lexicon", reinterpret_cast<PyObject *>(&LexiconType)) < 0) return -1;
    return add_wordpiece_types(module);
}

PyModuleDef_Slot lexicon_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(lexicon_exec)},
    // Its class and the Velarin type it reads are static types of one interpreter.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef lexicon_module = {
    PyModuleDef_HEAD_INIT,
    "ondrel_velarin.lexicon_c",
    "The native base of ondrel_velarin.Lexicon.",
    0,
    nullptr,
    lexicon_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace velarin

PyMODINIT_FUNC PyInit_lexicon_c() { return PyModuleDef_Init(&velarin::lexicon_module); }
