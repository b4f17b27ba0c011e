"""Leaks: every success path and every failure path of every function, run
many times after a warm-up, leaves the number of allocated blocks, the
memory traced by tracemalloc and the reference counts of its arguments,
results and callbacks where they were."""

import gc
import io
import sys
import tracemalloc
import types

import pytest

import korvex.dict.write as write_module
from korvex.dict.write import write_klist, write_vlist
from korvex.list.ambrel import ambrel
from korvex.list.count import elemcount
from korvex.list.read import read, read_split
from korvex.list.strutils.sundle import multi_str_sundle, str_sundle

ROUNDS = 600
# A leak of one block per call shows as ROUNDS blocks; free lists and caches
# move a few.
BLOCK_SLACK = 40
TRACED_SLACK = 4096


class Piece:
    """A fresh object whose references are counted."""

    def __init__(self, text):
        self.text = text

    def __repr__(self):
        return f"Piece({self.text!r})"

    def __eq__(self, other):
        return isinstance(other, Piece) and other.text == self.text

    def __hash__(self):
        return hash(self.text)

    def split(self, sep):
        return [Piece(part) for part in self.text.split(sep)]


class Items:
    def __init__(self, pairs):
        self.pairs = pairs

    def items(self):
        return iter(self.pairs)


def raising(kind, *details):
    """A callback that raises a new `kind(*details)` on every call (one
    instance raised again would grow its traceback each time)."""
    def callback(*args, **kwargs):
        raise kind(*details)
    return callback


def recorder():
    calls = []

    def record(*args, **kwargs):
        calls.append(None)
        calls.clear()
        return args[0] if args else None
    return record


# Each case makes fresh objects and returns (call, watched): `call()` makes
# one call, swallowing the exception it is meant to raise; the reference
# counts of `watched` must not move.

def elemcount_cases():
    a, b = Piece("a"), Piece("b")
    walked = [a, b, a, (a,)]
    yield "elemcount-general", lambda: elemcount(walked), [a, b, walked]
    scalars = [10 ** 20, 1.5, "x", 10 ** 20]
    yield "elemcount-scalars", lambda: elemcount(scalars), [scalars]
    text = "spam\u20ac"
    yield "elemcount-str", lambda: elemcount(text), [text]
    data = b"spam"
    yield "elemcount-bytes", lambda: elemcount(data), [data]
    sub = type("Sub", (list,), {})([a, b, b])
    yield "elemcount-subclass", lambda: elemcount(sub), [a, b, sub]
    yield ("elemcount-classic", lambda: type(elemcount).__call__(
        elemcount, ls=walked), [walked])
    bad = [a, [b]]
    yield "elemcount-unhashable", catching(elemcount, bad), [a, b, bad]
    yield ("elemcount-iterator", lambda: swallow(elemcount, iter(walked)),
           [a, b, walked])
    yield "elemcount-not-iterable", catching(elemcount, a), [a]
    yield "elemcount-binding", catching(elemcount, walked, x=a), [a, walked]
    yield "elemcount-twice", catching(elemcount, walked, ls=a), [a, walked]
    def non_str_name():
        try:
            type(elemcount).__call__(elemcount, walked, **{a: 1})
        except TypeError:
            pass
    yield "elemcount-non-str-name", non_str_name, [a, walked]


