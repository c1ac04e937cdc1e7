// The module ondrel_velarin.impl_c and its class Velarin: module
// initialisation, the object's life from allocation to release, construction,
// the pickling refusal, argument binding and traceback entries. The lookup
// lives in lookup.cpp, the iteration in iteration.cpp, the trie in trie/.
#include <Python.h>
#include <frameobject.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "copies.hpp"
#include "surface.hpp"
#include "unlocked.hpp"

namespace velarin {
namespace {

constexpr const char *class_doc = "\n    Velarin 的主类。\n    ";
constexpr const char *init_doc = "\n        初始化 Velarin，并根据给定的字符串列表构建 Trie。\n        ";
constexpr const char *pickling_refused =
    "self.bytes_lengths,self.bytes_strings,self.nodes cannot be converted to a Python object for pickling";

// Process-wide state, written only during import.
int64_t recorded_interpreter = -1;
PyObject *the_module = nullptr;  // strong; kept for the life of the process
struct wrapperbase init_slot_copy;

// ---- Native methods ---------------------------------------------------------

void free_string(void *p) { PyMem_Free(p); }

// Each native method that changes the store first waits for the threads
// reading it without the lock (unlocked.hpp).
void cleanup(VelarinObject *self) {
    wait_until_unread(self);
    release_word_objects(self);
    release(self->store, free_string);
}

void build_node_method(VelarinObject *self, int32_t node_index, unsigned char **strings, int32_t *lengths,
                       int32_t num_strings, int32_t position) {
    wait_until_unread(self);
    // Records are about to be added: cached words are indexed by record.
    release_word_objects(self);
    WorkMeter meter = signal_meter();
    const Status status = build_node(self->store, node_index, strings, lengths, num_strings, position, &meter);
    release_word_objects(self);
    raise_status(status);
    if (PyErr_Occurred()) add_traceback("_build_node", __LINE__);
}

void build_trie(VelarinObject *self) {
    wait_until_unread(self);
    release_word_objects(self);
    const Status status = build_root(self->store);
    if (status != Status::ok) {
        raise_status(status);
    } else {
        TrieStore &s = self->store;
        self->vtab->_build_node(self, 0, s.bytes_strings, s.bytes_lengths, s.num_strings, 0);
    }
    if (PyErr_Occurred()) add_traceback("_build_trie", __LINE__);
}

// ---- Construction -----------------------------------------------------------

// Encodes any other item through its own encode("utf-8"), which must give
// exactly bytes.
Py_ssize_t encode_other(PyObject *item, Py_ssize_t i, StringCopies &copies) {
    OwnedRef method = OwnedRef::steal(PyObject_GetAttrString(item, "encode"));
    if (!method) return -1;
    OwnedRef utf8 = OwnedRef::steal(PyUnicode_FromString("utf-8"));
    if (!utf8) return -1;
    OwnedRef encoded = OwnedRef::steal(PyObject_CallOneArg(method.borrow(), utf8.borrow()));
    if (!encoded) return -1;
    if (!PyBytes_CheckExact(encoded.borrow())) {
        if (encoded.borrow() == Py_None)
            PyErr_SetString(PyExc_TypeError, "expected bytes, NoneType found");
        else
            PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "bytes", Py_TYPE(encoded.borrow())->tp_name);
        return -1;
    }
    const size_t length = size_t(PyBytes_GET_SIZE(encoded.borrow()));
    if (check_length(i, length) < 0) return -1;
    unsigned char *at = copies.room(length);
    if (at == nullptr) return -1;
    std::memcpy(at, PyBytes_AS_STRING(encoded.borrow()), length);
    return Py_ssize_t(length);
}

// Item i of the argument: lists and tuples read in place while they are long
// enough, anything else through the item protocol. Returns a new reference.
PyObject *fetch_item(PyObject *strings, Py_ssize_t i) {
    if (PyList_CheckExact(strings) && i < PyList_GET_SIZE(strings)) return Py_NewRef(PyList_GET_ITEM(strings, i));
    if (PyTuple_CheckExact(strings) && i < PyTuple_GET_SIZE(strings)) return Py_NewRef(PyTuple_GET_ITEM(strings, i));
    PySequenceMethods *sequence = Py_TYPE(strings)->tp_as_sequence;
    if (sequence != nullptr && sequence->sq_item != nullptr) return PySequence_GetItem(strings, i);
    OwnedRef index = OwnedRef::steal(PyLong_FromSsize_t(i));
    return index ? PyObject_GetItem(strings, index.borrow()) : nullptr;
}

// Copies item i after the copies before it, marking the bytes it holds.
int copy_item(PyObject *strings, Py_ssize_t i, TrieStore &local, StringCopies &copies, bool (&present)[256]) {
    Py_ssize_t length;
    {
        OwnedRef item = OwnedRef::steal(fetch_item(strings, i));
        if (!item) return -1;
        length = PyUnicode_CheckExact(item.borrow()) ? encode_str(item.borrow(), i, copies)
                                                     : encode_other(item.borrow(), i, copies);
        if (length < 0) return -1;
    }
    const unsigned char *copy = copies.copy();
    for (Py_ssize_t k = 0; k < length; ++k) present[copy[k]] = true;
    local.bytes_lengths[i] = int32_t(length);
    copies.add(size_t(length));
    return 0;
}

// Hands the strings copied so far to the object, whose store is released
// first: code run during the copying may have built it again meanwhile.
void adopt(VelarinObject *self, TrieStore &local) {
    self->vtab->_cleanup(self);
    self->store.bytes_strings = std::exchange(local.bytes_strings, nullptr);
    self->store.bytes_lengths = std::exchange(local.bytes_lengths, nullptr);
    self->store.num_strings = std::exchange(local.num_strings, 0);
    self->store.strings_block = std::exchange(local.strings_block, nullptr);
    self->store.strings_bytes = std::exchange(local.strings_bytes, 0);
}

bool is_exception(PyObject *raised) { return PyObject_TypeCheck(raised, reinterpret_cast<PyTypeObject *>(PyExc_Exception)); }

// Releases the object's store and the strings copied so far when the
// pending error is an Exception. An error outside Exception (a
// KeyboardInterrupt, say) leaves what was built with the object, which frees
// it on release: the strings copied, and once they are the object's, the
// nodes laid out before it came.
void undo_failed_construction(VelarinObject *self, TrieStore &local) {
    PyObject *raised = PyErr_GetRaisedException();
    if (is_exception(raised)) {
        release(local, free_string);
        self->vtab->_cleanup(self);
    } else if (local.bytes_strings != nullptr) {
        adopt(self, local);
    }
    PyErr_SetRaisedException(raised);
}

// Items copied between two runs of the pending signal handlers.
constexpr Py_ssize_t items_per_signal_check = 4096;

// Builds the store from the bound argument. The strings are copied into a
// local store first, since interpreter code runs while they are fetched and
// encoded; only when no more such code can run does the object take them.
// That store is on the heap: encode() may re-enter construction, deeply.
int construct(VelarinObject *self, PyObject *strings) {
    const Py_ssize_t n = PyObject_Length(strings);
    if (n < 0) return -1;
    if (n > INT32_MAX) {
        PyErr_Format(PyExc_OverflowError, "cannot store %zd strings; at most 2147483647 are supported", n);
        return -1;
    }
    if (n == 0) return 0;
    const std::unique_ptr<TrieStore> held(new (std::nothrow) TrieStore{});
    if (!held) {
        PyErr_SetString(PyExc_MemoryError, "Failed to allocate memory for bytes_strings.");
        return -1;
    }
    TrieStore &local = *held;
    local.bytes_strings = static_cast<unsigned char **>(std::malloc(size_t(n) * sizeof(unsigned char *)));
    if (local.bytes_strings == nullptr) {
        PyErr_SetString(PyExc_MemoryError, "Failed to allocate memory for bytes_strings.");
        return -1;
    }
    local.bytes_lengths = static_cast<int32_t *>(std::malloc(size_t(n) * sizeof(int32_t)));
    if (local.bytes_lengths == nullptr) {
        std::free(local.bytes_strings);
        PyErr_SetString(PyExc_MemoryError, "Failed to allocate memory for bytes_lengths.");
        return -1;
    }
    std::memset(local.bytes_strings, 0, size_t(n) * sizeof(unsigned char *));
    local.num_strings = int32_t(n);

    std::memset(local.bytes_lengths, 0, size_t(n) * sizeof(int32_t));
    bool present[256] = {};
    StringCopies copies(local);
    for (Py_ssize_t i = 0; i < n; ++i) {
        const bool stop = i % items_per_signal_check == items_per_signal_check - 1 && PyErr_CheckSignals() < 0;
        if (stop || copy_item(strings, i, local, copies, present) < 0) {
            copies.finish();
            undo_failed_construction(self, local);
            return -1;
        }
    }
    copies.finish();
    adopt(self, local);
    assign_alphabet(self->store, present);
    self->vtab->_build_trie(self);
    if (PyErr_Occurred()) {
        undo_failed_construction(self, local);
        return -1;
    }
    return 0;
}

// ---- Slots ------------------------------------------------------------------

PyObject *velarin_new(PyTypeObject *type, PyObject *, PyObject *) {
    PyObject *o;
    if (type->tp_flags & Py_TPFLAGS_IS_ABSTRACT) {
        OwnedRef empty = OwnedRef::steal(PyTuple_New(0));
        o = empty ? PyBaseObject_Type.tp_new(type, empty.borrow(), nullptr) : nullptr;
    } else {
        o = type->tp_alloc(type, 0);
    }
    if (o != nullptr) reinterpret_cast<VelarinObject *>(o)->vtab = &velarin_vtable;
    return o;
}

void velarin_dealloc(PyObject *o) {
    auto *self = reinterpret_cast<VelarinObject *>(o);
    PyObject *pending = PyErr_GetRaisedException();
    // Held at one while released, so nothing done here can start a second release.
    Py_SET_REFCNT(o, Py_REFCNT(o) + 1);
    self->vtab->_cleanup(self);
    Py_SET_REFCNT(o, Py_REFCNT(o) - 1);
    PyErr_SetRaisedException(pending);
    Py_TYPE(o)->tp_free(o);
}

// Binds `strings` from the initialisation slot's tuple and dict.
PyObject *bind_strings(PyObject *args, PyObject *kwds) {
    PyObject *const *positional = &PyTuple_GET_ITEM(args, 0);
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (kwds == nullptr || PyDict_GET_SIZE(kwds) == 0) return bind_one("__init__", "strings", positional, nargs, nullptr);
    std::vector<PyObject *> values(positional, positional + nargs);
    OwnedRef names = OwnedRef::steal(PyTuple_New(PyDict_GET_SIZE(kwds)));
    if (!names) return nullptr;
    Py_ssize_t pos = 0, k = 0;
    PyObject *name, *value;
    while (PyDict_Next(kwds, &pos, &name, &value)) {
        PyTuple_SET_ITEM(names.borrow(), k++, Py_NewRef(name));
        values.push_back(value);
    }
    return bind_one("__init__", "strings", values.data(), nargs, names.borrow());
}

int velarin_init(PyObject *o, PyObject *args, PyObject *kwds) {
    auto *self = reinterpret_cast<VelarinObject *>(o);
    const RecursionGuard guard(" in Velarin.__init__");
    PyObject *strings = guard.entered() ? bind_strings(args, kwds) : nullptr;
    int rc = -1;
    if (strings != nullptr) {
        // Constructing again replaces the store; the earlier one is released.
        self->vtab->_cleanup(self);
        std::memset(self->store.byte_to_mask, 0, sizeof self->store.byte_to_mask);
        self->store.max_mask_bit = 0;
        rc = construct(self, strings);
    }
    if (rc < 0) add_traceback("__init__", __LINE__);
    return rc;
}

PyObject *velarin_reduce(PyObject *, PyObject *const *, Py_ssize_t nargs, PyObject *kwnames) {
    if (nargs > 0)
        PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", "__reduce__",
                     "exactly", Py_ssize_t(0), "s", nargs);
    else if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0 && !PyUnicode_Check(PyTuple_GET_ITEM(kwnames, 0)))
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", "__reduce__");
    else if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0)
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", "__reduce__",
                     PyTuple_GET_ITEM(kwnames, 0));
    else
        PyErr_SetString(PyExc_TypeError, pickling_refused);
    add_traceback("__reduce__", __LINE__);
    return nullptr;
}

