/* The floor of call overhead, for the benchmarks only (never installed).
 *
 * `floor.floor` is an instance of a type that is not a builtin, called the
 * way the interpreter calls any such callable: through its vectorcall
 * slot. The call checks that it got two positional arguments and returns
 * None, which is as little as a callable of a non-builtin type can do; it
 * ignores keywords, which the benchmarks never pass it. `str_sundle(1, 2)`
 * is measured against it.
 *
 * `floor.measure(fn, *args)` returns fn(*args) and does nothing else: the
 * instruction counter (bench/instructions.py) collects only while
 * `floor_measure` runs, with callgrind's --toggle-collect.
 *
 * `floor.sink(*args)` returns None, whatever it is given: the writer that
 * writes nothing, which bench.py hands korvex.dict.write's functions so
 * that only their gathering is measured. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <stddef.h>

typedef struct {
    PyObject_HEAD
    vectorcallfunc vectorcall;
} floor_object;

static PyObject *
floor_call(PyObject *self, PyObject *const *args, size_t nargsf,
           PyObject *kwnames)
{
    (void)self;
    (void)args;
    (void)kwnames;
    if (PyVectorcall_NARGS(nargsf) != 2) {
        PyErr_SetString(PyExc_TypeError,
                        "floor() takes exactly 2 positional arguments");
        return NULL;
    }
    Py_RETURN_NONE;
}

static PyTypeObject floor_type = {
    PyVarObject_HEAD_INIT(NULL, 0)
    .tp_name = "floor.Floor",
    .tp_basicsize = sizeof(floor_object),
    .tp_vectorcall_offset = offsetof(floor_object, vectorcall),
    .tp_call = PyVectorcall_Call,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL,
    .tp_doc = "The cheapest callable of a non-builtin type.",
};

/* Not inlined into the method table's caller and named for callgrind. */
__attribute__((noinline)) static PyObject *
floor_measure(PyObject *module, PyObject *const *args, Py_ssize_t nargs)
{
    (void)module;
    if (nargs < 1) {
        PyErr_SetString(PyExc_TypeError, "measure() needs a callable");
        return NULL;
    }
    return PyObject_Vectorcall(args[0], args + 1, (size_t)(nargs - 1), NULL);
}

static PyObject *
floor_sink(PyObject *module, PyObject *const *args, Py_ssize_t nargs)
{
    (void)module;
    (void)args;
    (void)nargs;
    Py_RETURN_NONE;
}

static PyMethodDef floor_methods[] = {
    {"measure", (PyCFunction)(void (*)(void))floor_measure, METH_FASTCALL,
     "measure(fn, *args): fn(*args), the span callgrind counts."},
    {"sink", (PyCFunction)(void (*)(void))floor_sink, METH_FASTCALL,
     "sink(*args): None, a writer that writes nothing."},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef floor_module = {
    PyModuleDef_HEAD_INIT,
    .m_name = "floor",
    .m_doc = "Benchmark-only callables: the floor of call overhead.",
    .m_size = -1,
    .m_methods = floor_methods,
};

PyMODINIT_FUNC
PyInit_floor(void)
{
    if (PyType_Ready(&floor_type) < 0) {
        return NULL;
    }
    PyObject *module = PyModule_Create(&floor_module);
    if (module == NULL) {
        return NULL;
    }
    floor_object *floor = PyObject_New(floor_object, &floor_type);
    if (floor == NULL) {
        Py_DECREF(module);
        return NULL;
    }
    floor->vectorcall = floor_call;
    if (PyModule_AddObjectRef(module, "Floor", (PyObject *)&floor_type) < 0 ||
        PyModule_Add(module, "floor", (PyObject *)floor) < 0) {
        Py_DECREF(module);
        return NULL;
    }
    return module;
}
