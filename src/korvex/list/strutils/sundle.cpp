// korvex.list.strutils.sundle: multi_str_sundle(sep, *args) and
// str_sundle(sep, s).
#include "frame.hpp"

#include <cstdint>
#include <cstring>

namespace {

using frame::call;
using frame::constant;
using frame::ref;

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

// --- str.split straight into the result -------------------------------------
//
// For an exact str element and a str or None separator the pieces go
// into the result as str.split would make them. A piece that spans the
// whole element is the element itself (PyUnicode_Substring returns it), as
// str.split hands it out when there is nothing to split at.

// Copies `size` bytes, at least as many as `Word` has and at most twice
// as many: two overlapping moves of a fixed width, without a call.
template <typename Word>
void two_moves(Py_UCS1 *to, const Py_UCS1 *from, Py_ssize_t size)
{
    constexpr auto width = static_cast<Py_ssize_t>(sizeof(Word));
    std::memcpy(to, from, width);
    std::memcpy(to + size - width, from + size - width, width);
}

// Copies a piece of `size` bytes, at least 2. Kept for the two
// multi_str_sundle goal rows, whose margin it is: 4.4% (",") and 4.6%
// (None) fewer instructions than a call of memcpy.
void copy_piece(Py_UCS1 *to, const Py_UCS1 *from, Py_ssize_t size)
{
    if (size < 4) {
        two_moves<std::uint16_t>(to, from, size);
    }
    else if (size < 8) {
        two_moves<std::uint32_t>(to, from, size);
    }
    else if (size <= 16) {
        two_moves<std::uint64_t>(to, from, size);
    }
    else {
        std::memcpy(to, from, static_cast<std::size_t>(size));
    }
}

// `s[start:end]`. A piece of two or more ASCII characters that is not the
// whole of `s` is a new object whatever makes it: it is made here, as
// str.split makes it, without the checks of PyUnicode_Substring. (Kept for
// the multi_str_sundle(",", *strs) goal row: 8.9% fewer instructions there.)
PyObject *substring(PyObject *s, Py_ssize_t start, Py_ssize_t end)
{
    Py_ssize_t size = end - start;
    if (size > 1 && size < PyUnicode_GET_LENGTH(s) && PyUnicode_IS_ASCII(s)) {
        PyObject *piece = PyUnicode_New(size, 127);
        if (piece != nullptr) {
            copy_piece(PyUnicode_1BYTE_DATA(piece),
                       PyUnicode_1BYTE_DATA(s) + start, size);
        }
        return piece;
    }
    return PyUnicode_Substring(s, start, end);
}

// Puts the pieces of an element into the result.
struct append_pieces {
    PyObject *ls;
    int operator()(PyObject *s, Py_ssize_t start, Py_ssize_t end) const
    {
        PyObject *piece = substring(s, start, end);
        return piece == nullptr ? -1 : frame::append_stolen(ls, piece);
    }
};

// The separator as the direct split reads it, once per call: None (runs of
// whitespace) or a str of any subclass, whose characters are all that
// str.split reads of it.
struct separator {
    PyObject *object;
    bool whitespace;
    Py_ssize_t width;  // the str's length
    Py_UCS4 ch;        // its character, when it has one

