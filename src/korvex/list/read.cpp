// korvex.list.read: read(n, s="", func=<lambda>) and
// read_split(s="", spl=" ", func=<lambda>).
//
// Both read through the builtin `input` found at import, so prompts, the
// stream (`sys.stdin` at call time) and end of input are that builtin's.
#include "frame.hpp"

namespace {

using frame::call;
using frame::ref;
using frame::string;

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
    s_module_name,
    s_test,
    s_empty,
    s_space,
    s_source_path,
    string_count,
};

// clang-format off
constexpr frame::string_row strings[] = {
    {"func", true},
    {"i", true},
    {"input", true},
    {"n", true},
    {"range", true},
    {"read", true},
    {"read.<locals>.<lambda>", true},
    {"read_split", true},
    {"read_split.<locals>.<lambda>", true},
    {"s", true},
    {"spl", true},
    {"split", true},
    {"korvex.list.read", true},
    {"__test__", true},
    {"", false},
    {" ", false},
    {"src\\korvex\\list\\read.cpp", false},
};
// clang-format on
static_assert(std::size(strings) == string_count);

// Cached at import, in this order. A call holds them: an import that runs
// exec again replaces them.
constexpr frame::string_index cached_builtins[] = {s_range, s_input};
ref cached_range() { return ref::new_ref(frame::state.cached_builtins[0]); }
ref cached_input() { return ref::new_ref(frame::state.cached_builtins[1]); }

// The default `func` of both functions: the line or piece itself.
PyObject *identity(call &c) noexcept { return Py_NewRef(c[0]); }

// Calls `func` on `item` and appends the result to `result`.
int append_converted(PyObject *result, PyObject *func, PyObject *item)
{
    ref converted = ref::steal(PyObject_CallOneArg(func, item));
    if (!converted) {
        return -1;
    }
    return PyList_Append(result, converted.get());
}

PyObject *read(call &c) noexcept
{
    ref n = c.own(0);
    ref s = c.own(1);
    ref func = c.own(2);
    ref result = ref::steal(PyList_New(0));
    if (!result) {
        return c.fail(2);
    }
    ref numbers =
        ref::steal(PyObject_CallOneArg(cached_range().get(), n.get()));
    if (!numbers) {
        return c.fail(2);
    }
    ref iterator = ref::steal(PyObject_GetIter(numbers.get()));
    if (!iterator) {
        return c.fail(2);
    }
    // `input` on a stream that never ends, with a C `func`, runs no Python
    // code: the loop checks for signals.
    ref input = cached_input();
    frame::signal_check signals;
    for (;;) {
        ref i;
        int more = frame::next_item(iterator.get(), i);
        if (more <= 0) {
            return more < 0 ? c.fail(2) : result.release();
        }
        if (signals.step() < 0) {
            return c.fail(2);
        }
        ref line = ref::steal(PyObject_CallOneArg(input.get(), s.get()));
        if (!line ||
            append_converted(result.get(), func.get(), line.get()) < 0) {
            return c.fail(2);
        }
    }
}

PyObject *read_split(call &c) noexcept
{
    ref s = c.own(0);
    ref spl = c.own(1);
    ref func = c.own(2);
    ref result = ref::steal(PyList_New(0));
    if (!result) {
        return c.fail(4);
    }
    ref line =
        ref::steal(PyObject_CallOneArg(cached_input().get(), s.get()));
    if (!line) {
        return c.fail(4);
    }
    ref split = ref::steal(PyObject_GetAttr(line.get(), string(s_split)));
    if (!split) {
        return c.fail(4);
    }
    ref pieces = ref::steal(PyObject_CallOneArg(split.get(), spl.get()));
    if (!pieces) {
        return c.fail(4);
    }
    frame::element_walk walk;
    if (walk.start(pieces.get()) < 0) {
        return c.fail(4);
    }
    for (;;) {
        ref i;
        int more = walk.next(i);
        if (more <= 0) {
            return more < 0 ? c.fail(4) : result.release();
        }
        if (append_converted(result.get(), func.get(), i.get()) < 0) {
            return c.fail(4);
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
    .def_line = 1,
    .body = identity,
    .calls_out = false,
};

constexpr frame::function_spec read_split_lambda = {
    .name = "lambda1",
    .name_string = s_read_split,
    .qualname = s_read_split_lambda,
    .params = lambda_params,
    .required = 1,
    .def_line = 3,
    .body = identity,
    .calls_out = false,
};

constexpr frame::string_index read_params[] = {s_n, s_s, s_func};
constexpr frame::string_index read_locals[] = {s_n, s_s, s_func, s_i};
constexpr frame::default_value read_defaults[] = {
    {.stored = false, .string = s_empty},
    {.stored = true, .string = 0},
};

constexpr frame::string_index read_split_params[] = {s_s, s_spl, s_func};
constexpr frame::string_index read_split_locals[] = {s_s, s_spl, s_func, s_i};
constexpr frame::default_value read_split_defaults[] = {
    {.stored = false, .string = s_empty},
    {.stored = false, .string = s_space},
    {.stored = true, .string = 0},
};

constexpr frame::function_spec functions[] = {
    {
        .name = "read",
        .name_string = s_read,
        .qualname = s_read,
        .params = read_params,
        .required = 1,
        .locals = read_locals,
        .def_line = 1,
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
        .def_line = 3,
        .body = read_split,
        .defaults = frame::defaults_kind::builder,
        .default_values = read_split_defaults,
        .default_function = &read_split_lambda,
    },
};

}  // namespace

constexpr frame::module_spec frame::this_module = {
    .name = "read",
    .full_name = s_module_name,
    .source_path = s_source_path,
    .test_name = s_test,
    .traceback_file = "src\\\\korvex\\\\list\\\\read.cpp",
    .strings = strings,
    .functions = functions,
    .cached_builtins = cached_builtins,
};

KORVEX_MODULE_INIT(read)
