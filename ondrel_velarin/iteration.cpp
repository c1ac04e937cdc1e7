// iter(Velarin): a generator that yields each distinct stored string once,
// in ascending node index.
//
// The generator keeps its place in an iteration state record, which holds the
// strong reference to the object. The loop bound is read at the first step,
// but the node table is read afresh at every step and the walk never goes past
// its current end: if the object is constructed again while a generator is
// suspended, the generator goes on over the new table from the index after the
// last one it yielded; if the store is released, it ends.
#include <Python.h>
#include <frameobject.h>

#include <cstring>

#include "surface.hpp"

namespace velarin {
namespace {

struct IterState {
    PyObject_HEAD
    VelarinObject *self;
    int32_t ix;     // index of the node yielded last
    int32_t bound;  // num_nodes as read at the first step
};

struct VelarinGenerator {
    PyObject_HEAD
    IterState *state;  // null once the generator is finished
    int started;
};

PyTypeObject IterStateType = {PyVarObject_HEAD_INIT(nullptr, 0)};
PyTypeObject GeneratorType = {PyVarObject_HEAD_INIT(nullptr, 0)};

// Released state records, handed out again last in, first out.
constexpr int state_cache_size = 8;
IterState *state_cache[state_cache_size];
int state_cache_count = 0;

bool generator_registered = false;

PyObject *iter_name = nullptr;
PyObject *iter_qualname = nullptr;
PyObject *iter_module = nullptr;

// Returns a new, tracked state record, or NULL with an exception set.
IterState *new_state(VelarinObject *self) {
    IterState *state;
    if (state_cache_count > 0) {
        state = state_cache[--state_cache_count];
        std::memset(static_cast<void *>(state), 0, sizeof(IterState));
        PyObject_Init(reinterpret_cast<PyObject *>(state), &IterStateType);
    } else {
        state = PyObject_GC_New(IterState, &IterStateType);
        if (state == nullptr) return nullptr;
    }
    state->self = reinterpret_cast<VelarinObject *>(Py_NewRef(reinterpret_cast<PyObject *>(self)));
    state->ix = -1;
    state->bound = 0;
    PyObject_GC_Track(state);
    return state;
}

int state_traverse(PyObject *o, visitproc visit, void *arg) {
    Py_VISIT(reinterpret_cast<IterState *>(o)->self);
    return 0;
}

void state_dealloc(PyObject *o) {
    auto *state = reinterpret_cast<IterState *>(o);
    PyObject_GC_UnTrack(o);
    Py_CLEAR(state->self);
    if (state_cache_count < state_cache_size && Py_TYPE(o)->tp_basicsize == sizeof(IterState))
        state_cache[state_cache_count++] = state;
    else
        Py_TYPE(o)->tp_free(o);
}

void finish(VelarinGenerator *generator) { Py_CLEAR(generator->state); }

// One step of the walk: a new reference to the next word, or NULL when the
// walk is done (no exception) or failed (exception set); either way the
// generator is then finished.
PyObject *step(VelarinGenerator *generator) {
    IterState *state = generator->state;
    if (state == nullptr) return nullptr;
    const TrieStore &store = state->self->store;
    if (!generator->started) {
        generator->started = 1;
        state->bound = store.num_nodes;
    }
    const int64_t ix = next_terminal(store, int64_t(state->ix) + 1, state->bound);
    if (ix < 0) {
        finish(generator);
        return nullptr;
    }
    state->ix = int32_t(ix);
    PyObject *word = word_object(state->self, ix, word_length(store.nodes[ix].word));
    if (word == nullptr) {
        add_traceback("__iter__", __LINE__);
        finish(generator);
    }
    return word;
}

PyObject *generator_next(PyObject *o) { return step(reinterpret_cast<VelarinGenerator *>(o)); }

PyObject *generator_send(PyObject *o, PyObject *value) {
    auto *generator = reinterpret_cast<VelarinGenerator *>(o);
    if (!generator->started && generator->state != nullptr && value != Py_None) {
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started generator");
        return nullptr;
    }
    PyObject *word = step(generator);
    if (word == nullptr && !PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
    return word;
}

// Makes the exception that throw(type[, value[, traceback]]) raises, as a
// generator does; returns it as a new reference, or NULL with TypeError set.
PyObject *exception_to_throw(PyObject *type, PyObject *value, PyObject *traceback) {
    if (traceback == Py_None) traceback = nullptr;
    if (traceback != nullptr && !PyTraceBack_Check(traceback)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return nullptr;
    }
    if (PyExceptionClass_Check(type)) {
        PyErr_SetObject(type, value);
    } else if (PyExceptionInstance_Check(type)) {
        if (value != nullptr && value != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return nullptr;
        }
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(type)), type);
    } else {
        PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(type)->tp_name);
        return nullptr;
    }
    PyObject *raised = PyErr_GetRaisedException();
    if (traceback != nullptr && PyException_SetTraceback(raised, traceback) < 0) {
        Py_DECREF(raised);
        return nullptr;
    }
    return raised;
}

