// The binding rule: positional values and keyword names to parameters.
//
// Parameter names are interned at exec, so keywords passed from Python code
// are found by the identity pass; characters are compared only after it.
#include <cstring>

#include "frame.hpp"

namespace frame {
namespace {

// Equal length, width and characters; a cached hash that differs decides at
// once.
bool same_characters(PyObject *a, PyObject *b)
{
    Py_ssize_t length = PyUnicode_GET_LENGTH(a);
    int kind = PyUnicode_KIND(a);
    if (length != PyUnicode_GET_LENGTH(b) || kind != PyUnicode_KIND(b)) {
        return false;
    }
    Py_hash_t hash_a = reinterpret_cast<PyASCIIObject *>(a)->hash;
    Py_hash_t hash_b = reinterpret_cast<PyASCIIObject *>(b)->hash;
    if (hash_a != -1 && hash_b != -1 && hash_a != hash_b) {
        return false;
    }
    return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b),
                       static_cast<std::size_t>(length) * kind) == 0;
}

constexpr Py_ssize_t not_found = -1;
constexpr Py_ssize_t compare_failed = -2;

// Position of `name` among the keyword names: identity first, then
// equality. A name that is not an exact str is compared with `==`, which
// runs user code: from then on the call owns its function.
Py_ssize_t find_keyword(call &c, PyObject *kwnames, PyObject *name)
{
    Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < count; i++) {
        if (PyTuple_GET_ITEM(kwnames, i) == name) {
            return i;
        }
    }
    for (Py_ssize_t i = 0; i < count; i++) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, i);
        if (PyUnicode_CheckExact(key)) {
            if (same_characters(key, name)) {
                return i;
            }
            continue;
        }
        if (!c.owner) {
            c.owner = ref::new_ref(reinterpret_cast<PyObject *>(c.function));
        }
        int equal = PyObject_RichCompareBool(key, name, Py_EQ);
        if (equal < 0) {
            return compare_failed;
        }
        if (equal) {
            return i;
        }
    }
    return not_found;
}

[[gnu::cold, gnu::noinline]] void count_error(const function_spec &spec,
                                              Py_ssize_t given)
{
    auto params = static_cast<Py_ssize_t>(spec.params.size());
    Py_ssize_t required = spec.required;
    const char *word = "at most";
    Py_ssize_t number = params;
    if (!spec.varargs && required == params) {
        word = "exactly";
    }
    else if (given < required) {
        word = "at least";
        number = required;
    }
    PyErr_Format(PyExc_TypeError,
                 "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 spec.name, word, number, number == 1 ? "" : "s", given);
}

[[gnu::cold, gnu::noinline]] void keyword_error(const char *format,
                                                const function_spec &spec,
                                                PyObject *key)
{
    PyErr_Format(PyExc_TypeError, format, spec.name, key);
}

// Every keyword in call order, once the parameters from `bound` on have
// been looked for: rebinds those, rejects duplicates and strangers, and
// collects the rest into `**kwargs` where there is one.
int general_keyword_pass(call &c, PyObject *const *values, PyObject *kwnames,
                         Py_ssize_t bound)
{
    const function_spec &spec = *c.function->spec;
    auto params = static_cast<Py_ssize_t>(spec.params.size());
    Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < count; k++) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        PyObject *value = values[k];
        Py_ssize_t match = not_found;
        for (Py_ssize_t i = bound; i < params && match == not_found; i++) {
            if (key == string(spec.params[i])) {
                match = i;
            }
        }
        if (match == not_found) {
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError,
                             "%.200s() keywords must be strings", spec.name);
                return -1;
            }
            for (Py_ssize_t i = bound; i < params && match == not_found; i++) {
                if (same_characters(key, string(spec.params[i]))) {
                    match = i;
                }
            }
        }
        if (match != not_found) {
            c.slots[match] = value;
            continue;
        }
        for (Py_ssize_t i = 0; i < bound; i++) {
            PyObject *param = string(spec.params[i]);
            if (key == param || same_characters(key, param)) {
                keyword_error(
                    "%s() got multiple values for keyword argument '%U'", spec,
                    key);
                return -1;
            }
        }
        if (!spec.varkw) {
            keyword_error("%s() got an unexpected keyword argument '%U'", spec,
                          key);
            return -1;
        }
        if (PyDict_SetItem(c.kwargs.get(), key, value) < 0) {
            return -1;
        }
    }
    return 0;
}

