// The function-object type of every korvex function.
//
// Calls arrive through vectorcall (the classic call is turned into one) and
// go through the binding rule to the body named in the function's registration
// row. The attributes mirror those of Python functions, with one difference
// that callers can see: the defaults a call uses are captured at exec, so
// assigning `__defaults__` changes only what the attribute reads.
#include <cstddef>

#include "frame.hpp"

namespace frame {
namespace {

function_object *as_function(PyObject *self)
{
    return reinterpret_cast<function_object *>(self);
}

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KORVEX_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define KORVEX_ASAN 1
#endif

// What one call that runs user code counts against the interpreter's C
// recursion limit. The limit (10,000 in release builds) assumes small C
// frames; a cycle through korvex also runs bound methods, partials and
// attribute look-ups, so each call counts twice, and six times with the
// sanitizer's larger frames. Measured on x86_64 (the smallest thread stack
// in which each cycle shape of the tests ends in RecursionError): at most
// 3,072 KiB with GCC 12 -O3 and 3,264 KiB with Clang 14 (ambrel through a
// bound method or a partial), 3,136 KiB under AddressSanitizer (the write
// functions through `items`); the cycle tests run in a thread of 3.5 MiB,
// so that frames that grow fail there first. Keep large locals out of the
// bodies' own frames.
#ifdef KORVEX_ASAN
constexpr int recursion_units = 6;
#else
constexpr int recursion_units = 2;
#endif

int enter_recursive_call()
{
    for (int i = 0; i < recursion_units; i++) {
        if (Py_EnterRecursiveCall("")) {
            while (i-- > 0) {
                Py_LeaveRecursiveCall();
            }
            return -1;
        }
    }
    return 0;
}

void leave_recursive_call()
{
    for (int i = 0; i < recursion_units; i++) {
        Py_LeaveRecursiveCall();
    }
}

// The body's result; for a failure, with the call's traceback entry.
PyObject *finish(const call &c, PyObject *result)
{
    if (result == nullptr) [[unlikely]] {
        c.add_entry();
    }
    return result;
}

// A body that runs user code. The call owns the function and the bound
// arguments, and counts against the interpreter's C recursion limit as a
// Python function's frame does: a cycle of calls through C-level callables
// (bound methods, partials, builtins) comes back here with no Python frame
// in between.
PyObject *run_calling_out(call &c)
{
    const function_spec &spec = *c.function->spec;
    if (enter_recursive_call() < 0) {
        release_containers(c);
        return finish(c, nullptr);
    }
    auto *self = reinterpret_cast<PyObject *>(c.function);
    Py_INCREF(self);
    std::size_t params = spec.params.size();
    for (std::size_t i = 0; i < params; i++) {
        Py_INCREF(c.slots[i]);
    }
    PyObject *result = finish(c, spec.body(c));
    for (std::size_t i = 0; i < params; i++) {
        Py_DECREF(c.slots[i]);
    }
    release_containers(c);
    leave_recursive_call();
    Py_DECREF(self);
    return result;
}

[[gnu::cold, gnu::noinline]] PyObject *cleared_function()
{
    // Reachable only from a finalizer that runs after the collector cleared
    // this function.
    PyErr_SetString(PyExc_SystemError, "korvex function used after clear");
    return nullptr;
}

// The binding rule, then the body.
[[gnu::noinline]] PyObject *bind_and_run(function_object *f,
                                         PyObject *const *args,
                                         std::size_t nargsf, PyObject *kwnames)
{
    call c(f);
    const function_spec &spec = *f->spec;
    binding b(args, PyVectorcall_NARGS(nargsf), kwnames);
    if (bind_arguments(c, b) < 0) {
        return nullptr;
    }
    return spec.runs_user_code ? run_calling_out(c) : finish(c, spec.body(c));
}

// The vectorcall of a function that runs user code (which every function
// with `*args` or `**kwargs` is taken to do).
PyObject *general_vectorcall(PyObject *self, PyObject *const *args,
                             std::size_t nargsf, PyObject *kwnames) noexcept
{
    function_object *f = as_function(self);
    if (f->globals == nullptr) [[unlikely]] {
        return cleared_function();
    }
    return bind_and_run(f, args, nargsf, kwnames);
}

// The vectorcall of every other function: every parameter given by
// position goes straight to the body, with nothing else to bind and
// nothing to guard.
PyObject *plain_vectorcall(PyObject *self, PyObject *const *args,
                           std::size_t nargsf, PyObject *kwnames) noexcept
{
    function_object *f = as_function(self);
    if (f->globals == nullptr) [[unlikely]] {
        return cleared_function();
    }
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (kwnames == nullptr && nargs == f->param_count) [[likely]] {
        call c(f);
        for (Py_ssize_t i = 0; i < nargs; i++) {
            c.slots[i] = args[i];
        }
        return finish(c, f->spec->body(c));
    }
    return bind_and_run(f, args, nargsf, kwnames);
}

int function_traverse(PyObject *self, visitproc visit, void *arg)
{
    function_object *f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->globals);
    Py_VISIT(f->code);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->default_storage);
    Py_VISIT(f->name);
    Py_VISIT(f->doc);
    Py_VISIT(f->dict);
    Py_VISIT(f->annotations);
    return 0;
}

