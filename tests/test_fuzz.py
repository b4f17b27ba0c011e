"""Differential fuzzing against the pure-Python models in _models.py: random
call shapes for every function (positional counts, keyword names from the
parameters and strangers, str subclasses as names, non-str names, the
classic call and raw vectorcall), and random inputs for every body, with
the result, the exception (type and message) and the order of the calls
into user code compared.

KORVEX_FUZZ_EXAMPLES raises the number of examples per test (default 120)."""

import io
import math
import os
import sys
import types

import _testcapi
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import _models as model
import korvex.dict.write as write_module
from conftest import entries_from_korvex
from korvex.dict.write import write_klist, write_vlist
from korvex.list.ambrel import ambrel
from korvex.list.count import elemcount
from korvex.list.read import read, read_split
from korvex.list.strutils.sundle import multi_str_sundle, str_sundle

FUZZ = settings(
    max_examples=int(os.environ.get("KORVEX_FUZZ_EXAMPLES", "120")),
    deadline=None, database=None,
    suppress_health_check=[HealthCheck.too_slow,
                           HealthCheck.function_scoped_fixture])


def outcome(call):
    """('ok', value) or ('error', type, message, korvex entries)."""
    try:
        return ("ok", call())
    except Exception as e:
        found = [(name, line) for name, line, _, _ in entries_from_korvex(e)]
        return ("error", type(e), str(e), found)


def check(real, expected, entry):
    """The same result, or the same exception type and message, the real
    one carrying the one korvex entry named `entry` (the models have none
    of their own)."""
    if expected[0] == "ok":
        assert real == expected
        return
    assert real[:3] == expected[:3]
    assert [name for name, _ in real[3]] == [entry]


# --- call shapes ----------------------------------------------------------------

class Name(str):
    """A str subclass as a keyword name; `loose` compares equal to every
    name, `raising` raises when compared."""

    mode = "plain"

    def __eq__(self, other):
        if self.mode == "loose":
            return True
        if self.mode == "raising":
            raise ArithmeticError("compared")
        return str.__eq__(self, other)

    __hash__ = str.__hash__


def name_of(text, mode):
    if mode == "exact":
        return text
    name = Name(text)
    name.mode = mode
    return name


# Each function: the real one, its model signature, its entry name and
# def line.
READ_LAMBDA = read.__defaults__[1]
SPLIT_LAMBDA = read_split.__defaults__[2]
SIGNATURES = {
    "elemcount": (elemcount, model.Signature("elemcount", ("ls",), 1),
                  "korvex.list.count.elemcount", 1),
    "read": (read, model.Signature("read", ("n", "s", "func"), 1,
                                   defaults=("", READ_LAMBDA)),
             "korvex.list.read.read", 1),
    "read_split": (read_split, model.Signature(
        "read_split", ("s", "spl", "func"), 0,
        defaults=("", " ", SPLIT_LAMBDA)), "korvex.list.read.read_split", 3),
    "lambda1": (SPLIT_LAMBDA, model.Signature("lambda1", ("s",), 1),
                "korvex.list.read.lambda1", 3),
    "ambrel": (ambrel, model.Signature("ambrel", ("ls", "func"), 2,
                                       varargs=True, varkw=True),
               "korvex.list.ambrel.ambrel", 1),
    "str_sundle": (str_sundle, model.Signature("str_sundle", ("sep", "s"), 2),
                   "korvex.list.strutils.sundle.str_sundle", 1),
    "multi_str_sundle": (multi_str_sundle, model.Signature(
        "multi_str_sundle", ("sep",), 1, varargs=True),
        "korvex.list.strutils.sundle.multi_str_sundle", 3),
    "write_klist": (write_klist, model.Signature(
        "write_klist", ("d", "sep", "end"), 1, defaults=(" ", "\n")),
        "korvex.dict.write.write_klist", 2),
}


