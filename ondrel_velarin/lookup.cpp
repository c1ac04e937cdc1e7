// Velarin.get_closest_prefix: the function object in the class dictionary
// and its native entry.
//
// This is the hot path. A call binds two arguments, walks the trie over the
// key's characters in place (by whole code points through the code point
// index, or encoding them to UTF-8 only as far as the walk goes; never making
// a bytes object), and hands out a new reference to the matched word's cached
// str.
#include <Python.h>

#include "surface.hpp"

namespace velarin {
namespace {

constexpr const char *lookup_doc =
    "\n        接收一个字符串，返回 Trie 中与之匹配的完整单词。\n        如果没有匹配的单词，则返回空字符串。\n        ";

// A function object that binds like a Python function: fetched through an
// instance it gives a bound method, through the class itself.
struct VelarinFunction {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject *name;
    PyObject *qualname;
    PyObject *module;
    PyObject *doc;
    PyObject *code;
};

PyObject *empty_str = nullptr;
PyObject *lookup_name = nullptr;

// ---- The walk ---------------------------------------------------------------

// Walks the key; returns 0 with the match, or -1 with an exception set.
// Built twice, so processors with a population count instruction use it and
// the rest fall back to the compiler's portable one.
__attribute__((target_clones("popcnt", "default"), flatten)) int walk(const TrieStore &store, PyObject *key,
                                                                       Match *match) {
    const size_t n = size_t(PyUnicode_GET_LENGTH(key));
    return with_code_units(PyUnicode_KIND(key), PyUnicode_DATA(key), [&](const auto *units) {
        // Only the wider kinds can hold a surrogate.
        if (sizeof *units > 1 && has_surrogate(units, n) && raise_encode_error(key) < 0) return -1;
        *match = closest_prefix_code_points(store, units, n);
        return 0;
    });
}

// Builds the code point index; 0, or -1 with the exception a signal handler
// raised meanwhile. Kept out of line: the lookup calls it once per table.
__attribute__((noinline)) int build_index(VelarinObject *self) {
    WorkMeter meter = signal_meter();
    return build_char_index(self->store, &meter) == Status::interrupted && PyErr_Occurred() ? -1 : 0;
}

PyObject *lookup(VelarinObject *self, PyObject *key) {
    if (key == Py_None) {
        PyErr_Format(PyExc_AttributeError, "'NoneType' object has no attribute '%.30s'", "encode");
        return nullptr;
    }
    // The first lookup pays for the code point index once; without memory
    // for it, lookups walk bytes. Its build answers Ctrl-C.
    if (self->store.index.state == CharIndexState::untried && build_index(self) < 0) return nullptr;
    Match match;
    if (walk(self->store, key, &match) < 0) return nullptr;
    if (match.node < 0) return Py_NewRef(empty_str);
    return word_object(self, match.node, match.length);
}

// Subclasses defined in Python may override the method; plain objects never do.
bool may_override(PyTypeObject *type) {
    return type->tp_dictoffset != 0 || (type->tp_flags & (Py_TPFLAGS_HEAPTYPE | Py_TPFLAGS_IS_ABSTRACT)) != 0;
}

PyTypeObject FunctionType = {PyVarObject_HEAD_INIT(nullptr, 0)};

PyObject *get_closest_prefix_vectorcall(PyObject *, PyObject *const *args, size_t nargsf, PyObject *kwnames);

bool is_own_function(PyObject *attribute) {
    return PyObject_TypeCheck(attribute, &FunctionType) &&
           reinterpret_cast<VelarinFunction *>(attribute)->vectorcall == get_closest_prefix_vectorcall;
}

// Calls an override found by attribute lookup; its result must be a str or None.
PyObject *dispatch(PyObject *method, PyObject *key) {
    OwnedRef result = OwnedRef::steal(PyObject_CallOneArg(method, key));
    if (result && !PyUnicode_CheckExact(result.borrow()) && result.borrow() != Py_None) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "unicode", Py_TYPE(result.borrow())->tp_name);
        return nullptr;
    }
    return result.release();
}

// ---- The function object ----------------------------------------------------

PyObject *get_closest_prefix_vectorcall(PyObject *, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject *key = nullptr;
    if (nargs == 2 && kwnames == nullptr)
        key = args[1];
    else if (nargs >= 1)
        key = bind_one("get_closest_prefix", "key", args + 1, nargs - 1, kwnames);
    else
        PyErr_SetString(PyExc_TypeError, "unbound method Velarin.get_closest_prefix() needs an argument");
    PyObject *result = nullptr;
    if (key == nullptr) {
        // the binding error stands
    } else if (!PyObject_TypeCheck(args[0], &VelarinType)) {
        PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", "self",
                     VelarinType.tp_name, Py_TYPE(args[0])->tp_name);
    } else if (!PyUnicode_CheckExact(key) && key != Py_None) {
        PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", "key",
                     "str", Py_TYPE(key)->tp_name);
    } else {
        result = lookup(reinterpret_cast<VelarinObject *>(args[0]), key);
    }
    if (result == nullptr) add_traceback("get_closest_prefix", __LINE__);
    return result;
}

