"""korvex.list.strutils.sundle: multi_str_sundle(sep, *args) and
str_sundle(sep, s)."""

import gc
import inspect
import sys

import pytest
from hypothesis import given, settings, strategies as st

from conftest import Boom, entries, korvex_entries, one_korvex_entry
from korvex.list.strutils import sundle
from korvex.list.strutils.sundle import multi_str_sundle, str_sundle

TB_FILE = "src\\\\korvex\\\\list\\\\strutils\\\\sundle.cpp"
CODE_FILE = "src\\korvex\\list\\strutils\\sundle.cpp"
PREFIX = "korvex.list.strutils.sundle."


class Untouchable:
    """Fails loudly on anything but being passed around."""
    def __getattribute__(self, name):
        raise AssertionError(f"looked up {name}")

    def __eq__(self, *args):
        raise AssertionError("used")

    __hash__ = __bool__ = __len__ = __iter__ = __repr__ = __eq__


class Recorder:
    """`split` records its arguments and returns `pieces`."""
    def __init__(self, pieces, calls):
        self.pieces, self.calls = pieces, calls

    def split(self, *args, **kwargs):
        self.calls.append((self, args, kwargs))
        return self.pieces()


def failure(function, *args, **kwargs):
    with pytest.raises(Exception) as info:
        function(*args, **kwargs)
    name, line, _, frame = one_korvex_entry(info.value, TB_FILE)
    assert frame.f_globals is vars(sundle)
    return info.value, name.removeprefix(PREFIX), line


@pytest.mark.parametrize("sep, args, expected", [
    (",", ("a,b", "c"), ["a", "b", "c"]),
    (",", ("a,,b", "", ","), ["a", "", "b", "", "", ""]),
    (",", ("",), [""]),
    (", ", ("x, y,z", "w"), ["x", "y,z", "w"]),
    (None, (" a  b ", "c\td"), ["a", "b", "c", "d"]),
    (None, ("", "   "), []),
    (b",", (b"a,b", b""), [b"a", b"b", b""]),
    (",", (), []),
])
def test_pieces_in_order(sep, args, expected):
    assert multi_str_sundle(sep, *args) == expected
    assert multi_str_sundle(sep, *args) is not multi_str_sundle(sep, *args)


@settings(max_examples=200, deadline=None)
@given(st.one_of(st.none(), st.text(min_size=1, max_size=3)),
       st.lists(st.text(alphabet=" ,;ab\t", max_size=12), max_size=5))
def test_same_as_joined_splits(sep, strings):
    assert multi_str_sundle(sep, *strings) == \
        [piece for s in strings for piece in s.split(sep)]


class Sep(str):
    pass


class OwnSplit(str):
    def split(self, sep=None, maxsplit=-1):
        return ["own", sep]


@pytest.mark.parametrize("sep, args, expected", [
    # exact str elements, split directly, against str and None separators
    (Sep(","), ("a,b",), ["a", "b"]),
    (None, ("a b", OwnSplit("c d")), ["a", "b", "own", None]),
    # a str subclass element keeps its own split
    (",", (OwnSplit("a,b"), "c,d"), ["own", ",", "c", "d"]),
    # a separator that is not a str reaches str.split and its message
    (b",", ("a",), TypeError("must be str or None, not bytes")),
    ("", ("a",), ValueError("empty separator")),
    # the first exact str raises it, after the elements before it split
    ("", (OwnSplit("a"), "b"), ValueError("empty separator")),
    ("", ("", "b"), ValueError("empty separator")),
])
def test_exact_str_elements_split_like_the_method(sep, args, expected):
    if isinstance(expected, Exception):
        with pytest.raises(type(expected)) as caught:
            multi_str_sundle(sep, *args)
        assert str(caught.value) == str(expected)
        assert entries(caught.value)[-1][:2] == (
            "korvex.list.strutils.sundle.multi_str_sundle", 6)
    else:
        assert multi_str_sundle(sep, *args) == expected