class Probe:
    """A value that every body accepts in every parameter, and that shows
    where it went: iterable (one element, itself), callable (returns its
    tag and what it got), with `split` and `items`, and an int for read."""

    def __init__(self, tag):
        self.tag = tag

    def __repr__(self):
        return f"<{self.tag}>"

    def __iter__(self):
        return iter([self.tag])

    def __call__(self, *args, **kwargs):
        return (self.tag, args, sorted((str.__str__(k), v)
                                       for k, v in kwargs.items()))

    def split(self, sep):
        return [(self.tag, sep)]

    def items(self):
        return [(self.tag, self.tag)]

    def count(self, value):
        return 1

    def __index__(self):
        return 1

    def __eq__(self, other):
        return isinstance(other, Probe) and other.tag == self.tag

    def __hash__(self):
        return hash(self.tag)


def run_body(key, function, bound_or_call):
    """Runs the real call (a callable) or the model body (a Bound) with
    standard input, output and the writer set up, and returns what can be
    seen: the result, the output, the writer's calls."""
    saved = sys.stdin, sys.stdout, write_module.list
    written = []
    sys.stdin = io.StringIO("l1\nl2\nl3\n")
    sys.stdout = io.StringIO()
    write_module.list = types.SimpleNamespace(write=types.SimpleNamespace(
        write=lambda *a: written.append(a)))
    try:
        if callable(bound_or_call):
            got = outcome(bound_or_call)
        else:
            got = outcome(lambda: model_body(key, bound_or_call))
        return got, sys.stdout.getvalue(), written
    finally:
        sys.stdin, sys.stdout, write_module.list = saved


def model_body(key, bound):
    s = bound.slots
    if key == "elemcount":
        return model.elemcount(*s)
    if key == "read":
        n, prompt, func = s
        func = (lambda line: line) if func is READ_LAMBDA else func
        return model.read(n, prompt, func, input=input)
    if key == "read_split":
        prompt, spl, func = s
        func = (lambda piece: piece) if func is SPLIT_LAMBDA else func
        return model.read_split(prompt, spl, func, input=input)
    if key == "lambda1":
        return s[0]
    if key == "ambrel":
        # Inline rather than through model.ambrel: a keyword name that
        # compares equal to anything must meet only the parameters of the
        # callee, not those of a model function on the way.
        ls, func = s
        return [func(l, *bound.args, **bound.kwargs) for l in ls]
    if key == "str_sundle":
        return None
    if key == "multi_str_sundle":
        return model.multi_str_sundle(*s, *bound.args)
    return model.write_side(vars(write_module), *s, keys=True)


KEYWORD_TEXTS = ["ls", "n", "s", "func", "spl", "sep", "d", "end", "args",
                 "kwargs", "x", "l", "lambda"]


@st.composite
def call_shapes(draw):
    key = draw(st.sampled_from(sorted(SIGNATURES)))
    nargs = draw(st.integers(0, 5))
    positional = tuple(Probe(f"p{i}") for i in range(nargs))
    route = draw(st.sampled_from(["vectorcall", "classic", "raw"]))
    count = draw(st.integers(0, 4))
    keywords = []
    for i in range(count):
        text = draw(st.sampled_from(KEYWORD_TEXTS))
        kind = draw(st.sampled_from(
            ["exact"] * 4 + ["plain", "loose", "raising", "int"]))
        if kind == "int" and route == "vectorcall":
            kind = "exact"
        keyword = i if kind == "int" else name_of(text, kind)
        keywords.append((keyword, Probe(f"k{i}")))
    if route != "raw":
        # Through a dict: names that compare in their own way stay out of
        # it (the dict would compare them while it is built), and equal
        # names collapse into one entry, as they do in the call.
        mapping = {}
        for keyword, value in keywords:
            if isinstance(keyword, Name) and keyword.mode != "plain":
                continue
            if isinstance(keyword, int) and route == "vectorcall":
                continue
            mapping[keyword] = value
        keywords = list(mapping.items())
    return key, positional, route, keywords