// A StopIteration leaving a suspended generator's body becomes RuntimeError,
// as the interpreter's generators turn it (with the StopIteration as cause).
void convert_stop_iteration(PyObject *raised) {
    if (!PyErr_GivenExceptionMatches(raised, PyExc_StopIteration)) {
        PyErr_SetRaisedException(raised);
        return;
    }
    PyErr_SetString(PyExc_RuntimeError, "generator raised StopIteration");
    PyObject *converted = PyErr_GetRaisedException();
    PyException_SetCause(converted, Py_NewRef(raised));
    PyException_SetContext(converted, raised);
    PyErr_SetRaisedException(converted);
}

PyObject *generator_throw(PyObject *o, PyObject *const *args, Py_ssize_t nargs) {
    // The interpreter's own messages for a wrong count.
    if (nargs < 1) {
        PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
        return nullptr;
    }
    if (nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", nargs);
        return nullptr;
    }
    if (nargs > 1 && PyErr_WarnEx(PyExc_DeprecationWarning,
                                  "the (type, exc, tb) signature of throw() is deprecated, "
                                  "use the single-arg signature instead.",
                                  1) < 0)
        return nullptr;
    PyObject *raised = exception_to_throw(args[0], nargs > 1 ? args[1] : nullptr, nargs > 2 ? args[2] : nullptr);
    if (raised == nullptr) return nullptr;
    auto *generator = reinterpret_cast<VelarinGenerator *>(o);
    // Only a walk under way raises it from inside: a generator not yet
    // started, or finished, has it raised as given.
    const bool inside = generator->started && generator->state != nullptr;
    finish(generator);
    if (inside)
        convert_stop_iteration(raised);
    else
        PyErr_SetRaisedException(raised);
    add_traceback("__iter__", __LINE__);
    return nullptr;
}

PyObject *generator_close(PyObject *o, PyObject *) {
    finish(reinterpret_cast<VelarinGenerator *>(o));
    Py_RETURN_NONE;
}

int generator_traverse(PyObject *o, visitproc visit, void *arg) {
    Py_VISIT(reinterpret_cast<VelarinGenerator *>(o)->state);
    return 0;
}

int generator_clear(PyObject *o) {
    finish(reinterpret_cast<VelarinGenerator *>(o));
    return 0;
}

void generator_dealloc(PyObject *o) {
    PyObject_GC_UnTrack(o);
    finish(reinterpret_cast<VelarinGenerator *>(o));
    PyObject_GC_Del(o);
}

PyObject *generator_repr(PyObject *o) { return PyUnicode_FromFormat("<generator object %U at %p>", iter_qualname, o); }

PyObject *get_name(PyObject *, void *) { return Py_NewRef(iter_name); }
PyObject *get_qualname(PyObject *, void *) { return Py_NewRef(iter_qualname); }
PyObject *get_module(PyObject *, void *) { return Py_NewRef(iter_module); }
PyObject *get_running(PyObject *, void *) { Py_RETURN_FALSE; }