def read_cases():
    prompt, func = Piece("p"), recorder()
    feed = io.StringIO("x\n" * (ROUNDS * 8 + 200))

    def with_stdin(call):
        def run():
            saved_in, saved_out = sys.stdin, sys.stdout
            sys.stdin, sys.stdout = feed, io.StringIO()
            try:
                call()
            finally:
                sys.stdin, sys.stdout = saved_in, saved_out
        return run

    yield ("read", with_stdin(lambda: read(3, prompt, func)),
           [prompt, func])
    yield ("read-func-raises",
           with_stdin(catching(read, 2, prompt, raising(KeyError, prompt))),
           [prompt])
    yield ("read-bad-count", with_stdin(catching(read, prompt)), [prompt])
    yield "read-binding", with_stdin(catching(read, n=1, x=prompt)), [prompt]
    yield ("read-split", with_stdin(lambda: read_split(prompt, None, func)),
           [prompt, func])
    yield ("read-split-bad-separator",
           with_stdin(catching(read_split, prompt, "")), [prompt])
    empty = io.StringIO("")

    def at_end():
        saved = sys.stdin
        sys.stdin = empty
        try:
            swallow(read_split, "")
        finally:
            sys.stdin = saved
    yield "read-split-end", at_end, []
    lam = read.__defaults__[1]
    yield "read-lambda", lambda: lam(prompt), [prompt, lam]
    yield "read-lambda-binding", catching(lam, prompt, prompt), [prompt]


def ambrel_cases():
    a, b, extra, func = Piece("a"), Piece("b"), Piece("e"), recorder()
    items = [a, b]
    yield ("ambrel", lambda: ambrel(items, func, extra, key=extra),
           [a, b, extra, func, items])
    many = tuple(Piece(str(i)) for i in range(10))
    yield ("ambrel-many-extras", lambda: ambrel(items, func, *many, **{
        f"k{i}": p for i, p in enumerate(many)}), [a, func, *many])
    callable_object = types.SimpleNamespace()
    callable_class = type("C", (), {"__call__": lambda self, *a, **k: a})
    callable_object = callable_class()
    yield ("ambrel-classic-callable",
           lambda: ambrel(items, callable_object, extra, key=extra),
           [a, extra, callable_object])
    yield ("ambrel-generator", lambda: ambrel((x for x in items), func),
           [a, b, func])
    yield ("ambrel-raises", catching(ambrel, items, raising(ValueError, a)),
           [a, b, items])
    yield "ambrel-not-iterable", catching(ambrel, a, func), [a, func]
    yield "ambrel-not-callable", catching(ambrel, items, a), [a, items]
    yield "ambrel-binding", catching(ambrel, ls=items, x=a), [a, items]
    yield "ambrel-twice", catching(ambrel, items, func, ls=a), [a, items]


def sundle_cases():
    a, b, sep = Piece("x,y"), Piece("z"), ","
    yield ("sundle", lambda: multi_str_sundle(sep, a, b, "p,q"), [a, b])
    yield "sundle-no-split", catching(multi_str_sundle, sep, a, 5), [a]
    not_iterable = types.SimpleNamespace(split=lambda sep: 5)
    yield ("sundle-not-iterable", catching(multi_str_sundle, sep, a,
                                           not_iterable), [a, not_iterable])
    yield "sundle-raises", catching(multi_str_sundle, "", "a"), []
    yield "sundle-binding", catching(multi_str_sundle, a, sep=a), [a]
    yield "str-sundle", lambda: str_sundle(a, s=b), [a, b]
    yield "str-sundle-binding", catching(str_sundle, a), [a]


def write_cases():
    k, v, sep = Piece("k"), Piece("v"), Piece("s")
    got = []

    def writer(ls, sep, end):
        got.append(ls)
        got.clear()

    namespace = types.SimpleNamespace(write=types.SimpleNamespace(
        write=writer))

    def with_writer(call):
        def run():
            saved = write_module.list
            write_module.list = namespace
            try:
                call()
            finally:
                write_module.list = saved
        return run

    d = {k: v, "x": 1}
    yield ("write-dict", with_writer(lambda: write_klist(d, sep, k)),
           [k, v, sep, d, writer])
    pairs = [(k, v), "ab", [k, v]]
    yield ("write-items", with_writer(lambda: write_vlist(Items(pairs))),
           [k, v, pairs])
    yield ("write-shipped-writer", lambda: shipped(write_vlist, d), [k, v, d])
    yield ("write-too-many", with_writer(catching(
        write_klist, Items([(k, v, v)]))), [k, v])
    yield ("write-too-few", with_writer(catching(
        write_vlist, Items([[k]]))), [k])
    yield ("write-items-raise", with_writer(catching(
        write_klist, types.SimpleNamespace(items=raising(KeyError, k)))), [k])
    yield ("write-writer-raises", lambda: swallow_with_writer(
        raising(OSError, k), d), [k, v, d])
    yield "write-none", with_writer(catching(write_klist, None)), []
    yield "write-binding", with_writer(catching(write_klist, d, x=k)), [k, d]
    yield ("write-no-writer", lambda: swallow_without_writer(d), [k, v, d])