def real_call(function, positional, route, keywords):
    if route == "raw":
        return lambda: _testcapi.pyobject_vectorcall(
            function, positional + tuple(v for _, v in keywords),
            tuple(k for k, _ in keywords) if keywords else None)
    mapping = {}
    for k, v in keywords:
        dict.__setitem__(mapping, k, v)
    if route == "classic":
        return lambda: type(function).__call__(function, *positional,
                                               **mapping)
    return lambda: function(*positional, **mapping)


def model_call(signature, entry, def_line, positional, route, keywords):
    """What the binding rule says: a Bound, or the error outcome."""
    if route == "classic" and any(not isinstance(k, str)
                                  for k, _ in keywords):
        return ("error", TypeError, "keywords must be strings", [])
    part = None if (route == "raw" and not keywords) or (
        route != "raw" and not keywords) else list(keywords)
    try:
        return signature.bind(positional, part)
    except Exception as e:
        return ("error", type(e), str(e), [(entry, def_line)])


@FUZZ
@given(call_shapes())
def test_binding_matches_the_model(shape):
    key, positional, route, keywords = shape
    function, signature, entry, def_line = SIGNATURES[key]
    expected = model_call(signature, entry, def_line, positional, route,
                          keywords)
    real = run_body(key, function, real_call(function, positional, route,
                                             keywords))
    if isinstance(expected, tuple):
        assert real[0] == expected
        return
    wanted = run_body(key, function, expected)
    check(real[0], wanted[0], entry)
    assert real[1:] == wanted[1:]


# --- bodies -------------------------------------------------------------------

class Logged:
    """An element whose comparisons and hashing are written to a log, and
    that may raise on its n-th comparison."""

    def __init__(self, log, key, fail_at=None):
        self.log = log
        self.key = key
        self.fail_at = fail_at
        self.compared = 0

    def __eq__(self, other):
        self.log.append(("eq", self.key, getattr(other, "key", repr(other))))
        self.compared += 1
        if self.compared == self.fail_at:
            raise LookupError(f"eq {self.key}")
        if not isinstance(other, Logged):
            return NotImplemented
        return self.key == other.key

    def __hash__(self):
        self.log.append(("hash", self.key))
        return hash(self.key)

    def __repr__(self):
        return f"L{self.key}"


def rebuild(shape, log):
    """Makes the elements a shape describes, with a fresh log."""
    kind, value = shape
    if kind == "logged":
        return Logged(log, *value)
    if kind == "list":
        return [rebuild(v, log) for v in value]
    if kind == "tuple":
        return tuple(rebuild(v, log) for v in value)
    return value


scalars = st.one_of(
    st.integers(-3, 3), st.sampled_from(["a", "b", "", "\u20ac", b"a",
                                         None, True, False, 1.0, math.nan,
                                         -0.0, 0.0]))
element_shapes = st.recursive(
    st.one_of(scalars.map(lambda v: ("value", v)),
              st.tuples(st.integers(0, 2), st.one_of(
                  st.none(), st.integers(1, 4))).map(
                  lambda v: ("logged", v))),
    lambda inner: st.one_of(
        st.lists(inner, max_size=3).map(lambda v: ("list", v)),
        st.lists(inner, max_size=3).map(lambda v: ("tuple", v))),
    max_leaves=6)


def shape_key(value):
    """Result keys compared with their types and reprs (NaN included)."""
    return (type(value).__name__, repr(value))


def summary(result):
    if result[0] == "ok" and isinstance(result[1], dict):
        return ("ok", [(shape_key(k), v) for k, v in result[1].items()])
    return result


class SubList(list):
    pass


@FUZZ
@given(st.lists(element_shapes, max_size=8),
       st.sampled_from(["list", "tuple", "iter", "sublist", "str", "bytes"]))
def test_elemcount_matches_the_model(shapes, container):
    def run(function):
        log = []
        items = [rebuild(shape, log) for shape in shapes]
        if container == "str":
            ls = "".join(str(i) for i in items)
        elif container == "bytes":
            ls = "".join(repr(i) for i in items).encode()
        else:
            ls = {"list": list, "tuple": tuple, "iter": iter,
                  "sublist": SubList}[container](items)
        return summary(outcome(lambda: function(ls))), log
    real, expected = run(elemcount), run(model.elemcount)
    check(real[0], expected[0], "korvex.list.count.elemcount")
    assert real[1] == expected[1]


