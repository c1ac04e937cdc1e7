// ondrel_velarin.wordpiece_c: the module of the WordPiece types.
#include <Python.h>

#include <cstring>

#include "surface.hpp"
#include "wordpiece_surface.hpp"

namespace velarin {
namespace {

PyObject *velarin_type = nullptr;  // strong, for the life of the process

int wordpiece_exec(PyObject *module) {
    OwnedRef impl = OwnedRef::steal(PyImport_ImportModule(module_name));
    if (!impl) return -1;
    OwnedRef type = OwnedRef::steal(PyObject_GetAttrString(impl.borrow(), "Velarin"));
    if (!type) return -1;
    auto *t = reinterpret_cast<PyTypeObject *>(type.borrow());
    if (!PyType_Check(type.borrow()) || (t->tp_flags & Py_TPFLAGS_HEAPTYPE) != 0 ||
        t->tp_basicsize != Py_ssize_t(sizeof(VelarinObject)) || std::strcmp(t->tp_name, velarin_type_name) != 0) {
        PyErr_Format(PyExc_ImportError, "%s.Velarin is not the type this module was built with", module_name);
        return -1;
    }
    Py_XSETREF(velarin_type, type.release());
    return add_wordpiece_types(module);
}

PyModuleDef_Slot wordpiece_module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(wordpiece_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef wordpiece_module = {
    PyModuleDef_HEAD_INIT, WORDPIECE_MODULE, "BERT-style subword tokenisation over tries.", 0, nullptr,
    wordpiece_module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyTypeObject *velarin_type_object() { return reinterpret_cast<PyTypeObject *>(velarin_type); }

}  // namespace velarin

PyMODINIT_FUNC PyInit_wordpiece_c() { return PyModuleDef_Init(&velarin::wordpiece_module); }
