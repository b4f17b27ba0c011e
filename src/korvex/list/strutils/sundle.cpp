// korvex.list.strutils.sundle: multi_str_sundle(sep, *args) and
// str_sundle(sep, s).
#include "frame.hpp"

namespace {

using frame::call;
using frame::ref;
using frame::string;

enum : frame::string_index {
    s_a,
    s_args,
    s_ls,
    s_multi_str_sundle,
    s_s,
    s_sep,
    s_split,
    s_str_sundle,
    string_count,
};

// clang-format off
constexpr frame::string_row strings[] = {
    {s_a, "a", true},
    {s_args, "args", true},
    {s_ls, "ls", true},
    {s_multi_str_sundle, "multi_str_sundle", true},
    {s_s, "s", true},
    {s_sep, "sep", true},
    {s_split, "split", true},
    {s_str_sundle, "str_sundle", true},
};
// clang-format on
static_assert(std::size(strings) == string_count);

// The lines of the module's statements, as its traceback entries report them.
namespace line {
constexpr int def_str_sundle = 1;        // def str_sundle(sep, s):
constexpr int def_multi_str_sundle = 3;  // def multi_str_sundle(sep, *args):
constexpr int new_list = 4;              //     ls = []
constexpr int walk = 5;                  //     for a in args:
constexpr int split = 6;                 //         ls[len(ls):] = a.split(sep)
}  // namespace line

// Binds its two parameters and looks at neither.
PyObject *str_sundle(call &) noexcept { Py_RETURN_NONE; }

// `a.split(sep)`. An exact str's `split` is str.split, which cannot be
// replaced: with a str or None separator it is called directly.
PyObject *split(PyObject *a, PyObject *sep)
{
    if (PyUnicode_CheckExact(a) && (sep == Py_None || PyUnicode_Check(sep))) {
        return PyUnicode_Split(a, sep == Py_None ? nullptr : sep, -1);
    }
    return PyObject_CallMethodOneArg(a, string(s_split), sep);
}

// Every further argument split with its own `split` and `sep`; the pieces
// are assigned to the empty slice at the end of one list.
PyObject *multi_str_sundle(call &c) noexcept
{
    ref sep = c.own(0);
    PyObject *args = c.args.get();
    ref ls = ref::steal(PyList_New(0));
    if (!ls) {
        return c.fail(line::new_list);
    }
    frame::signal_check signals;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args); i++) {
        PyObject *a = PyTuple_GET_ITEM(args, i);
        if (signals.step() < 0) {
            return c.fail(line::walk);
        }
        ref pieces = ref::steal(split(a, sep.get()));
        if (!pieces) {
            return c.fail(line::split);
        }
        // What `ls[M:M] = pieces` does with a value that is not iterable.
        ref sequence = ref::steal(PySequence_Fast(
            pieces.get(), "must assign iterable to extended slice"));
        if (!sequence || PyList_SetSlice(ls.get(), PY_SSIZE_T_MAX,
                                         PY_SSIZE_T_MAX, sequence.get()) < 0) {
            return c.fail(line::split);
        }
    }
    return ls.release();
}

constexpr frame::string_index str_sundle_params[] = {s_sep, s_s};
constexpr frame::string_index multi_str_sundle_params[] = {s_sep};
constexpr frame::string_index multi_str_sundle_locals[] = {s_sep, s_args, s_ls,
                                                           s_a};

constexpr frame::function_spec functions[] = {
    {
        .name = "str_sundle",
        .name_string = s_str_sundle,
        .qualname = s_str_sundle,
        .params = str_sundle_params,
        .required = 2,
        .locals = str_sundle_params,
        .def_line = line::def_str_sundle,
        .body = str_sundle,
        .calls_out = false,
    },
    {
        .name = "multi_str_sundle",
        .name_string = s_multi_str_sundle,
        .qualname = s_multi_str_sundle,
        .params = multi_str_sundle_params,
        .required = 1,
        .varargs = true,
        .locals = multi_str_sundle_locals,
        .def_line = line::def_multi_str_sundle,
        .body = multi_str_sundle,
    },
};

}  // namespace

constexpr frame::module_spec frame::this_module = {
    .identity = {"korvex.list.strutils.sundle"},
    .strings = strings,
    .functions = functions,
};

KORVEX_MODULE_INIT(sundle)
