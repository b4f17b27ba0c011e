// korvex.list.ambrel: ambrel(ls, func, *args, **kwargs), that is
// [func(l, *args, **kwargs) for l in ls].
#include "frame.hpp"

namespace {

using frame::call;
using frame::ref;

enum : frame::string_index {
    s_args,
    s_ambrel,
    s_func,
    s_kwargs,
    s_l,
    s_ls,
    s_module_name,
    s_test,
    s_source_path,
    string_count,
};

constexpr frame::string_row strings[] = {
    {"args", true},
    {"ambrel", true},
    {"func", true},
    {"kwargs", true},
    {"l", true},
    {"ls", true},
    {"korvex.list.ambrel", true},
    {"__test__", true},
    {"src\\korvex\\list\\ambrel.cpp", false},
};
static_assert(std::size(strings) == string_count);

// `(l,) + args`
PyObject *prepend(PyObject *l, PyObject *args)
{
    Py_ssize_t count = PyTuple_GET_SIZE(args);
    PyObject *tuple = PyTuple_New(count + 1);
    if (tuple == nullptr) {
        return nullptr;
    }
    PyTuple_SET_ITEM(tuple, 0, Py_NewRef(l));
    for (Py_ssize_t i = 0; i < count; i++) {
        PyTuple_SET_ITEM(tuple, i + 1, Py_NewRef(PyTuple_GET_ITEM(args, i)));
    }
    return tuple;
}

PyObject *ambrel(call &c) noexcept
{
    PyObject *ls = c[0];
    PyObject *func = c[1];
    ref result = ref::steal(PyList_New(0));
    if (!result) {
        return c.fail(2);
    }
    ref iterator = ref::steal(PyObject_GetIter(ls));
    if (!iterator) {
        return c.fail(2);
    }
    while (ref l = ref::steal(PyIter_Next(iterator.get()))) {
        ref args = ref::steal(prepend(l.get(), c.args.get()));
        if (!args) {
            return c.fail(2);
        }
        // Every call gets a fresh dict: what `func` does to it stays there.
        ref kwargs = ref::steal(PyDict_Copy(c.kwargs.get()));
        if (!kwargs) {
            return c.fail(2);
        }
        ref value =
            ref::steal(frame::generic_call(func, args.get(), kwargs.get()));
        if (!value || PyList_Append(result.get(), value.get()) < 0) {
            return c.fail(2);
        }
    }
    if (PyErr_Occurred()) {
        return c.fail(2);
    }
    return result.release();
}

constexpr frame::string_index ambrel_params[] = {s_ls, s_func};
constexpr frame::string_index ambrel_locals[] = {s_ls, s_func, s_args,
                                                 s_kwargs, s_l};

constexpr frame::function_spec functions[] = {
    {
        .name = "ambrel",
        .name_string = s_ambrel,
        .qualname = s_ambrel,
        .params = ambrel_params,
        .required = 2,
        .varargs = true,
        .varkw = true,
        .locals = ambrel_locals,
        .def_line = 1,
        .body = ambrel,
        .defaults = frame::defaults_kind::none,
        .default_values = {},
        .default_function = nullptr,
    },
};

}  // namespace

constexpr frame::module_spec frame::this_module = {
    .name = "ambrel",
    .full_name = s_module_name,
    .source_path = s_source_path,
    .test_name = s_test,
    .traceback_file = "src\\\\korvex\\\\list\\\\ambrel.cpp",
    .strings = strings,
    .imports = {},
    .cached_builtins = {},
    .functions = functions,
};

KORVEX_MODULE_INIT(ambrel)
