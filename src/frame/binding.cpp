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

// Makes the call own everything the binding reads before its first step
// that can run user code: comparing or hashing a keyword name that is a
// str subclass. The caller may pass its values borrowed and drop them in
// that code (a `functools.partial` whose state is replaced), so from then on
// the values are read from a tuple of the call's own, and the call owns its
// function and the keyword names.
int own_incoming(call &c, binding &in)
{
    if (in.owned_values) {
        return 0;
    }
    // The values, then the names and the function.
    Py_ssize_t count = in.nargs + PyTuple_GET_SIZE(in.kwnames);
    in.owned_values = ref::steal(PyTuple_New(count + 2));
    if (!in.owned_values) {
        return -1;
    }
    PyObject **items =
        reinterpret_cast<PyTupleObject *>(in.owned_values.get())->ob_item;
    for (Py_ssize_t i = 0; i < count; i++) {
        items[i] = Py_NewRef(in.values[i]);
    }
    items[count] = Py_NewRef(in.kwnames);
    items[count + 1] = Py_NewRef(reinterpret_cast<PyObject *>(c.function));
    in.values = items;
    return 0;
}

// Position of `name` among the keyword names: identity first, then
// equality. A name that is not an exact str is compared with `==`, which
// runs user code.
Py_ssize_t find_keyword(call &c, binding &in, PyObject *kwnames,
                        PyObject *name)
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
        if (own_incoming(c, in) < 0) {
            return compare_failed;
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
int general_keyword_pass(call &c, binding &in, Py_ssize_t bound)
{
    const function_spec &spec = *c.function->spec;
    auto params = static_cast<Py_ssize_t>(spec.params.size());
    Py_ssize_t count = PyTuple_GET_SIZE(in.kwnames);
    for (Py_ssize_t k = 0; k < count; k++) {
        PyObject *key = PyTuple_GET_ITEM(in.kwnames, k);
        Py_ssize_t match = not_found;
        for (Py_ssize_t i = bound; i < params && match == not_found; i++) {
            if (key == constant(spec.params[i])) {
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
                if (same_characters(key, constant(spec.params[i]))) {
                    match = i;
                }
            }
        }
        if (match != not_found) {
            c.slots[match] = in.keyword_value(k);
            continue;
        }
        for (Py_ssize_t i = 0; i < bound; i++) {
            PyObject *param = constant(spec.params[i]);
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
        // Storing a str subclass runs its `__hash__`.
        if ((!PyUnicode_CheckExact(key) && own_incoming(c, in) < 0) ||
            PyDict_SetItem(c.kwargs, key, in.keyword_value(k)) < 0) {
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

int bind_keywords(call &c, binding &in)
{
    const function_spec &spec = *c.function->spec;
    auto params = static_cast<Py_ssize_t>(spec.params.size());
    if (in.nargs > params && !spec.varargs) {
        count_error(spec, in.nargs);
        return -1;
    }
    Py_ssize_t bound = bind_positional(c, in.values, in.nargs, params);
    Py_ssize_t remaining = PyTuple_GET_SIZE(in.kwnames);
    for (Py_ssize_t i = bound; i < params; i++) {
        bool required = i < spec.required;
        if (!required && remaining == 0) {
            continue;
        }
        Py_ssize_t pos =
            find_keyword(c, in, in.kwnames, constant(spec.params[i]));
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
        c.slots[i] = in.keyword_value(pos);
        remaining--;
    }
    if (remaining > 0) {
        return general_keyword_pass(c, in, bound);
    }
    return 0;
}

[[gnu::cold, gnu::noinline]] int binding_failed(call &c)
{
    c.at(c.function->spec->def_line);
    c.add_entry();
    return -1;
}

}  // namespace

void call::add_entry() const
{
    const function_spec &spec = *function->spec;
    add_function_entry(spec.name, line ? line : spec.def_line,
                       function->globals);
}

void release_containers(const call &c)
{
    const function_spec &spec = *c.function->spec;
    if (spec.varargs) {
        Py_DECREF(c.args);
    }
    if (spec.varkw) {
        Py_DECREF(c.kwargs);
    }
}

int bind_arguments(call &c, binding &in)
{
    const function_spec &spec = *c.function->spec;
    auto params = static_cast<Py_ssize_t>(spec.params.size());
    if (spec.varargs) {
        Py_ssize_t extra = in.nargs > params ? in.nargs - params : 0;
        c.args = extra > 0
                     ? tuple_of(std::span(in.values + params,
                                          static_cast<std::size_t>(extra)))
                           .release()
                     : Py_NewRef(state.empty_tuple);
        if (c.args == nullptr) {
            return -1;
        }
    }
    if (spec.varkw) {
        c.kwargs = PyDict_New();
        if (c.kwargs == nullptr) {
            if (spec.varargs) {
                Py_DECREF(c.args);
            }
            return -1;
        }
    }
    for (Py_ssize_t i = spec.required; i < params; i++) {
        c.slots[i] = default_object(spec.default_values[i - spec.required],
                                    c.function->default_storage);
    }
    if (in.kwnames == nullptr) {
        if (in.nargs >= spec.required &&
            (in.nargs <= params || spec.varargs)) {
            bind_positional(c, in.values, in.nargs, params);
            return 0;
        }
        count_error(spec, in.nargs);
    }
    else if (bind_keywords(c, in) == 0) {
        return 0;
    }
    release_containers(c);
    return binding_failed(c);
}

}  // namespace frame
