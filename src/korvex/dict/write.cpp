// korvex.dict.write: write_klist(d, sep=" ", end="\n") and
// write_vlist(d, sep=" ", end="\n"), which hand the keys or the values of
// `d` to the outside writer `list.write.write`.
#include "frame.hpp"

namespace {

using frame::call;
using frame::constant;
using frame::ref;

enum : frame::string_index {
    s_d,
    s_end,
    s_items,
    s_k,
    s_list,
    s_list_write,
    s_sep,
    s_v,
    s_write,
    s_write_klist,
    s_write_vlist,
    s_space,
    s_newline,
    string_count,
};

// clang-format off
constexpr frame::string_row strings[] = {
    {s_d, "d", true},
    {s_end, "end", true},
    {s_items, "items", true},
    {s_k, "k", true},
    {s_list, "list", true},
    {s_list_write, "list.write", true},
    {s_sep, "sep", true},
    {s_v, "v", true},
    {s_write, "write", true},
    {s_write_klist, "write_klist", true},
    {s_write_vlist, "write_vlist", true},
    {s_space, " ", false},
    {s_newline, "\n", false},
};
// clang-format on
static_assert(std::size(strings) == string_count);

// The lines of the module's statements, as its traceback entries report them.
namespace line {
// import list.write
constexpr int import_writer = 1;
// def write_klist(d, sep=" ", end="\n"):
constexpr int def_write_klist = 2;
//     list.write.write([k for k, v in d.items()], sep, end)
constexpr int write_klist = 3;
// def write_vlist(d, sep=" ", end="\n"):
constexpr int def_write_vlist = 4;
//     list.write.write([v for k, v in d.items()], sep, end)
constexpr int write_vlist = 5;
}  // namespace line

enum class side { keys, values };

// `list.write.write`, resolved afresh on every call.
PyObject *resolve_writer(PyObject *globals)
{
    ref package = ref::steal(frame::lookup_global(globals, constant(s_list)));
    if (!package) {
        return nullptr;
    }
    ref module =
        ref::steal(PyObject_GetAttr(package.get(), constant(s_write)));
    if (!module) {
        return nullptr;
    }
    return PyObject_GetAttr(module.get(), constant(s_write));
}

// One side of the entries of a dict, exact or a subclass, in the dict's
// order. PyDict_Keys and PyDict_Values fill their list in one pass that
// calls nothing, as `list(d)` does: no code can change the dict or see the
// list before it is whole, so the walk needs no size check of its own and
// gives what a walk of the dict's items iterator gives.
PyObject *dict_side(PyObject *d, side wanted)
{
    return wanted == side::keys ? PyDict_Keys(d) : PyDict_Values(d);
}

// Whether `method`, found as `d.items`, is dict's own `items` bound to `d`:
// calling it and walking its view then runs no user code and yields the
// dict's entries in order, which `dict_side` gives without the pairs.
bool is_dict_items_of(PyObject *method, PyObject *d)
{
    if (!PyCFunction_Check(method) || PyCFunction_GET_SELF(method) != d) {
        return false;
    }
    PyObject *own = _PyType_Lookup(&PyDict_Type, constant(s_items));
    return own != nullptr && Py_IS_TYPE(own, &PyMethodDescr_Type) &&
           PyCFunction_GET_FUNCTION(method) ==
               reinterpret_cast<PyMethodDescrObject *>(own)->d_method->ml_meth;
}

// Whether the type of `d` is dict's or a subclass that leaves attribute
// look-up and iteration to dict: `d.items` is then dict's own unless the
// subclass or the instance defines another.
bool looks_up_as_dict(PyObject *d)
{
    PyTypeObject *type = Py_TYPE(d);
    return PyDict_Check(d) && type->tp_getattro == PyObject_GenericGetAttr &&
           type->tp_iter == PyDict_Type.tp_iter;
}

// One side of the pairs that `d.items()` yields.
PyObject *gather_items(PyObject *d, side wanted)
{
    ref result = ref::steal(PyList_New(0));
    if (!result) {
        return nullptr;
    }
    if (d == Py_None) {
        return frame::no_attribute(d, constant(s_items));
    }
    ref items;
    if (looks_up_as_dict(d)) {
        // `items` is always found on a dict subclass: an AttributeError
        // here is one an instance-dict key raised, and passes unchanged.
        ref method = ref::steal(PyObject_GetAttr(d, constant(s_items)));
        if (!method) {
            return nullptr;
        }
        if (is_dict_items_of(method.get(), d)) {
            return dict_side(d, wanted);
        }
        items = ref::steal(PyObject_CallNoArgs(method.get()));
    }
    else {
        items = ref::steal(frame::call_method_noargs(d, constant(s_items)));
    }
    if (!items) {
        return nullptr;
    }
    ref iterator = ref::steal(PyObject_GetIter(items.get()));
    if (!iterator) {
        return nullptr;
    }
    frame::signal_check signals;
    for (;;) {
        ref item;
        int more = frame::next_item(iterator.get(), item);
        if (more <= 0) {
            return more < 0 ? nullptr : result.release();
        }
        ref k;
        ref v;
        if (signals.step() < 0 || frame::unpack_two(item.get(), k, v) < 0 ||
            frame::append_stolen(
                result.get(), (wanted == side::keys ? k : v).release()) < 0) {
            return nullptr;
        }
    }
}

// list.write.write([k for k, v in d.items()], sep, end), or with v.
PyObject *write_side(call &c, side wanted, int line)
{
    c.at(line);
    PyObject *d = c[0];
    ref writer = ref::steal(resolve_writer(c.globals()));
    if (!writer) {
        return nullptr;
    }
    ref result = ref::steal(PyDict_CheckExact(d) ? dict_side(d, wanted)
                                                 : gather_items(d, wanted));
    if (!result) {
        return nullptr;
    }
    PyObject *args[] = {result.get(), c[1], c[2]};
    ref written =
        ref::steal(PyObject_Vectorcall(writer.get(), args, 3, nullptr));
    if (!written) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject *write_klist(call &c) noexcept
{
    return write_side(c, side::keys, line::write_klist);
}

PyObject *write_vlist(call &c) noexcept
{
    return write_side(c, side::values, line::write_vlist);
}

constexpr frame::string_index write_params[] = {s_d, s_sep, s_end};
constexpr frame::string_index write_locals[] = {s_d, s_sep, s_end, s_k, s_v};
constexpr frame::default_value write_defaults[] = {
    frame::default_value::constant(s_space),
    frame::default_value::constant(s_newline),
};

constexpr frame::import_spec imports[] = {
    {
        .name = s_list_write,
        .binds = s_list,
        .line = line::import_writer,
        .missing_note =
            "korvex.dict.write hands its lists to list.write.write; "
            "install a writer, such as the korvex-list-writer "
            "distribution (writer/ in korvex's source tree)",
    },
};

constexpr frame::function_spec functions[] = {
    {
        .name = "write_klist",
        .name_string = s_write_klist,
        .qualname = s_write_klist,
        .params = write_params,
        .required = 1,
        .locals = write_locals,
        .def_line = line::def_write_klist,
        .body = write_klist,
        .defaults = frame::defaults_kind::constant_tuple,
        .default_values = write_defaults,
    },
    {
        .name = "write_vlist",
        .name_string = s_write_vlist,
        .qualname = s_write_vlist,
        .params = write_params,
        .required = 1,
        .locals = write_locals,
        .def_line = line::def_write_vlist,
        .body = write_vlist,
        .defaults = frame::defaults_kind::constant_tuple,
        .default_values = write_defaults,
    },
};

}  // namespace

constexpr frame::module_spec frame::this_module = {
    .identity = {"korvex.dict.write"},
    .strings = strings,
    .functions = functions,
    .imports = imports,
};

KORVEX_MODULE_INIT(write)