int function_clear(PyObject *self)
{
    function_object *f = as_function(self);
    // The qualified name stays a str: repr and `__qualname__` rely on it.
    Py_SETREF(f->qualname, PyUnicode_FromStringAndSize(nullptr, 0));
    Py_CLEAR(f->module);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->code);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->default_storage);
    Py_CLEAR(f->name);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->annotations);
    return 0;
}

void function_dealloc(PyObject *self)
{
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakrefs != nullptr) {
        PyObject_ClearWeakRefs(self);
    }
    function_clear(self);
    Py_CLEAR(as_function(self)->qualname);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject *function_repr(PyObject *self)
{
    return PyUnicode_FromFormat("<korvex function %U at %p>",
                                as_function(self)->qualname, self);
}

PyObject *function_descr_get(PyObject *self, PyObject *obj, PyObject *)
{
    if (obj == nullptr || obj == Py_None) {
        return Py_NewRef(self);
    }
    return PyMethod_New(self, obj);
}

PyObject *function_reduce(PyObject *self, PyObject *)
{
    return Py_NewRef(as_function(self)->qualname);
}

// --- attributes -------------------------------------------------------------

PyObject *none_if_null(PyObject *value)
{
    return Py_NewRef(value != nullptr ? value : Py_None);
}

PyObject *get_name(PyObject *self, void *)
{
    function_object *f = as_function(self);
    if (f->name == nullptr) {
        f->name = PyUnicode_InternFromString(f->spec->name);
        if (f->name == nullptr) {
            return nullptr;
        }
    }
    return Py_NewRef(f->name);
}

int set_name(PyObject *self, PyObject *value, void *)
{
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError,
                        "__name__ must be set to a string object");
        return -1;
    }
    Py_XSETREF(as_function(self)->name, Py_NewRef(value));
    return 0;
}

PyObject *get_qualname(PyObject *self, void *)
{
    return Py_NewRef(as_function(self)->qualname);
}

int set_qualname(PyObject *self, PyObject *value, void *)
{
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError,
                        "__qualname__ must be set to a string object");
        return -1;
    }
    Py_XSETREF(as_function(self)->qualname, Py_NewRef(value));
    return 0;
}

PyObject *get_doc(PyObject *self, void *)
{
    return none_if_null(as_function(self)->doc);
}

int set_doc(PyObject *self, PyObject *value, void *)
{
    Py_XSETREF(as_function(self)->doc, Py_XNewRef(value));
    return 0;
}

PyObject *get_dict(PyObject *self, void *)
{
    function_object *f = as_function(self);
    if (f->dict == nullptr) {
        f->dict = PyDict_New();
        if (f->dict == nullptr) {
            return nullptr;
        }
    }
    return Py_NewRef(f->dict);
}