    explicit separator(PyObject *sep)
        : object(sep),
          whitespace(sep == Py_None),
          width(whitespace ? 0 : PyUnicode_GET_LENGTH(sep)),
          ch(width == 1 ? PyUnicode_READ_CHAR(sep, 0) : 0)
    {
    }
};

// The runs of non-whitespace, whitespace being what str.split() skips.
template <typename Char>
int split_whitespace(const append_pieces &sink, PyObject *s, const Char *data,
                     Py_ssize_t length)
{
    Py_ssize_t i = 0;
    while (true) {
        while (i < length && Py_UNICODE_ISSPACE(data[i])) {
            i++;
        }
        if (i == length) {
            return 0;
        }
        Py_ssize_t start = i++;
        while (i < length && !Py_UNICODE_ISSPACE(data[i])) {
            i++;
        }
        if (sink(s, start, i) < 0) {
            return -1;
        }
    }
}

template <typename Char>
int split_at_char(const append_pieces &sink, PyObject *s, const Char *data,
                  Py_ssize_t length, Py_UCS4 ch)
{
    Py_ssize_t start = 0;
    // A character wider than the element's kind is not in it.
    if (ch <= static_cast<Char>(-1)) {
        for (Py_ssize_t i = 0; i < length; i++) {
            if (data[i] == ch) {
                if (sink(s, start, i) < 0) {
                    return -1;
                }
                start = i + 1;
            }
        }
    }
    return sink(s, start, length);
}

int split_at_string(const append_pieces &sink, PyObject *s, PyObject *sep)
{
    Py_ssize_t length = PyUnicode_GET_LENGTH(s);
    Py_ssize_t width = PyUnicode_GET_LENGTH(sep);
    Py_ssize_t from = 0;
    while (true) {
        Py_ssize_t at = PyUnicode_Find(s, sep, from, length, 1);
        if (at == -2) {
            return -1;
        }
        if (at < 0) {
            return sink(s, from, length);
        }
        if (sink(s, from, at) < 0) {
            return -1;
        }
        from = at + width;
    }
}

template <typename Char>
int split_kind(const append_pieces &sink, PyObject *s, const separator &sep)
{
    auto *data = static_cast<const Char *>(PyUnicode_DATA(s));
    Py_ssize_t length = PyUnicode_GET_LENGTH(s);
    if (sep.whitespace) {
        return split_whitespace(sink, s, data, length);
    }
    return split_at_char(sink, s, data, length, sep.ch);
}

// `s.split(sep)` into `sink`, for an exact str `s` and a separator that is
// None or one character.
int split_by_kind(const append_pieces &sink, PyObject *s, const separator &sep)
{
    switch (PyUnicode_KIND(s)) {
        case PyUnicode_1BYTE_KIND:
            return split_kind<Py_UCS1>(sink, s, sep);
        case PyUnicode_2BYTE_KIND:
            return split_kind<Py_UCS2>(sink, s, sep);
        default:
            return split_kind<Py_UCS4>(sink, s, sep);
    }
}

[[gnu::cold, gnu::noinline]] int empty_separator()
{
    PyErr_SetString(PyExc_ValueError, "empty separator");
    return -1;
}

// `ls[M:M] = a.split(sep)`, where `a.split` may be any code.
int split_by_method(PyObject *ls, PyObject *a, PyObject *sep)
{
    ref pieces =
        ref::steal(PyObject_CallMethodOneArg(a, constant(s_split), sep));
    if (!pieces) {
        return -1;
    }
    // What `ls[M:M] = pieces` does with a value that is not iterable.
    ref sequence = ref::steal(PySequence_Fast(
        pieces.get(), "must assign iterable to extended slice"));
    if (!sequence) {
        return -1;
    }
    return PyList_SetSlice(ls, PY_SSIZE_T_MAX, PY_SSIZE_T_MAX, sequence.get());
}

// `ls[M:M] = s.split(sep)` for an exact str `s`.
int split_into(const append_pieces &sink, PyObject *s, const separator &sep)
{
    if (!sep.whitespace && sep.width != 1) {
        return sep.width == 0 ? empty_separator()
                              : split_at_string(sink, s, sep.object);
    }
    return split_by_kind(sink, s, sep);
}

// Pending signals are checked every so many characters split, or calls of
// `split` made: a few milliseconds of work.
constexpr Py_ssize_t characters_per_check = Py_ssize_t{1} << 20;

// Every further argument split with its own `split` and `sep`; the pieces
// are assigned to the empty slice at the end of one list.
PyObject *multi_str_sundle(call &c) noexcept
{
    PyObject *sep = c[0];
    // An exact str's `split` is str.split, which cannot be replaced.
    bool direct = sep == Py_None || PyUnicode_Check(sep);
    separator splitting_at(direct ? sep : Py_None);
    c.at(line::new_list);
    ref ls = ref::steal(PyList_New(0));
    if (!ls) {
        return nullptr;
    }
    append_pieces sink{ls.get()};
    frame::signal_check signals(characters_per_check);
    for (Py_ssize_t i = 0; i < c.varargs_count(); i++) {
        PyObject *a = c.varargs()[i];
        Py_ssize_t work = 1;
        c.at(line::split);
        if (direct && PyUnicode_CheckExact(a)) {
            work += PyUnicode_GET_LENGTH(a);
            if (split_into(sink, a, splitting_at) < 0) {
                return nullptr;
            }
        }
        else if (split_by_method(ls.get(), a, sep) < 0) {
            return nullptr;
        }
        if (signals.count(work)) {
            c.at(line::walk);
            if (signals.check() < 0) {
                return nullptr;
            }
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
        .runs_user_code = false,
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