funcs = st.sampled_from(["identity", "upper", "int", "none", "fail1",
                         "fail2", "log"])


def make_func(name, log):
    counter = []

    def fail(n):
        def func(x):
            log.append(("func", x))
            counter.append(x)
            if len(counter) == n:
                raise KeyError(f"func {x}")
            return x
        return func
    return {
        "identity": None,
        "upper": str.upper,
        "int": int,
        "none": "none",
        "fail1": fail(1),
        "fail2": fail(2),
        "log": lambda x: log.append(("func", x)) or (x,),
    }[name]


texts = st.text(alphabet="ab ,1", max_size=8)


def compare_reading(real, modelled, lines, func_name, entry):
    """Runs the korvex call and its model on the same standard input and
    compares outcome, output, unread input and calls of `func`."""
    def run(call):
        log = []
        func = make_func(func_name, log)
        extra = [] if func is None else [None if func == "none" else func]
        saved = sys.stdin, sys.stdout
        sys.stdin = io.StringIO("".join(line + "\n" for line in lines))
        sys.stdout = io.StringIO()
        try:
            got = outcome(lambda: call(extra))
            return got, sys.stdout.getvalue(), sys.stdin.read(), log
        finally:
            sys.stdin, sys.stdout = saved
    got, expected = run(real), run(modelled)
    check(got[0], expected[0], entry)
    assert got[1:] == expected[1:]


@FUZZ
@given(st.one_of(st.integers(-2, 4), st.sampled_from(["2", None, 2.0])),
       st.lists(texts, max_size=5), st.sampled_from(["", "> "]), funcs)
def test_read_matches_the_model(n, lines, prompt, func_name):
    compare_reading(
        lambda extra: read(n, prompt, *extra),
        lambda extra: model.read(n, prompt, *extra, input=input),
        lines, func_name, "korvex.list.read.read")


@FUZZ
@given(st.lists(texts, max_size=2), st.sampled_from(["", "? "]),
       st.sampled_from([" ", ",", None, "", 1, "ab", b","]), funcs)
def test_read_split_matches_the_model(lines, prompt, spl, func_name):
    compare_reading(
        lambda extra: read_split(prompt, spl, *extra),
        lambda extra: model.read_split(prompt, spl, *extra, input=input),
        lines, func_name, "korvex.list.read.read_split")


class Splitter:
    def __init__(self, log, key, result):
        self.log = log
        self.key = key
        self.result = result

    def split(self, sep):
        self.log.append(("split", self.key, sep))
        if self.result == "raise":
            raise UnicodeError(f"split {self.key}")
        if self.result == "gen":
            return (c for c in "xy")
        return self.result


split_elements = st.one_of(
    texts, st.sampled_from([b"a,b", b"", 5, None]),
    st.tuples(st.integers(0, 3), st.sampled_from(
        ["raise", "gen", 7, ["p", "q"], "uv", ()])).map(
        lambda v: ("splitter", v)))


@FUZZ
@given(st.sampled_from([",", " ", None, "", b",", 1]),
       st.lists(split_elements, max_size=5))
def test_multi_str_sundle_matches_the_model(sep, shapes):
    def run(function):
        log = []
        args = [Splitter(log, *s[1]) if isinstance(s, tuple) else s
                for s in shapes]
        return outcome(lambda: function(sep, *args)), log
    real, expected = run(multi_str_sundle), run(model.multi_str_sundle)
    check(real[0], expected[0], "korvex.list.strutils.sundle.multi_str_sundle")
    assert real[1] == expected[1]


ambrel_funcs = st.sampled_from(["log", "fail2", "none", "int", "classic"])


class ClassicCallable:
    def __init__(self, log):
        self.log = log

    def __call__(self, *args, **kwargs):
        self.log.append(("classic", args, sorted(kwargs.items())))
        return len(args)