int set_dict(PyObject *self, PyObject *value, void *)
{
    if (value == nullptr) {
        PyErr_SetString(PyExc_TypeError,
                        "function's dictionary may not be deleted");
        return -1;
    }
    if (!PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError,
                        "setting function's dictionary to a non-dict");
        return -1;
    }
    Py_XSETREF(as_function(self)->dict, Py_NewRef(value));
    return 0;
}

PyObject *get_globals(PyObject *self, void *)
{
    return none_if_null(as_function(self)->globals);
}

PyObject *get_none(PyObject *, void *) { Py_RETURN_NONE; }

PyObject *get_code(PyObject *self, void *)
{
    return none_if_null(as_function(self)->code);
}

// Runs the defaults builder once: the tuple of the captured defaults in
// parameter order, and None for the keyword defaults.
int build_defaults(function_object *f)
{
    if (f->defaults_built || f->spec->defaults != defaults_kind::builder) {
        return 0;
    }
    const function_spec &spec = *f->spec;
    PyObject *defaults =
        defaults_tuple(spec.default_values, f->default_storage);
    if (defaults == nullptr) {
        add_function_entry("__defaults__", spec.def_line, f->globals);
        return -1;
    }
    Py_XSETREF(f->defaults, defaults);
    Py_CLEAR(f->kwdefaults);
    f->defaults_built = true;
    return 0;
}

PyObject *get_defaults(PyObject *self, void *)
{
    function_object *f = as_function(self);
    if (build_defaults(f) < 0) {
        return nullptr;
    }
    return none_if_null(f->defaults);
}

PyObject *get_kwdefaults(PyObject *self, void *)
{
    function_object *f = as_function(self);
    if (build_defaults(f) < 0) {
        return nullptr;
    }
    return none_if_null(f->kwdefaults);
}

// An accepted assignment to `__defaults__` or `__kwdefaults__`: warn, then
// store. The builder runs first so that it can never overwrite the value.
int store_defaults(function_object *f, PyObject *&slot, PyObject *value,
                   const char *attribute)
{
    if (build_defaults(f) < 0) {
        return -1;
    }
    char message[200];
    PyOS_snprintf(message, sizeof(message),
                  "assigning %s of %.100s changes only what the attribute "
                  "reads; calls keep the defaults captured at import",
                  attribute, f->spec->name);
    if (PyErr_WarnEx(PyExc_RuntimeWarning, message, 1) < 0) {
        return -1;
    }
    if (value == Py_None) {
        value = nullptr;
    }
    Py_XSETREF(slot, Py_XNewRef(value));
    return 0;
}

int set_defaults(PyObject *self, PyObject *value, void *)
{
    if (value != nullptr && value != Py_None && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError,
                        "__defaults__ must be set to a tuple object");
        return -1;
    }
    function_object *f = as_function(self);
    return store_defaults(f, f->defaults, value, "__defaults__");
}

