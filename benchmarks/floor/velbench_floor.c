/* The lookup floor: a static type whose one METH_O method does nothing but
 * hand its argument back. Timing obj.noop(key) in the same loop as a real
 * lookup shows what any native one-argument method call costs. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static PyObject *noop(PyObject *self, PyObject *arg) {
    (void)self;
    return Py_NewRef(arg);
}

static PyMethodDef noop_methods[] = {
    {"noop", noop, METH_O, "Return the argument unchanged."},
    {NULL, NULL, 0, NULL},
};

static PyTypeObject NoopType = {
    PyVarObject_HEAD_INIT(NULL, 0)
    .tp_name = "velbench_floor.Noop",
    .tp_basicsize = sizeof(PyObject),
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = "Holds the no-op method used as the lookup floor.",
    .tp_methods = noop_methods,
    .tp_new = PyType_GenericNew,
};

static struct PyModuleDef floor_module = {
    PyModuleDef_HEAD_INIT, "velbench_floor", "Benchmark floor.", -1, NULL,
};

PyMODINIT_FUNC PyInit_velbench_floor(void) {
    if (PyType_Ready(&NoopType) < 0) return NULL;
    PyObject *m = PyModule_Create(&floor_module);
    if (m == NULL) return NULL;
    if (PyModule_AddObjectRef(m, "Noop", (PyObject *)&NoopType) < 0) {
        Py_DECREF(m);
        return NULL;
    }
    return m;
}
