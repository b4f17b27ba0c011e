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
    string_count,
};

// clang-format off
constexpr frame::string_row strings[] = {
    {s_args, "args", true},
    {s_ambrel, "ambrel", true},
    {s_func, "func", true},
    {s_kwargs, "kwargs", true},
    {s_l, "l", true},
    {s_ls, "ls", true},
};
// clang-format on
static_assert(std::size(strings) == string_count);

// The lines of the module's statements, as its traceback entries report them.
namespace line {
// def ambrel(ls, func, *args, **kwargs):
constexpr int def_ambrel = 1;
//     return [func(l, *args, **kwargs) for l in ls]
constexpr int ambrel = 2;
}  // namespace line

// An empty list with room for `length` items, or an empty `ref`.
ref list_with_room(Py_ssize_t length)
{
    ref list = ref::steal(PyList_New(length));
    if (list) {
        // PyList_New made `length` NULL slots: none is in the list, so
        // nothing (the collector included) can see them.
        Py_SET_SIZE(reinterpret_cast<PyListObject *>(list.get()), 0);
    }
    return list;
}

// The arguments of every call of `func`, laid out for vectorcall: a spare
// slot (so bound methods can prepend their instance in place), the element,
// `args`, then the values of `kwargs` under a tuple of their names. Every
// call sees what `(l,) + args` and a fresh copy of `kwargs` would give it.
// The values of `kwargs` are owned here: user code can reach that dict
// (through the collector's referrers) and empty it.
class call_stack {
  public:
    call_stack() = default;
    call_stack(const call_stack &) = delete;
    call_stack &operator=(const call_stack &) = delete;
    ~call_stack()
    {
        for (Py_ssize_t i = 0; i < owned_values_; i++) {
            Py_DECREF(items_[1 + nargs_ + i]);
        }
        if (items_ != inline_) {
            PyMem_Free(items_);
        }
    }

    int fill(PyObject *args, PyObject *kwargs)
    {
        nargs_ = 1 + PyTuple_GET_SIZE(args);
        Py_ssize_t nkw = PyDict_GET_SIZE(kwargs);
        Py_ssize_t size = 1 + nargs_ + nkw;
        if (size > inline_size) {
            items_ = PyMem_New(PyObject *, size);
            if (items_ == nullptr) {
                PyErr_NoMemory();
                return -1;
            }
        }
        for (Py_ssize_t i = 1; i < nargs_; i++) {
            items_[1 + i] = PyTuple_GET_ITEM(args, i - 1);
        }
        if (nkw == 0) {
            return 0;
        }
        kwnames_ = ref::steal(PyTuple_New(nkw));
        if (!kwnames_) {
            return -1;
        }
        // Making the tuple can run finalizers, and they can reach `kwargs`.
        if (PyDict_GET_SIZE(kwargs) != nkw) {
            PyErr_SetString(PyExc_RuntimeError,
                            "dictionary changed size during iteration");
            return -1;
        }
        Py_ssize_t pos = 0;
        PyObject *key;
        PyObject *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            Py_ssize_t i = owned_values_++;
            PyTuple_SET_ITEM(kwnames_.get(), i, Py_NewRef(key));
            items_[1 + nargs_ + i] = Py_NewRef(value);
        }
        return 0;
    }

    // func(l, *args, **kwargs)
    PyObject *call(PyObject *func, PyObject *l)
    {
        items_[1] = l;
        return frame::generic_vectorcall(
            func, items_ + 1,
            static_cast<std::size_t>(nargs_) | PY_VECTORCALL_ARGUMENTS_OFFSET,
            kwnames_.get());
    }

  private:
    static constexpr Py_ssize_t inline_size = 8;
    PyObject *inline_[inline_size];
    PyObject **items_ = inline_;
    Py_ssize_t nargs_ = 0;
    Py_ssize_t owned_values_ = 0;
    ref kwnames_;
};

PyObject *ambrel(call &c) noexcept
{
    PyObject *ls = c[0];
    PyObject *func = c[1];
    c.at(line::ambrel);
    // An exact list or tuple gives its starting length: the result is made
    // with room for that many values.
    ref result = PyList_CheckExact(ls) || PyTuple_CheckExact(ls)
                     ? list_with_room(PySequence_Fast_GET_SIZE(ls))
                     : ref::steal(PyList_New(0));
    frame::element_walk walk;
    call_stack stack;
    if (!result || walk.start(ls) < 0 || stack.fill(c.args, c.kwargs) < 0) {
        return nullptr;
    }
    ref l;
    int more;
    while ((more = walk.next(l)) > 0) {
        PyObject *value = stack.call(func, l.get());
        if (value == nullptr ||
            frame::append_stolen(result.get(), value) < 0) {
            return nullptr;
        }
    }
    return more < 0 ? nullptr : result.release();
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
        .def_line = line::def_ambrel,
        .body = ambrel,
    },
};

}  // namespace

constexpr frame::module_spec frame::this_module = {
    .identity = {"korvex.list.ambrel"},
    .strings = strings,
    .functions = functions,
};

KORVEX_MODULE_INIT(ambrel)
