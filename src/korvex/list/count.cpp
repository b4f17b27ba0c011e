// korvex.list.count: elemcount(ls).
#include "frame.hpp"

namespace {

using frame::call;
using frame::ref;
using frame::string;

enum : frame::string_index {
    s_count,
    s_elemcount,
    s_l,
    s_ls,
    s_v,
    s_vis,
    s_module_name,
    s_test,
    s_source_path,
    string_count,
};

constexpr frame::string_row strings[] = {
    {"count", true},
    {"elemcount", true},
    {"l", true},
    {"ls", true},
    {"v", true},
    {"vis", true},
    {"korvex.list.count", true},
    {"__test__", true},
    {"src\\korvex\\list\\count.cpp", false},
};
static_assert(std::size(strings) == string_count);

// Distinct elements by list containment, in first-occurrence order; then
// `ls.count` for each of them.
PyObject *elemcount(call &c) noexcept
{
    PyObject *ls = c[0];
    ref vis = ref::steal(PyList_New(0));
    if (!vis) {
        return c.fail(2);
    }
    bool by_position = PyList_CheckExact(ls) || PyTuple_CheckExact(ls);
    ref iterator;
    if (!by_position) {
        iterator = ref::steal(PyObject_GetIter(ls));
        if (!iterator) {
            return c.fail(3);
        }
    }
    for (Py_ssize_t i = 0;; i++) {
        ref l;
        if (by_position) {
            if (i >= PySequence_Fast_GET_SIZE(ls)) {
                break;
            }
            l = ref::new_ref(PySequence_Fast_GET_ITEM(ls, i));
        }
        else {
            l = ref::steal(PyIter_Next(iterator.get()));
            if (!l) {
                if (PyErr_Occurred()) {
                    return c.fail(3);
                }
                break;
            }
        }
        int seen = PySequence_Contains(vis.get(), l.get());
        if (seen < 0) {
            return c.fail(4);
        }
        if (!seen && PyList_Append(vis.get(), l.get()) < 0) {
            return c.fail(5);
        }
    }
    ref counts = ref::steal(PyDict_New());
    if (!counts) {
        return c.fail(6);
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(vis.get()); i++) {
        PyObject *v = PyList_GET_ITEM(vis.get(), i);
        ref n = ref::steal(PyObject_CallMethodOneArg(ls, string(s_count), v));
        if (!n || PyDict_SetItem(counts.get(), v, n.get()) < 0) {
            return c.fail(6);
        }
    }
    return counts.release();
}

constexpr frame::string_index elemcount_params[] = {s_ls};
constexpr frame::string_index elemcount_locals[] = {s_ls, s_vis, s_l, s_v};

constexpr frame::function_spec functions[] = {
    {
        .name = "elemcount",
        .name_string = s_elemcount,
        .qualname = s_elemcount,
        .params = elemcount_params,
        .required = 1,
        .varargs = false,
        .varkw = false,
        .locals = elemcount_locals,
        .def_line = 1,
        .body = elemcount,
        .defaults = frame::defaults_kind::none,
        .default_values = {},
        .default_function = nullptr,
    },
};

}  // namespace

constexpr frame::module_spec frame::this_module = {
    .name = "count",
    .full_name = s_module_name,
    .source_path = s_source_path,
    .test_name = s_test,
    .traceback_file = "src\\\\korvex\\\\list\\\\count.cpp",
    .strings = strings,
    .imports = {},
    .cached_builtins = {},
    .functions = functions,
};

KORVEX_MODULE_INIT(count)