PyObject *function_descr_get(PyObject *self, PyObject *obj, PyObject *) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject *function_repr(PyObject *self) {
    return PyUnicode_FromFormat("<function %U at %p>", reinterpret_cast<VelarinFunction *>(self)->qualname, self);
}

void function_dealloc(PyObject *self) {
    auto *f = reinterpret_cast<VelarinFunction *>(self);
    Py_XDECREF(f->name);
    Py_XDECREF(f->qualname);
    Py_XDECREF(f->module);
    Py_XDECREF(f->doc);
    Py_XDECREF(f->code);
    PyObject_Free(self);
}

template <PyObject *VelarinFunction::*Field>
PyObject *get_field(PyObject *self, void *) {
    return Py_NewRef(reinterpret_cast<VelarinFunction *>(self)->*Field);
}

PyObject *get_none(PyObject *, void *) { Py_RETURN_NONE; }
PyObject *get_annotations(PyObject *, void *) { return PyDict_New(); }

PyGetSetDef function_getset[] = {
    {"__name__", get_field<&VelarinFunction::name>, nullptr, nullptr, nullptr},
    {"__qualname__", get_field<&VelarinFunction::qualname>, nullptr, nullptr, nullptr},
    {"__module__", get_field<&VelarinFunction::module>, nullptr, nullptr, nullptr},
    {"__doc__", get_field<&VelarinFunction::doc>, nullptr, nullptr, nullptr},
    {"__code__", get_field<&VelarinFunction::code>, nullptr, nullptr, nullptr},
    {"__defaults__", get_none, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

int ready_function_type() {
    PyTypeObject &t = FunctionType;
    t.tp_name = "ondrel_velarin.impl_c.function";
    t.tp_basicsize = sizeof(VelarinFunction);
    // A method descriptor lets the interpreter call obj.get_closest_prefix(key)
    // without making a bound method first.
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
                 Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION;
    t.tp_vectorcall_offset = offsetof(VelarinFunction, vectorcall);
    t.tp_call = PyVectorcall_Call;
    t.tp_descr_get = function_descr_get;
    t.tp_repr = function_repr;
    t.tp_dealloc = function_dealloc;
    t.tp_getset = function_getset;
    return PyType_Ready(&t);
}

// The code description: parameters self and key, so that inspect.signature
// and tools that read __code__ see the method's real parameters.
PyObject *make_code() {
    OwnedRef module_code = OwnedRef::steal(Py_CompileString(
        "class Velarin:\n    def get_closest_prefix(self, key): pass\n", source_path, Py_file_input));
    if (!module_code) return nullptr;
    auto find_code = [](PyObject *code) -> PyObject * {
        OwnedRef consts = OwnedRef::steal(PyObject_GetAttrString(code, "co_consts"));
        if (!consts) return nullptr;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(consts.borrow()); ++i)
            if (PyCode_Check(PyTuple_GET_ITEM(consts.borrow(), i))) return Py_NewRef(PyTuple_GET_ITEM(consts.borrow(), i));
        PyErr_SetString(PyExc_RuntimeError, "no code description for get_closest_prefix");
        return nullptr;
    };
    OwnedRef class_code = OwnedRef::steal(find_code(module_code.borrow()));
    return class_code ? find_code(class_code.borrow()) : nullptr;
}

}  // namespace

PyObject *make_get_closest_prefix() {
    if (ready_function_type() < 0) return nullptr;
    if (empty_str == nullptr && (empty_str = PyUnicode_FromStringAndSize("", 0)) == nullptr) return nullptr;
    if (lookup_name == nullptr && (lookup_name = PyUnicode_InternFromString("get_closest_prefix")) == nullptr)
        return nullptr;
    auto *f = PyObject_New(VelarinFunction, &FunctionType);
    if (f == nullptr) return nullptr;
    f->vectorcall = get_closest_prefix_vectorcall;
    f->name = Py_NewRef(lookup_name);
    f->qualname = PyUnicode_FromString("Velarin.get_closest_prefix");
    f->module = PyUnicode_FromString(module_name);
    f->doc = PyUnicode_FromString(lookup_doc);
    f->code = make_code();
    OwnedRef held = OwnedRef::steal(reinterpret_cast<PyObject *>(f));
    if (!f->qualname || !f->module || !f->doc || !f->code) return nullptr;
    return held.release();
}

namespace {

PyObject *dispatch_or_look_up(VelarinObject *self, PyObject *key, int skip_dispatch) {
    if (!skip_dispatch && may_override(Py_TYPE(self))) {
        OwnedRef method = OwnedRef::steal(PyObject_GetAttr(reinterpret_cast<PyObject *>(self), lookup_name));
        if (!method) return nullptr;
        if (!is_own_function(method.borrow())) return dispatch(method.borrow(), key);
    }
    return lookup(self, key);
}

}  // namespace

PyObject *get_closest_prefix(VelarinObject *self, PyObject *key, int skip_dispatch) {
    PyObject *result = dispatch_or_look_up(self, key, skip_dispatch);
    if (result == nullptr) add_traceback("get_closest_prefix", __LINE__);
    return result;
}

}  // namespace velarin