@FUZZ
@given(st.one_of(st.lists(scalars, max_size=4), texts,
                 st.sampled_from([5, None, {"a": 1, "b": 2}])),
       st.sampled_from(["list", "iter", "as is"]), ambrel_funcs,
       st.lists(scalars, max_size=3),
       st.dictionaries(st.sampled_from(["x", "y", "sep", "end"]), scalars,
                       max_size=2))
def test_ambrel_matches_the_model(ls, wrap, func_name, args, kwargs):
    def run(function):
        log = []

        def logging_func(*a, **k):
            log.append(("func", a, sorted(k.items())))
            if func_name == "fail2" and len(log) == 2:
                raise ValueError("second")
            return a
        func = {"log": logging_func, "fail2": logging_func, "none": None,
                "int": int, "classic": ClassicCallable(log)}[func_name]
        walked = ls
        if wrap == "list" and not isinstance(ls, (int, type(None))):
            walked = list(ls)
        elif wrap == "iter" and not isinstance(ls, (int, type(None))):
            walked = iter(ls)
        return outcome(lambda: function(walked, func, *args, **kwargs)), log
    real, expected = run(ambrel), run(model.ambrel)
    check(real[0], expected[0], "korvex.list.ambrel.ambrel")
    assert real[1] == expected[1]


pair_items = st.one_of(
    st.tuples(scalars, scalars), st.tuples(), st.tuples(scalars),
    st.tuples(scalars, scalars, scalars), st.sampled_from(["ab", "a", "abc",
                                                           "", 5, None]),
    st.lists(scalars, max_size=3))


@FUZZ
@given(st.one_of(
    st.dictionaries(st.text("ab", max_size=2), scalars, max_size=3).map(
        lambda d: ("dict", d)),
    st.lists(pair_items, max_size=4).map(lambda v: ("items", v)),
    st.lists(pair_items, max_size=4).map(lambda v: ("subclass", v)),
    st.sampled_from([("value", None), ("value", [("a", 1)]),
                     ("value", 5), ("value", "ab")])),
    st.booleans(), st.sampled_from([" ", "-", None, 3]),
    st.sampled_from(["\n", "", None]), st.sampled_from(["ok", "raise"]))
def test_write_matches_the_model(d_shape, keys, sep, end, writer_mode):
    class Items:
        def __init__(self, log, pairs):
            self.log = log
            self.pairs = pairs

        def items(self):
            self.log.append("items")
            return iter(self.pairs)

    class Sub(dict):
        def items(self):
            self.log.append("items")
            return iter(self.pairs)

    def run(real):
        log = []

        def writer(ls, sep, end):
            log.append(("write", ls, sep, end))
            if writer_mode == "raise":
                raise OSError("writer")
            return "ignored"
        kind, value = d_shape
        if kind == "dict":
            d = dict(value)
        elif kind == "items":
            d = Items(log, value)
        elif kind == "subclass":
            d = Sub(a=1)
            d.log, d.pairs = log, value
        else:
            d = value
        saved = write_module.list
        write_module.list = types.SimpleNamespace(
            write=types.SimpleNamespace(write=writer))
        try:
            if real:
                function = write_klist if keys else write_vlist
                got = outcome(lambda: function(d, sep, end))
            else:
                got = outcome(lambda: model.write_side(
                    vars(write_module), d, sep, end, keys))
        finally:
            write_module.list = saved
        return got, log
    real, expected = run(True), run(False)
    check(real[0], expected[0], "korvex.dict.write.write_"
          + ("klist" if keys else "vlist"))
    assert real[1] == expected[1]


@pytest.mark.parametrize("key", sorted(SIGNATURES))
def test_every_function_is_fuzzed(key):
    """The call-shape fuzzer draws every function (a table entry whose
    function is missing would fail here)."""
    function, signature, entry, def_line = SIGNATURES[key]
    assert function.__name__ == signature.name
    assert entry.endswith("." + signature.name)