PyObject *velarin_setstate(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (bind_one("__setstate__", "state", args, nargs, kwnames) != nullptr)
        PyErr_SetString(PyExc_TypeError, pickling_refused);
    add_traceback("__setstate__", __LINE__);
    return nullptr;
}

PyMethodDef velarin_methods[] = {
    {"__reduce__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(velarin_reduce)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"__setstate__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(velarin_setstate)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

void fill_velarin_type() {
    PyTypeObject &t = VelarinType;
    t.tp_name = velarin_type_name;
    t.tp_basicsize = sizeof(VelarinObject);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    t.tp_doc = class_doc;
    t.tp_new = velarin_new;
    t.tp_dealloc = velarin_dealloc;
    t.tp_init = velarin_init;
    t.tp_iter = velarin_iter;
    t.tp_methods = velarin_methods;
}

// ---- Module -----------------------------------------------------------------

// Readies the class as a static type whose attributes cannot be changed,
// with the collector paused for the call.
int ready_velarin_type() {
    fill_velarin_type();
    const int gc_was_enabled = PyGC_Disable();
    VelarinType.tp_flags |= Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HEAPTYPE;
    const int rc = PyType_Ready(&VelarinType);
    VelarinType.tp_flags &= ~Py_TPFLAGS_HEAPTYPE;
    if (gc_was_enabled) PyGC_Enable();
    return rc;
}

// Gives the __init__ slot wrapper the class's own docstring, through a copy
// of its slot description that the module owns.
int attach_init_doc() {
    OwnedRef init = OwnedRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject *>(&VelarinType), "__init__"));
    if (!init) return -1;
    if (Py_IS_TYPE(init.borrow(), &PyWrapperDescr_Type)) {
        auto *descriptor = reinterpret_cast<PyWrapperDescrObject *>(init.borrow());
        init_slot_copy = *descriptor->d_base;
        init_slot_copy.doc = init_doc;
        descriptor->d_base = &init_slot_copy;
    }
    return 0;
}

