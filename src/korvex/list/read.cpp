// korvex.list.read: read(n, s="", func=<lambda>) and
// read_split(s="", spl=" ", func=<lambda>).
//
// Both read through the builtin `input` found at import, so prompts, the
// stream (`sys.stdin` at call time) and end of input are that builtin's.
#include "frame.hpp"

#include <type_traits>

namespace {

using frame::call;
using frame::constant;
using frame::ref;

enum : frame::string_index {
    s_func,
    s_i,
    s_input,
    s_n,
    s_range,
    s_read,
    s_read_lambda,
    s_read_split,
    s_read_split_lambda,
    s_s,
    s_spl,
    s_split,
    s_empty,
    s_space,
    string_count,
};

// clang-format off
constexpr frame::string_row strings[] = {
    {s_func, "func", true},
    {s_i, "i", true},
    {s_input, "input", true},
    {s_n, "n", true},
    {s_range, "range", true},
    {s_read, "read", true},
    {s_read_lambda, "read.<locals>.<lambda>", true},
    {s_read_split, "read_split", true},
    {s_read_split_lambda, "read_split.<locals>.<lambda>", true},
    {s_s, "s", true},
    {s_spl, "spl", true},
    {s_split, "split", true},
    {s_empty, "", false},
    {s_space, " ", false},
};
// clang-format on
static_assert(std::size(strings) == string_count);

// The lines of the module's statements, as its traceback entries report them.
namespace line {
// def read(n, s="", func=lambda x: x):
constexpr int def_read = 1;
//     return [func(input(s)) for i in range(n)]
constexpr int read = 2;
// def read_split(s="", spl=" ", func=lambda x: x):
constexpr int def_read_split = 3;
//     return [func(i) for i in input(s).split(spl)]
constexpr int read_split = 4;
}  // namespace line

// Looked up once, at import. A call holds the one it uses: an import that
// runs exec again replaces them.
constexpr frame::string_index cached_builtins[] = {s_range, s_input};
template <frame::string_index name>
ref cached_builtin()
{
    // Clang 13 and 14 reject the consteval call as the initialiser of a
    // constant here, but take it as a template argument.
    constexpr std::size_t slot =
        std::integral_constant<std::size_t, frame::position_of(cached_builtins,
                                                               name)>::value;
    return ref::new_ref(frame::state.cached_builtins[slot]);
}
ref cached_range() { return cached_builtin<s_range>(); }
ref cached_input() { return cached_builtin<s_input>(); }

// The default `func` of both functions: the line or piece itself.
PyObject *identity(call &c) noexcept { return Py_NewRef(c[0]); }

// Whether `func` is one of the module's default functions. Its call
// returns its argument and runs nothing else (its type is immutable, its
// body fixed), so `func(x)` can be left out and `x` taken as it is.
bool is_default_function(PyObject *func)
{
    auto *type = reinterpret_cast<PyTypeObject *>(frame::state.function_type);
    return Py_IS_TYPE(func, type) &&
           reinterpret_cast<frame::function_object *>(func)->spec->body ==
               identity;
}

// Appends `func(item)` to `result`; `item` itself when `func` is a default
// function (`keep`).
int append_converted(PyObject *result, PyObject *func, bool keep,
                     PyObject *item)
{
    PyObject *converted =
        keep ? Py_NewRef(item) : PyObject_CallOneArg(func, item);
    return converted != nullptr ? frame::append_stolen(result, converted) : -1;
}

PyObject *read(call &c) noexcept
{
    c.at(line::read);
    PyObject *func = c[2];
    ref result = ref::steal(PyList_New(0));
    if (!result) {
        return nullptr;
    }
    ref numbers = ref::steal(PyObject_CallOneArg(cached_range().get(), c[0]));
    if (!numbers) {
        return nullptr;
    }
    ref iterator = ref::steal(PyObject_GetIter(numbers.get()));
    if (!iterator) {
        return nullptr;
    }
    // `input` on a stream that never ends, with a C `func`, runs no Python
    // code: the loop checks for signals.
    ref input = cached_input();
    bool keep = is_default_function(func);
    frame::signal_check signals;
    for (;;) {
        ref i;
        int more = frame::next_item(iterator.get(), i);
        if (more <= 0) {
            return more < 0 ? nullptr : result.release();
        }
        if (signals.step() < 0) {
            return nullptr;
        }
        ref line = ref::steal(PyObject_CallOneArg(input.get(), c[1]));
        if (!line ||
            append_converted(result.get(), func, keep, line.get()) < 0) {
            return nullptr;
        }
    }
}

PyObject *read_split(call &c) noexcept
{
    c.at(line::read_split);
    PyObject *func = c[2];
    ref result = ref::steal(PyList_New(0));
    if (!result) {
        return nullptr;
    }
    ref entered = ref::steal(PyObject_CallOneArg(cached_input().get(), c[0]));
    if (!entered) {
        return nullptr;
    }
    ref split = ref::steal(PyObject_GetAttr(entered.get(), constant(s_split)));
    if (!split) {
        return nullptr;
    }
    ref pieces = ref::steal(PyObject_CallOneArg(split.get(), c[1]));
    if (!pieces) {
        return nullptr;
    }
    bool keep = is_default_function(func);
    if (keep && PyList_CheckExact(pieces.get())) {
        // [i for i in pieces]: a new list of the same pieces. Nothing runs
        // between the pieces, so a copy is what the walk would give; a
        // list that this call alone holds (str.split's) is that copy.
        // Handing it out keeps read_split() at the cost of
        // input().split() (1.05 x with a copy, in instructions).
        if (Py_REFCNT(pieces.get()) == 1) {
            return pieces.release();
        }
        return PyList_GetSlice(pieces.get(), 0, PY_SSIZE_T_MAX);
    }
    frame::element_walk walk;
    if (walk.start(pieces.get()) < 0) {
        return nullptr;
    }
    for (;;) {
        ref i;
        int more = walk.next(i);
        if (more <= 0) {
            return more < 0 ? nullptr : result.release();
        }
        if (append_converted(result.get(), func, keep, i.get()) < 0) {
            return nullptr;
        }
    }
}

constexpr frame::string_index lambda_params[] = {s_s};

// The default functions live only in their owners' default storage: no
// namespace key and no code object. `name_string` is the owner's.
constexpr frame::function_spec read_lambda = {
    .name = "lambda",
    .name_string = s_read,
    .qualname = s_read_lambda,
    .params = lambda_params,
    .required = 1,
    .def_line = line::def_read,
    .body = identity,
    .runs_user_code = false,
};

constexpr frame::function_spec read_split_lambda = {
    .name = "lambda1",
    .name_string = s_read_split,
    .qualname = s_read_split_lambda,
    .params = lambda_params,
    .required = 1,
    .def_line = line::def_read_split,
    .body = identity,
    .runs_user_code = false,
};

constexpr frame::string_index read_params[] = {s_n, s_s, s_func};
constexpr frame::string_index read_locals[] = {s_n, s_s, s_func, s_i};
constexpr frame::default_value read_defaults[] = {
    frame::default_value::constant(s_empty),
    frame::default_value::in_storage(),
};

constexpr frame::string_index read_split_params[] = {s_s, s_spl, s_func};
constexpr frame::string_index read_split_locals[] = {s_s, s_spl, s_func, s_i};
constexpr frame::default_value read_split_defaults[] = {
    frame::default_value::constant(s_empty),
    frame::default_value::constant(s_space),
    frame::default_value::in_storage(),
};

constexpr frame::function_spec functions[] = {
    {
        .name = "read",
        .name_string = s_read,
        .qualname = s_read,
        .params = read_params,
        .required = 1,
        .locals = read_locals,
        .def_line = line::def_read,
        .body = read,
        .defaults = frame::defaults_kind::builder,
        .default_values = read_defaults,
        .default_function = &read_lambda,
    },
    {
        .name = "read_split",
        .name_string = s_read_split,
        .qualname = s_read_split,
        .params = read_split_params,
        .required = 0,
        .locals = read_split_locals,
        .def_line = line::def_read_split,
        .body = read_split,
        .defaults = frame::defaults_kind::builder,
        .default_values = read_split_defaults,
        .default_function = &read_split_lambda,
    },
};

}  // namespace

constexpr frame::module_spec frame::this_module = {
    .identity = {"korvex.list.read"},
    .strings = strings,
    .functions = functions,
    .cached_builtins = cached_builtins,
};

KORVEX_MODULE_INIT(read)