// The first min(nargs, params) values into their slots; returns how many.
Py_ssize_t bind_positional(call &c, PyObject *const *args, Py_ssize_t nargs,
                           Py_ssize_t params)
{
    Py_ssize_t bound = nargs < params ? nargs : params;
    for (Py_ssize_t i = 0; i < bound; i++) {
        c.slots[i] = args[i];
    }
    return bound;
}

int bind_keywords(call &c, PyObject *const *args, Py_ssize_t nargs,
                  PyObject *kwnames)
{
    const function_spec &spec = *c.function->spec;
    auto params = static_cast<Py_ssize_t>(spec.params.size());
    if (nargs > params && !spec.varargs) {
        count_error(spec, nargs);
        return -1;
    }
    Py_ssize_t bound = bind_positional(c, args, nargs, params);
    PyObject *const *values = args + nargs;
    Py_ssize_t remaining = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = bound; i < params; i++) {
        bool required = i < spec.required;
        if (!required && remaining == 0) {
            continue;
        }
        Py_ssize_t pos = find_keyword(c, kwnames, string(spec.params[i]));
        if (pos == compare_failed) {
            return -1;
        }
        if (pos == not_found) {
            if (required) {
                count_error(spec, i);
                return -1;
            }
            continue;
        }
        c.slots[i] = values[pos];
        remaining--;
    }
    if (remaining > 0) {
        return general_keyword_pass(c, values, kwnames, bound);
    }
    return 0;
}

}  // namespace

int call::own_varargs()
{
    if (args) {
        return 0;
    }
    args = varargs_count > 0
               ? tuple_of(std::span(varargs,
                                    static_cast<std::size_t>(varargs_count)))
               : ref::new_ref(state.empty_tuple);
    if (!args) {
        return -1;
    }
    varargs = reinterpret_cast<PyTupleObject *>(args.get())->ob_item;
    return 0;
}

PyObject *call::fail(int line) const
{
    add_function_entry(function->spec->name, line, function->globals);
    return nullptr;
}

int bind_arguments(call &c, PyObject *const *args, Py_ssize_t nargs,
                   PyObject *kwnames)
{
    const function_spec &spec = *c.function->spec;
    auto params = static_cast<Py_ssize_t>(spec.params.size());
    if (spec.varkw) {
        c.kwargs = ref::steal(PyDict_New());
        if (!c.kwargs) {
            return -1;
        }
    }
    if (spec.varargs) {
        Py_ssize_t extra = nargs > params ? nargs - params : 0;
        c.varargs = args + (extra > 0 ? params : 0);
        c.varargs_count = extra;
        // Keyword binding can run user code (a str subclass's `__eq__`), so
        // only a call without keywords may leave the values borrowed.
        if ((!spec.borrows_varargs || kwnames != nullptr) &&
            c.own_varargs() < 0) {
            c.kwargs.reset();
            return -1;
        }
    }
    for (Py_ssize_t i = spec.required; i < params; i++) {
        c.slots[i] = default_object(spec.default_values[i - spec.required],
                                    c.function->stored);
    }
    if (kwnames == nullptr) {
        if (nargs < spec.required || (nargs > params && !spec.varargs)) {
            count_error(spec, nargs);
            c.fail(spec.def_line);
            return -1;
        }
        bind_positional(c, args, nargs, params);
        return 0;
    }
    if (bind_keywords(c, args, nargs, kwnames) < 0) {
        c.fail(spec.def_line);
        return -1;
    }
    return 0;
}

}  // namespace frame