int set_class_item(const char *name, PyObject *value) {
    if (value == nullptr) return -1;
    OwnedRef held = OwnedRef::steal(value);
    if (PyDict_SetItemString(VelarinType.tp_dict, name, held.borrow()) < 0) return -1;
    PyType_Modified(&VelarinType);
    return 0;
}

int warn_on_version_mismatch() {
    const int major = int((Py_Version >> 24) & 0xFF), minor = int((Py_Version >> 16) & 0xFF);
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return 0;
    char message[200];
    std::snprintf(message, sizeof message, "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  PY_MAJOR_VERSION, PY_MINOR_VERSION, module_name, "does not match", major, minor);
    return PyErr_WarnEx(nullptr, message, 1);
}

int add_to_sys_modules(PyObject *module) {
    PyObject *modules = PyImport_GetModuleDict();
    PyObject *existing = nullptr;
    if (PyDict_GetItemStringRef(modules, module_name, &existing) < 0) return -1;
    if (existing != nullptr) {
        Py_DECREF(existing);
        return 0;
    }
    return PyDict_SetItemString(modules, module_name, module);
}

int check_builtins(PyObject *builtins) {
    for (const char *name : {"MemoryError", "range", "TypeError"}) {
        const int has = PyObject_HasAttrStringWithError(builtins, name);
        if (has < 0) return -1;
        if (has == 0) {
            PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
            return -1;
        }
    }
    return 0;
}

// The pickling methods are in the class's method table under their own
// names; make sure the class dictionary maps the names to them.
int install_pickling_refusal() {
    for (const char *name : {"__reduce__", "__setstate__"}) {
        PyObject *method = PyDict_GetItemString(VelarinType.tp_dict, name);
        if (method == nullptr || !Py_IS_TYPE(method, &PyMethodDescr_Type)) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_RuntimeError, "Unable to initialize pickling for %.200s", VelarinType.tp_name);
            return -1;
        }
    }
    PyType_Modified(&VelarinType);
    return 0;
}