int set_kwdefaults(PyObject *self, PyObject *value, void *)
{
    if (value != nullptr && value != Py_None && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError,
                        "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    function_object *f = as_function(self);
    return store_defaults(f, f->kwdefaults, value, "__kwdefaults__");
}

PyObject *get_annotations(PyObject *self, void *)
{
    function_object *f = as_function(self);
    if (f->annotations == nullptr) {
        f->annotations = PyDict_New();
        if (f->annotations == nullptr) {
            return nullptr;
        }
    }
    return Py_NewRef(f->annotations);
}

int set_annotations(PyObject *self, PyObject *value, void *)
{
    if (value == Py_None) {
        value = nullptr;
    }
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError,
                        "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_function(self)->annotations, Py_XNewRef(value));
    return 0;
}

PyObject *get_module(PyObject *self, void *)
{
    return none_if_null(as_function(self)->module);
}

int set_module(PyObject *self, PyObject *value, void *)
{
    Py_XSETREF(as_function(self)->module, Py_XNewRef(value));
    return 0;
}

PyObject *get_is_coroutine(PyObject *, void *) { Py_RETURN_FALSE; }

// `__module__` is served here rather than by a descriptor in the type's
// dict, where it would hide the type's own `__module__`.
bool is_module_attribute(PyObject *name)
{
    return PyUnicode_Check(name) && PyUnicode_GET_LENGTH(name) == 10 &&
           PyUnicode_CompareWithASCIIString(name, "__module__") == 0;
}

PyObject *function_getattro(PyObject *self, PyObject *name)
{
    if (is_module_attribute(name)) {
        return get_module(self, nullptr);
    }
    return PyObject_GenericGetAttr(self, name);
}

int function_setattro(PyObject *self, PyObject *name, PyObject *value)
{
    if (is_module_attribute(name)) {
        return set_module(self, value, nullptr);
    }
    return PyObject_GenericSetAttr(self, name, value);
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"func_name", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"func_doc", get_doc, set_doc, nullptr, nullptr},
    {"__dict__", get_dict, set_dict, nullptr, nullptr},
    {"func_dict", get_dict, set_dict, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"func_globals", get_globals, nullptr, nullptr, nullptr},
    {"__closure__", get_none, nullptr, nullptr, nullptr},
    {"func_closure", get_none, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"func_code", get_code, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"func_defaults", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"_is_coroutine", get_is_coroutine, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET,
     offsetof(function_object, vectorcall), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(function_object, dict),
     Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(function_object, weakrefs),
     Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(function_clear)},
    {Py_tp_repr, reinterpret_cast<void *>(function_repr)},
    // The classic call turns the dict into keyword names, refusing keys
    // that are not str ("keywords must be strings"), and arrives at
    // vectorcall like every other call.
    {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void *>(function_descr_get)},
    {Py_tp_getattro, reinterpret_cast<void *>(function_getattro)},
    {Py_tp_setattro, reinterpret_cast<void *>(function_setattro)},
    {Py_tp_getset, function_getset},
    {Py_tp_methods, function_methods},
    {Py_tp_members, function_members},
    {0, nullptr},
};

PyType_Spec function_spec_ = {
    .name = "korvex.function",
    .basicsize = sizeof(function_object),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC |
             Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
             Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = function_slots,
};

}  // namespace

PyObject *defaults_tuple(std::span<const default_value> values,
                         PyObject *storage)
{
    return tuple_of(values,
                    [storage](const default_value &value) {
                        return default_object(value, storage);
                    })
        .release();
}

// The slots are left unset: binding fills every one of them.
int ready_function_type()
{
    if (state.function_type != nullptr) {
        return 0;
    }
    state.function_type = PyType_FromSpec(&function_spec_);
    if (state.function_type == nullptr) {
        // CPython 3.13.0 returns NULL without an exception when it cannot
        // allocate the copy of the type's name.
        if (!PyErr_Occurred()) {
            PyErr_NoMemory();
        }
        return -1;
    }
    return 0;
}

PyObject *new_function(const function_spec &spec, PyObject *code)
{
    auto *type = reinterpret_cast<PyTypeObject *>(state.function_type);
    auto *f = PyObject_GC_New(function_object, type);
    if (f == nullptr) {
        return nullptr;
    }
    f->vectorcall =
        spec.runs_user_code ? general_vectorcall : plain_vectorcall;
    f->spec = &spec;
    f->param_count = static_cast<Py_ssize_t>(spec.params.size());
    f->qualname = Py_NewRef(constant(spec.qualname));
    f->module = Py_NewRef(state.full_name);
    f->globals = Py_NewRef(state.globals);
    f->code = Py_XNewRef(code);
    f->defaults = nullptr;
    f->kwdefaults = nullptr;
    f->default_storage = nullptr;
    f->name = nullptr;
    f->doc = nullptr;
    f->dict = nullptr;
    f->annotations = nullptr;
    f->weakrefs = nullptr;
    f->defaults_built = false;
    PyObject_GC_Track(f);
    return reinterpret_cast<PyObject *>(f);
}

}  // namespace frame
