// Small pieces of the interpreter's protocol that module bodies share.
#include "frame.hpp"

namespace frame {

PyObject *lookup_global(PyObject *globals, PyObject *name)
{
    PyObject *value;
    // A failing namespace look-up counts as absent.
    if (PyDict_GetItemRef(globals, name, &value) > 0) {
        return value;
    }
    PyErr_Clear();
    int found = PyObject_GetOptionalAttr(state.builtins, name, &value);
    if (found == 0) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return found > 0 ? value : nullptr;
}

int element_walk::start(PyObject *iterable)
{
    if (PyList_CheckExact(iterable) || PyTuple_CheckExact(iterable)) {
        sequence_ = iterable;
        return 0;
    }
    iterator_ = ref::steal(PyObject_GetIter(iterable));
    return iterator_ ? 0 : -1;
}

int element_walk::next(ref &item)
{
    if (sequence_ != nullptr) {
        if (index_ >= PySequence_Fast_GET_SIZE(sequence_)) {
            return 0;
        }
        item = ref::new_ref(PySequence_Fast_GET_ITEM(sequence_, index_++));
        return 1;
    }
    item = ref::steal(PyIter_Next(iterator_.get()));
    if (item) {
        return 1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

namespace {

[[gnu::cold, gnu::noinline]] int too_few_values(Py_ssize_t count)
{
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack",
                 count, count == 1 ? "" : "s");
    return -1;
}

[[gnu::cold, gnu::noinline]] int too_many_values()
{
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)",
                 static_cast<Py_ssize_t>(2));
    return -1;
}

// The next item of `iterator` into `target`: 1, 0 at the end (StopIteration
// included), or -1 on error.
int next_item(PyObject *iterator, ref &target)
{
    target = ref::steal(PyIter_Next(iterator));
    if (target) {
        return 1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

}  // namespace

int unpack_two(PyObject *item, ref &first, ref &second)
{
    if (PyTuple_Check(item)) {
        Py_ssize_t size = PyTuple_GET_SIZE(item);
        if (size < 2) {
            return too_few_values(size);
        }
        if (size > 2) {
            return too_many_values();
        }
        first = ref::new_ref(PyTuple_GET_ITEM(item, 0));
        second = ref::new_ref(PyTuple_GET_ITEM(item, 1));
        return 0;
    }
    ref iterator = ref::steal(PyObject_GetIter(item));
    if (!iterator) {
        return -1;
    }
    int got = next_item(iterator.get(), first);
    if (got <= 0) {
        return got < 0 ? -1 : too_few_values(0);
    }
    got = next_item(iterator.get(), second);
    if (got <= 0) {
        return got < 0 ? -1 : too_few_values(1);
    }
    ref extra;
    got = next_item(iterator.get(), extra);
    if (got != 0) {
        return got < 0 ? -1 : too_many_values();
    }
    return 0;
}

PyObject *call_method_noargs(PyObject *obj, PyObject *name)
{
    PyTypeObject *type = Py_TYPE(obj);
    if (type->tp_getattro != PyObject_GenericGetAttr) {
        return PyObject_CallMethodNoArgs(obj, name);
    }
    PyObject *method;
    int found = PyObject_GetOptionalAttr(obj, name, &method);
    if (found == 0) {
        PyErr_Format(PyExc_AttributeError,
                     "'%.200s' object has no attribute '%U'", type->tp_name,
                     name);
    }
    if (found <= 0) {
        return nullptr;
    }
    ref bound = ref::steal(method);
    return PyObject_CallNoArgs(bound.get());
}

}  // namespace frame

namespace frame {

namespace {

// The generic call's check of what a callable returned.
PyObject *checked_result(PyObject *callable, PyObject *result)
{
    if (result == nullptr && !PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError,
                        "NULL result without error in PyObject_Call");
    }
    else if (result != nullptr && PyErr_Occurred()) {
        Py_DECREF(result);
        PyObject *cause = PyErr_GetRaisedException();
        PyErr_Format(PyExc_SystemError,
                     "%R returned a result with an exception set", callable);
        PyObject *exc = PyErr_GetRaisedException();
        PyException_SetCause(exc, Py_NewRef(cause));
        PyException_SetContext(exc, cause);
        PyErr_SetRaisedException(exc);
        return nullptr;
    }
    return result;
}

[[gnu::cold, gnu::noinline]] PyObject *not_callable(PyObject *callable)
{
    PyErr_Format(PyExc_TypeError, "'%.200s' object is not callable",
                 Py_TYPE(callable)->tp_name);
    return nullptr;
}

}  // namespace

PyObject *generic_call(PyObject *callable, PyObject *args, PyObject *kwargs)
{
    ternaryfunc call = Py_TYPE(callable)->tp_call;
    if (call == nullptr) {
        return not_callable(callable);
    }
    if (Py_EnterRecursiveCall(" while calling a Python object")) {
        return nullptr;
    }
    PyObject *result = call(callable, args, kwargs);
    Py_LeaveRecursiveCall();
    return checked_result(callable, result);
}

PyObject *generic_vectorcall(PyObject *callable, PyObject *const *args,
                             std::size_t nargsf, PyObject *kwnames)
{
    vectorcallfunc vectorcall = PyVectorcall_Function(callable);
    if (vectorcall == nullptr) {
        if (Py_TYPE(callable)->tp_call == nullptr) {
            return not_callable(callable);
        }
        // Only the classic call: a tuple and, with keywords, a dict.
        Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
        ref tuple = ref::steal(PyTuple_New(nargs));
        if (!tuple) {
            return nullptr;
        }
        for (Py_ssize_t i = 0; i < nargs; i++) {
            PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(args[i]));
        }
        ref kwargs;
        if (kwnames != nullptr) {
            kwargs = ref::steal(PyDict_New());
            if (!kwargs) {
                return nullptr;
            }
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); i++) {
                if (PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(kwnames, i),
                                   args[nargs + i]) < 0) {
                    return nullptr;
                }
            }
        }
        return generic_call(callable, tuple.get(), kwargs.get());
    }
    if (Py_EnterRecursiveCall(" while calling a Python object")) {
        return nullptr;
    }
    PyObject *result = vectorcall(callable, args, nargsf, kwnames);
    Py_LeaveRecursiveCall();
    return checked_result(callable, result);
}

}  // namespace frame