int register_generator_or_warn() {
    if (register_generator_type() == 0) return 0;
    PyErr_WriteUnraisable(nullptr);
    return PyErr_WarnEx(PyExc_RuntimeWarning, "ondrel_velarin.impl_c: the iteration generator type could not be "
                        "registered with collections.abc.Generator", 1);
}

// Steps of the exec slot after the module object is taken; *traceable turns
// true once a failure can carry a traceback entry.
int exec_steps(PyObject *module, bool *traceable) {
    PyObject *dict = PyModule_GetDict(module);
    OwnedRef builtins = OwnedRef::steal(PyImport_ImportModule("builtins"));
    if (!builtins || PyDict_SetItemString(dict, "__builtins__", builtins.borrow()) < 0) return -1;
    if (warn_on_version_mismatch() < 0) return -1;
    OwnedRef function = OwnedRef::steal(make_get_closest_prefix());
    if (!function) return -1;
    *traceable = true;
    if (add_to_sys_modules(module) < 0 || check_builtins(builtins.borrow()) < 0) return -1;
    velarin_vtable = VelarinVTable{cleanup, build_trie, build_node_method, get_closest_prefix};
    if (ready_velarin_type() < 0 || attach_init_doc() < 0) return -1;
    if (set_class_item("__pyx_vtable__", PyCapsule_New(&velarin_vtable, nullptr, nullptr)) < 0) return -1;
    if (PyModule_AddObjectRef(module, "Velarin", reinterpret_cast<PyObject *>(&VelarinType)) < 0) return -1;
    if (install_pickling_refusal() < 0) return -1;
    if (prepare_generator_types() < 0 || register_generator_or_warn() < 0) return -1;
    if (set_class_item("get_closest_prefix", function.release()) < 0) return -1;
    return PyModule_Add(module, "__test__", PyDict_New());
}