// Suspended: started and not finished.
PyObject *get_suspended(PyObject *o, void *) {
    const auto *generator = reinterpret_cast<VelarinGenerator *>(o);
    return PyBool_FromLong(generator->started && generator->state != nullptr);
}

// None once finished; otherwise a frame of the walk (named as the traceback
// entries name it), which is what inspect.getgeneratorstate tells apart.
PyObject *get_frame(PyObject *o, void *) {
    if (reinterpret_cast<VelarinGenerator *>(o)->state == nullptr) Py_RETURN_NONE;
    OwnedRef code = OwnedRef::steal(reinterpret_cast<PyObject *>(PyCode_NewEmpty(source_path, "Velarin.__iter__", 1)));
    OwnedRef globals = OwnedRef::make_new(module_dict());
    if (!globals) globals = OwnedRef::steal(PyDict_New());
    if (!code || !globals) return nullptr;
    return reinterpret_cast<PyObject *>(PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject *>(code.borrow()),
                                                    globals.borrow(), nullptr));
}

PyMethodDef generator_methods[] = {
    {"send", generator_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(generator_throw)), METH_FASTCALL, nullptr},
    {"close", generator_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef generator_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"gi_running", get_running, nullptr, nullptr, nullptr},
    {"gi_suspended", get_suspended, nullptr, nullptr, nullptr},
    {"gi_frame", get_frame, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

int prepare_generator_types() {
    if (iter_name == nullptr && (iter_name = PyUnicode_InternFromString("__iter__")) == nullptr) return -1;
    if (iter_qualname == nullptr && (iter_qualname = PyUnicode_InternFromString("Velarin.__iter__")) == nullptr)
        return -1;
    if (iter_module == nullptr && (iter_module = PyUnicode_InternFromString(module_name)) == nullptr) return -1;

    PyTypeObject &s = IterStateType;
    s.tp_name = "ondrel_velarin.impl_c.iteration_state";
    s.tp_basicsize = sizeof(IterState);
    s.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION;
    s.tp_traverse = state_traverse;
    s.tp_dealloc = state_dealloc;
    if (PyType_Ready(&s) < 0) return -1;

    PyTypeObject &g = GeneratorType;
    g.tp_name = "ondrel_velarin.impl_c.generator";
    g.tp_basicsize = sizeof(VelarinGenerator);
    g.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION;
    g.tp_traverse = generator_traverse;
    g.tp_clear = generator_clear;
    g.tp_dealloc = generator_dealloc;
    g.tp_repr = generator_repr;
    g.tp_iter = PyObject_SelfIter;
    g.tp_iternext = generator_next;
    g.tp_methods = generator_methods;
    g.tp_getset = generator_getset;
    return PyType_Ready(&g);
}

int register_generator_type() {
    if (generator_registered) return 0;
    // collections.abc's classes live in _collections_abc, which the
    // interpreter loads at start: importing collections.abc itself would
    // load the whole collections package for nothing.
    OwnedRef abc = OwnedRef::steal(PyImport_ImportModule("_collections_abc"));
    if (!abc) return -1;
    OwnedRef generator = OwnedRef::steal(PyObject_GetAttrString(abc.borrow(), "Generator"));
    if (!generator) return -1;
    OwnedRef registered = OwnedRef::steal(
        PyObject_CallMethod(generator.borrow(), "register", "O", reinterpret_cast<PyObject *>(&GeneratorType)));
    if (!registered) return -1;
    generator_registered = true;
    return 0;
}

PyObject *velarin_iter(PyObject *self) {
    IterState *state = new_state(reinterpret_cast<VelarinObject *>(self));
    if (state == nullptr) return nullptr;
    auto *generator = PyObject_GC_New(VelarinGenerator, &GeneratorType);
    if (generator == nullptr) {
        Py_DECREF(state);
        return nullptr;
    }
    generator->state = state;
    generator->started = 0;
    PyObject_GC_Track(generator);
    return reinterpret_cast<PyObject *>(generator);
}

}  // namespace velarin