@pytest.mark.parametrize("pieces, expected", [
    (lambda: ("x", "y"), ["x", "y", "x", "y"]),
    (lambda: (c for c in "pq"), ["p", "q", "p", "q"]),
    (lambda: {"k": 1, "j": 2}, ["k", "j", "k", "j"]),
    (lambda: [], []),
])
def test_any_split_method(pieces, expected):
    calls, sep = [], object()
    first, second = Recorder(pieces, calls), Recorder(pieces, calls)
    assert multi_str_sundle(sep, first, second) == expected
    assert [c[0] for c in calls] == [first, second]
    assert all(c[1] == (sep,) and c[1][0] is sep and c[2] == {}
               for c in calls)


def test_no_element_never_touches_sep():
    sep = Untouchable()
    count = sys.getrefcount(sep)
    assert multi_str_sundle(sep) == []
    assert multi_str_sundle(sep=sep) == []
    assert str_sundle(sep, Untouchable()) is None
    assert str_sundle(s=sep, sep=sep) is None
    assert sys.getrefcount(sep) == count


def test_failure_after_first_element():
    calls = []
    exc, name, line = failure(multi_str_sundle, ",",
                              Recorder(lambda: ["a"], calls), 5)
    assert (type(exc), str(exc)) == \
        (AttributeError, "'int' object has no attribute 'split'")
    assert (name, line, len(calls)) == ("multi_str_sundle", 6, 1)


def raising_split(sep):
    raise Boom(sep)


class Raising:
    split = staticmethod(raising_split)


@pytest.mark.parametrize("args, error, message", [
    ((",", Raising()), Boom, ","),
    (("", "a"), ValueError, "empty separator"),
    ((",", b"a,b"), TypeError, "a bytes-like object is required, not 'str'"),
    ((",", Recorder(lambda: 5, [])), TypeError, "must assign iterable to extended slice"),
])
def test_split_failures(args, error, message):
    exc, name, line = failure(multi_str_sundle, *args)
    assert (type(exc), str(exc), name, line) == \
        (error, message, "multi_str_sundle", 6)
    if error is Boom:
        # The callee's own entry stays, inside the korvex one.
        assert [e[0] for e in entries(exc)[-2:]] == \
            [PREFIX + "multi_str_sundle", "raising_split"]


def test_no_reference_kept():
    sep, pieces = object(), ("p", "q")
    good = Recorder(lambda: pieces, [])
    held = (sep, pieces, good)
    before = [sys.getrefcount(o) for o in held]
    for _ in range(50):
        assert multi_str_sundle(sep, good, good) == ["p", "q", "p", "q"]
        with pytest.raises(Boom):
            multi_str_sundle(sep, good, Raising())
        with pytest.raises(TypeError):
            multi_str_sundle(sep, good, sep=sep)
    good.calls.clear()
    gc.collect()
    assert [sys.getrefcount(o) for o in held] == before


COUNT2 = "str_sundle() takes exactly 2 positional arguments ({} given)"
COUNT1 = "multi_str_sundle() takes at least 1 positional argument (0 given)"
MULTIPLE = "{}() got multiple values for keyword argument '{}'"
UNEXPECTED = "{}() got an unexpected keyword argument '{}'"