int module_exec(PyObject *module) {
    if (the_module != nullptr) {
        if (the_module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'impl_c' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    the_module = Py_NewRef(module);
    bool traceable = false;
    if (exec_steps(module, &traceable) == 0) return 0;
    if (traceable) add_traceback(nullptr, __LINE__, "init ondrel_velarin.impl_c");
    Py_CLEAR(the_module);
    return -1;
}

// Copies one attribute of the module spec into the new module's dictionary;
// a missing attribute is skipped, and so is None where `keep_none` is false.
int copy_spec_attribute(PyObject *spec, PyObject *dict, const char *from, const char *to, bool keep_none) {
    PyObject *value = nullptr;
    if (PyObject_GetOptionalAttrString(spec, from, &value) < 0) return -1;
    OwnedRef held = OwnedRef::steal(value);
    if (!held || (!keep_none && held.borrow() == Py_None)) return 0;
    return PyDict_SetItemString(dict, to, held.borrow());
}

PyObject *module_create(PyObject *spec, PyModuleDef *) {
    const int64_t current = PyInterpreterState_GetID(PyThreadState_GetInterpreter(PyThreadState_Get()));
    if (recorded_interpreter == -1) {
        recorded_interpreter = current;
        if (current == -1) return nullptr;
    } else if (current != recorded_interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        return nullptr;
    }
    if (the_module != nullptr) return Py_NewRef(the_module);
    OwnedRef name = OwnedRef::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    OwnedRef module = OwnedRef::steal(PyModule_NewObject(name.borrow()));
    if (!module) return nullptr;
    PyObject *dict = PyModule_GetDict(module.borrow());
    if (copy_spec_attribute(spec, dict, "loader", "__loader__", true) < 0 ||
        copy_spec_attribute(spec, dict, "origin", "__file__", true) < 0 ||
        copy_spec_attribute(spec, dict, "parent", "__package__", true) < 0 ||
        copy_spec_attribute(spec, dict, "submodule_search_locations", "__path__", false) < 0)
        return nullptr;
    return module.release();
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(module_create)},
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
    {0, nullptr},
};

PyMethodDef module_functions[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "impl_c", nullptr, 0, module_functions, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyTypeObject VelarinType = {PyVarObject_HEAD_INIT(nullptr, 0)};
VelarinVTable velarin_vtable;

PyObject *module_dict() { return the_module ? PyModule_GetDict(the_module) : nullptr; }

void add_traceback(const char *method, int line, const char *qualified) {
    char name[160];
    if (method != nullptr) {
        std::snprintf(name, sizeof name, "%s.Velarin.%s", module_name, method);
        qualified = name;
    }
    PyObject *raised = PyErr_GetRaisedException();
    PyCodeObject *code = PyCode_NewEmpty(source_path, qualified, line);
    PyObject *globals = module_dict();
    OwnedRef fresh_globals;
    if (globals == nullptr) {
        fresh_globals = OwnedRef::steal(PyDict_New());
        globals = fresh_globals.borrow();
    }
    PyFrameObject *frame = code && globals ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr) : nullptr;
    // Losing the entry is better than losing the exception it belongs to.
    PyErr_Clear();
    PyErr_SetRaisedException(raised);
    if (frame != nullptr) PyTraceBack_Here(frame);
    Py_XDECREF(frame);
    Py_XDECREF(code);
}

PyObject *bind_one(const char *function, const char *parameter, PyObject *const *args, Py_ssize_t nargs,
                   PyObject *kwnames) {
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw == 0 && nargs == 1) return args[0];
    auto is_parameter = [&](PyObject *name) {
        return PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, parameter) == 0;
    };
    Py_ssize_t found = -1;
    for (Py_ssize_t i = 0; nargs == 0 && found < 0 && i < nkw; ++i)
        if (is_parameter(PyTuple_GET_ITEM(kwnames, i))) found = i;
    if (nargs > 1 || nkw == 0 || (nargs == 0 && found < 0)) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", function,
                     "exactly", Py_ssize_t(1), "", nargs);
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        if (i == found) continue;
        PyObject *name = PyTuple_GET_ITEM(kwnames, i);
        if (!PyUnicode_Check(name))
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", function);
        else if (is_parameter(name))
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", function, name);
        else
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function, name);
        return nullptr;
    }
    return nargs == 1 ? args[0] : args[found];
}

}  // namespace velarin

PyMODINIT_FUNC PyInit_impl_c() { return PyModuleDef_Init(&velarin::module_def); }