def shipped(function, d):
    saved = sys.stdout
    sys.stdout = io.StringIO()
    try:
        function(d)
    finally:
        sys.stdout = saved


def swallow_with_writer(write, d):
    saved = write_module.list
    write_module.list = types.SimpleNamespace(
        write=types.SimpleNamespace(write=write))
    try:
        swallow(write_klist, d)
    finally:
        write_module.list = saved


def swallow_without_writer(d):
    saved = write_module.list
    write_module.list = types.SimpleNamespace()
    try:
        swallow(write_vlist, d)
    finally:
        write_module.list = saved


def swallow(function, *args, **kwargs):
    try:
        function(*args, **kwargs)
    except Exception:
        pass
    else:
        raise AssertionError("the call did not fail")


def catching(function, *args, **kwargs):
    return lambda: swallow(function, *args, **kwargs)


CASES = [pytest.param(make, name, id=name)
         for make in (elemcount_cases, read_cases, ambrel_cases,
                      sundle_cases, write_cases)
         for name, _, _ in make()]


def case(make, name):
    for found, call, watched in make():
        if found == name:
            return call, watched
    raise LookupError(name)


@pytest.mark.parametrize("make,name", CASES)
def test_no_blocks_and_no_references_leak(make, name):
    call, watched = case(make, name)
    for _ in range(50):
        call()
    gc.collect()
    refs = [sys.getrefcount(o) for o in watched]
    blocks = sys.getallocatedblocks()
    for _ in range(ROUNDS):
        call()
    gc.collect()
    assert sys.getallocatedblocks() - blocks < BLOCK_SLACK
    assert [sys.getrefcount(o) for o in watched] == refs


@pytest.mark.parametrize("make,name", CASES)
def test_traced_memory_stays_flat(make, name):
    call, watched = case(make, name)
    tracemalloc.start()
    try:
        for _ in range(50):
            call()
        gc.collect()
        before, _ = tracemalloc.get_traced_memory()
        for _ in range(ROUNDS):
            call()
        gc.collect()
        after, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert after - before < TRACED_SLACK


def test_results_are_owned_by_the_caller_alone():
    """A result is referenced by nothing but the caller: dropping it frees
    it at once, and its elements lose their references."""
    a = Piece("a")
    cases = [
        lambda: elemcount([a, a]),
        lambda: ambrel([a], lambda x: x),
        lambda: multi_str_sundle(",", "p,q"),
    ]
    for make in cases:
        before = sys.getrefcount(a)
        result = make()
        assert sys.getrefcount(result) == 2
        del result
        assert sys.getrefcount(a) == before
    saved, sys.stdin = sys.stdin, io.StringIO("line\n")
    try:
        result = read(1)
    finally:
        sys.stdin = saved
    assert sys.getrefcount(result) == 2


def test_the_detector_sees_a_leak():
    """The measurement above catches a callback that keeps what it gets."""
    kept = []
    a = Piece("a")
    refs = sys.getrefcount(a)
    gc.collect()
    blocks = sys.getallocatedblocks()
    for _ in range(ROUNDS):
        ambrel([a], lambda x: kept.append([x]))
    gc.collect()
    if sys.getallocatedblocks():
        assert sys.getallocatedblocks() - blocks >= ROUNDS
    assert sys.getrefcount(a) - refs == ROUNDS