@pytest.mark.parametrize("function, args, kwargs, message, line", [
    (str_sundle, (), {}, COUNT2.format(0), 1),
    (str_sundle, (",",), {}, COUNT2.format(1), 1),
    (str_sundle, (",", "a", "b"), {}, COUNT2.format(3), 1),
    (str_sundle, (",", "a", "b"), {"t": 1}, COUNT2.format(3), 1),
    (str_sundle, (), {"s": "a"}, COUNT2.format(0), 1),
    (str_sundle, (), {"sep": ","}, COUNT2.format(1), 1),
    (str_sundle, (",",), {"sep": ","}, COUNT2.format(1), 1),
    (str_sundle, (",",), {"t": 1}, COUNT2.format(1), 1),
    (str_sundle, (",", "a"), {"sep": ","}, MULTIPLE.format("str_sundle", "sep"), 1),
    (str_sundle, (",", "a"), {"t": 1}, UNEXPECTED.format("str_sundle", "t"), 1),
    (str_sundle, (), {"s": 1, "sep": 2, "t": 3},
     UNEXPECTED.format("str_sundle", "t"), 1),
    (multi_str_sundle, (), {}, COUNT1, 3),
    (multi_str_sundle, (), {"x": 1}, COUNT1, 3),
    (multi_str_sundle, (",", "a,b"), {"sep": ";"},
     MULTIPLE.format("multi_str_sundle", "sep"), 3),
    (multi_str_sundle, (",",), {"x": 1}, UNEXPECTED.format("multi_str_sundle", "x"), 3),
    (multi_str_sundle, (), {"sep": ",", "x": 1},
     UNEXPECTED.format("multi_str_sundle", "x"), 3),
])
def test_binding_errors(function, args, kwargs, message, line):
    exc, name, got_line = failure(function, *args, **kwargs)
    assert (type(exc), str(exc)) == (TypeError, message)
    assert (name, got_line) == (function.__name__, line)


class Incomparable(str):
    """A keyword name whose comparison with a parameter name fails."""
    __hash__ = str.__hash__

    def __eq__(self, other):
        raise LookupError(other)


@pytest.mark.parametrize("function, args, kwargs, line", [
    (str_sundle, (",",), {Incomparable("s"): 1}, 1),
    (multi_str_sundle, (), {Incomparable("sep"): ","}, 3),
])
def test_keyword_comparison_failure(function, args, kwargs, line):
    # Passed on through a lambda: binding `failure` itself would compare.
    exc, name, got_line = failure(lambda: function(*args, **kwargs))
    assert (type(exc), name, got_line) == (LookupError, function.__name__, line)


@pytest.mark.parametrize("call, expected", [
    (lambda: str_sundle(",", "a,b"), None),
    (lambda: str_sundle(s=1, sep=2), None),
    (lambda: str_sundle(1, s=2), None),
    (lambda: str_sundle(**{"".join("sep"): 1, "".join("s"): 2}), None),
    (lambda: multi_str_sundle(sep=","), []),
    (lambda: multi_str_sundle(**{"".join("sep"): ","}), []),
])
def test_binding_accepts(call, expected):
    assert call() == expected


@pytest.mark.parametrize("function", [str_sundle, multi_str_sundle])
def test_non_string_keyword(function):
    with pytest.raises(TypeError, match="^keywords must be strings$") as info:
        function(*(",", "a"), **{1: 2})
    assert korvex_entries(info.value) == 0


@pytest.mark.parametrize("function, varnames, flags, line, argcount, signature", [
    (str_sundle, ("sep", "s"), 3, 1, 2, "(sep, s)"),
    (multi_str_sundle, ("sep", "args", "ls", "a"), 7, 3, 1, "(sep, *args)"),
])
def test_function_objects(function, varnames, flags, line, argcount, signature):
    code = function.__code__
    assert (code.co_varnames, code.co_flags, code.co_firstlineno,
            code.co_argcount, code.co_nlocals) == \
        (varnames, flags, line, argcount, len(varnames))
    assert (code.co_posonlyargcount, code.co_kwonlyargcount) == (0, 0)
    assert (code.co_filename, code.co_name) == (CODE_FILE, function.__name__)
    assert str(inspect.signature(function)) == signature
    assert (function.__module__, function.__qualname__, function.__doc__,
            function.__defaults__, function.__kwdefaults__) == \
        ("korvex.list.strutils.sundle", function.__name__, None, None, None)
    assert getattr(sundle, function.__name__) is function
    assert sundle.__test__ == {}
