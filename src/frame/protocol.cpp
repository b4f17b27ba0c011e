// Small pieces of the interpreter's protocol that module bodies share.
#include "frame.hpp"

namespace frame {

PyObject *lookup_global(PyObject *globals, PyObject *name)
{
    PyObject *value;
    int found = PyDict_GetItemRef(globals, name, &value);
    if (found != 0) {
        return value;
    }
    found = PyObject_GetOptionalAttr(state.builtins, name, &value);
    if (found == 0) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return found > 0 ? value : nullptr;
}

int signal_check::run_pending_events()
{
    // Bit 0 of the event bits: another thread has waited for the lock for
    // a switch interval. Releasing the lock with that request pending
    // hands it over before this thread takes it back.
    constexpr std::uintptr_t drop_request = 1;
    // Bit 2: calls scheduled with Py_AddPendingCall.
    constexpr std::uintptr_t calls_to_do = 4;
    std::uintptr_t events =
        __atomic_load_n(&PyThreadState_Get()->eval_breaker, __ATOMIC_RELAXED);
    if (events & drop_request) {
        Py_BEGIN_ALLOW_THREADS Py_END_ALLOW_THREADS
    }
    if ((events & calls_to_do) && Py_MakePendingCalls() < 0) {
        return -1;
    }
    // Signal handlers, and the collection the collector scheduled.
    return PyErr_CheckSignals();
}

int next_item(PyObject *iterator, ref &item)
{
    item = ref::steal(PyIter_Next(iterator));
    if (item) {
        return 1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

int element_walk::start(PyObject *iterable)
{
    if (PyList_CheckExact(iterable) || PyTuple_CheckExact(iterable)) {
        sequence_ = ref::new_ref(iterable);
        return 0;
    }
    iterator_ = ref::steal(PyObject_GetIter(iterable));
    return iterator_ ? 0 : -1;
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

namespace {

// After a failed generic look-up of `name` on `obj`: whether the pending
// error is the look-up's own "no such attribute". The type has no such
// attribute, so no descriptor ran; and the error carries this object and
// this name, which the generic look-up sets on its own error only: an
// AttributeError raised by user code on the way (a key of the instance dict
// whose `__eq__` raises one) carries neither.
bool missing_attribute(PyObject *obj, PyObject *name)
{
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return false;
    }
    // The type look-up must not see the pending exception.
    PyObject *exc = PyErr_GetRaisedException();
    bool missing = false;
    if (PyErr_GivenExceptionMatches(exc, PyExc_AttributeError)) {
        auto *error = reinterpret_cast<PyAttributeErrorObject *>(exc);
        missing = error->obj == obj && error->name != nullptr &&
                  PyUnicode_Check(error->name) &&
                  PyUnicode_Compare(error->name, name) == 0 &&
                  _PyType_Lookup(Py_TYPE(obj), name) == nullptr;
    }
    PyErr_SetRaisedException(exc);
    return missing;
}

}  // namespace

PyObject *no_attribute(PyObject *obj, PyObject *name)
{
    PyErr_Format(PyExc_AttributeError, "'%.200s' object has no attribute '%U'",
                 Py_TYPE(obj)->tp_name, name);
    PyObject *exc = PyErr_GetRaisedException();
    if (Py_IS_TYPE(exc,
                   reinterpret_cast<PyTypeObject *>(PyExc_AttributeError))) {
        auto *error = reinterpret_cast<PyAttributeErrorObject *>(exc);
        Py_XSETREF(error->name, Py_NewRef(name));
        Py_XSETREF(error->obj, Py_NewRef(obj));
    }
    PyErr_SetRaisedException(exc);
    return nullptr;
}

PyObject *call_method_noargs(PyObject *obj, PyObject *name)
{
    if (Py_TYPE(obj)->tp_getattro != PyObject_GenericGetAttr) {
        return PyObject_CallMethodNoArgs(obj, name);
    }
    // The generic look-up itself, not PyObject_GetAttr, which would set
    // this object and name on any AttributeError.
    ref method = ref::steal(PyObject_GenericGetAttr(obj, name));
    if (!method) {
        return missing_attribute(obj, name) ? no_attribute(obj, name)
                                            : nullptr;
    }
    return PyObject_CallNoArgs(method.get());
}

}  // namespace frame

namespace frame {

PyObject *bad_result(PyObject *callable, PyObject *result)
{
    if (result == nullptr) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError,
                            "NULL result without error in PyObject_Call");
        }
        return nullptr;
    }
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

namespace {

[[gnu::cold, gnu::noinline]] PyObject *not_callable(PyObject *callable)
{
    PyErr_Format(PyExc_TypeError, "'%.200s' object is not callable",
                 Py_TYPE(callable)->tp_name);
    return nullptr;
}

}  // namespace

PyObject *classic_call(PyObject *callable, PyObject *const *args,
                       std::size_t nargsf, PyObject *kwnames)
{
    ternaryfunc call = Py_TYPE(callable)->tp_call;
    if (call == nullptr) {
        return not_callable(callable);
    }
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    ref tuple = tuple_of(std::span(args, static_cast<std::size_t>(nargs)));
    ref kwargs = ref::steal(PyDict_New());
    if (!tuple || !kwargs) {
        return nullptr;
    }
    if (kwnames != nullptr) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); i++) {
            if (PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(kwnames, i),
                               args[nargs + i]) < 0) {
                return nullptr;
            }
        }
    }
    if (Py_EnterRecursiveCall(" while calling a Python object")) {
        return nullptr;
    }
    PyObject *result = call(callable, tuple.get(), kwargs.get());
    Py_LeaveRecursiveCall();
    if (result == nullptr || PyErr_Occurred()) {
        return bad_result(callable, result);
    }
    return result;
}

}  // namespace frame
