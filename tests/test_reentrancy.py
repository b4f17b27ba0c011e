"""Re-entrancy and mutation: callbacks that call back into the module,
change the list or dict being walked, raise at every point, rebind module
globals or sys.stdin mid-call, and module namespaces that lose
`__builtins__` before a failure. Every case ends in the documented result
or exception, with the right traceback entry."""

import builtins
import gc
import io
import sys
import types

import pytest

import _models as model
import korvex.dict.write as write_module
import korvex.list.ambrel as ambrel_module
import korvex.list.count as count_module
import korvex.list.read as read_module
import korvex.list.strutils.sundle as sundle_module
from conftest import Boom, innermost, one_korvex_entry
from korvex.dict.write import write_klist, write_vlist
from korvex.list.ambrel import ambrel
from korvex.list.count import elemcount
from korvex.list.read import read, read_split
from korvex.list.strutils.sundle import multi_str_sundle


def entry_of(exc):
    """(name, line) of the one korvex entry of `exc`."""
    return one_korvex_entry(exc)[:2]


@pytest.fixture
def stdin(monkeypatch):
    def feed(text):
        monkeypatch.setattr(sys, "stdin", io.StringIO(text))
        monkeypatch.setattr(sys, "stdout", io.StringIO())
    return feed


@pytest.fixture
def writer(monkeypatch):
    """A recording writer bound as the module's `list`."""
    calls = []

    def write(ls, sep, end):
        calls.append((ls, sep, end))
    monkeypatch.setattr(write_module, "list", types.SimpleNamespace(
        write=types.SimpleNamespace(write=write)))
    return calls


# --- ambrel -------------------------------------------------------------------

def test_ambrel_reentered_from_its_callback():
    def inner(x):
        return ambrel(range(x), lambda y, z: y * z, x)
    assert ambrel([1, 2, 3], inner) == [[0], [0, 2], [0, 3, 6]]


@pytest.mark.parametrize("change,expected", [
    (lambda ls, x: ls.append(x + 10) if x < 3 else None,
     [1, 2, 11, 11, 12]),
    (lambda ls, x: ls.pop() if x == 1 else None, [1, 2]),
    (lambda ls, x: ls.clear(), [1]),
    (lambda ls, x: ls.insert(0, 0) if len(ls) < 5 else None,
     [1, 1, 1, 2, 11]),
])
def test_ambrel_walks_a_list_the_callback_changes_like_a_for_loop(
        change, expected):
    def run(function):
        ls = [1, 2, 11]
        return function(ls, lambda x: (change(ls, x), x)[1])
    assert run(ambrel) == run(model.ambrel) == expected


@pytest.mark.parametrize("fail_at", range(4))
def test_ambrel_callback_raising_at_each_element(fail_at):
    seen = []

    def func(x):
        seen.append(x)
        if x == fail_at:
            raise KeyError(x)
        return x
    with pytest.raises(KeyError) as info:
        ambrel(range(4), func)
    assert seen == list(range(fail_at + 1))
    assert entry_of(info.value) == ("korvex.list.ambrel.ambrel", 2)
    assert innermost(info.value)[0] == "func"


def test_ambrel_iterator_raising_midway_keeps_its_exception():
    def numbers():
        yield 1
        raise LookupError("gone")
    with pytest.raises(LookupError, match="^gone$") as info:
        ambrel(numbers(), str)
    assert entry_of(info.value) == ("korvex.list.ambrel.ambrel", 2)


def test_ambrel_callback_rebinding_the_module_global(monkeypatch):
    def func(x):
        monkeypatch.setattr(ambrel_module, "ambrel", None)
        return x * 2
    assert ambrel([1, 2], func) == [2, 4]


# --- elemcount ----------------------------------------------------------------

class Noisy:
    """An element whose comparison runs code: it may change the list being
    walked, or raise."""

    def __init__(self, key, action=None):
        self.key = key
        self.action = action

    def __eq__(self, other):
        if self.action is not None:
            self.action()
        return isinstance(other, Noisy) and other.key == self.key

    def __hash__(self):
        return hash(self.key)

    def __repr__(self):
        return f"Noisy({self.key})"


@pytest.mark.parametrize("kind", [list, tuple])
def test_elemcount_walk_rereads_the_length_of_a_shrinking_list(kind):
    def build():
        ls = []
        shrink = lambda: ls.pop() if len(ls) > 2 else None  # noqa: E731
        ls.extend([Noisy(1, shrink), Noisy(2, shrink), Noisy(1), Noisy(3)])
        return ls if kind is list else tuple(ls)
    result = elemcount(build())
    expected = model.elemcount(build())
    assert [(k.key, c) for k, c in result.items()] == \
        [(k.key, c) for k, c in expected.items()]


def test_elemcount_reentered_from_a_comparison():
    inner = []
    a = Noisy(1, lambda: inner.append(elemcount([3, 3])))
    assert elemcount([a, Noisy(1)]) == {a: 2}
    assert inner and all(r == {3: 2} for r in inner)


@pytest.mark.parametrize("where,line", [("eq", 4), ("count", 6),
                                         ("hash", 6), ("iter", 3)])
def test_elemcount_exceptions_from_each_statement(where, line):
    class Element(Noisy):
        def __eq__(self, other):
            if where == "eq":
                raise Boom
            return super().__eq__(other)

        def __hash__(self):
            if where == "hash":
                raise Boom
            return 1

    class Walked(list):
        def count(self, value):
            if where == "count":
                raise Boom
            return list.count(self, value)

        def __iter__(self):
            if where == "iter":
                raise Boom
            return list.__iter__(self)
    with pytest.raises(Boom) as info:
        elemcount(Walked([Element(1), Element(2)]))
    assert entry_of(info.value) == ("korvex.list.count.elemcount", line)


def test_elemcount_count_method_reentering_and_mutating():
    class Walked(list):
        def count(self, value):
            self.append(value)
            return elemcount(list(self))[value]
    ls = Walked([1, 2, 1])
    assert elemcount(ls) == {1: 3, 2: 2}
    assert ls == [1, 2, 1, 1, 2]


# --- read ---------------------------------------------------------------------

def test_read_func_reentering_read(stdin):
    stdin("2\na\nb\nc\n")
    result = read(2, func=lambda line: read(int(line)) if line.isdigit()
                  else line)
    assert result == [["a", "b"], "c"]


def test_read_follows_sys_stdin_replaced_by_func(stdin, monkeypatch):
    stdin("a\nb\n")

    def func(line):
        if line == "a":
            monkeypatch.setattr(sys, "stdin", io.StringIO("x\ny\n"))
        return line
    assert read(3, func=func) == ["a", "x", "y"]


def test_read_split_keeps_its_line_when_func_replaces_stdin(stdin,
                                                            monkeypatch):
    stdin("a b c\n")
    seen = []

    def func(piece):
        monkeypatch.setattr(sys, "stdin", io.StringIO(""))
        seen.append(piece)
        return piece
    assert read_split(func=func) == ["a", "b", "c"] == seen


def test_read_ignores_input_rebound_by_func(stdin, monkeypatch):
    stdin("a\nb\n")

    def func(line):
        monkeypatch.setattr(builtins, "input", lambda prompt="": "fake")
        return line
    assert read(2, func=func) == ["a", "b"]


@pytest.mark.parametrize("fail_at", range(3))
def test_read_func_raising_at_each_line(stdin, fail_at):
    stdin("0\n1\n2\n3\n")

    def func(line):
        if int(line) == fail_at:
            raise ArithmeticError(line)
        return line
    with pytest.raises(ArithmeticError) as info:
        read(3, func=func)
    assert entry_of(info.value) == ("korvex.list.read.read", 2)
    assert sys.stdin.readline() == f"{fail_at + 1}\n"


def test_read_stdin_replaced_by_an_object_that_raises(monkeypatch):
    class Broken:
        def readline(self, *args):
            raise OSError("broken stream")

        def fileno(self):
            raise OSError("no")
    monkeypatch.setattr(sys, "stdin", Broken())
    monkeypatch.setattr(sys, "stdout", io.StringIO())
    with pytest.raises(OSError, match="broken stream") as info:
        read_split()
    assert entry_of(info.value) == ("korvex.list.read.read_split", 4)


# --- sundle -------------------------------------------------------------------

class Splitter:
    def __init__(self, split):
        self.split = split


def test_sundle_split_reentering_the_module():
    element = Splitter(lambda sep: multi_str_sundle(sep, "x-y", "z"))
    assert multi_str_sundle("-", "a-b", element) == ["a", "b", "x", "y", "z"]


@pytest.mark.parametrize("fail_at", range(3))
def test_sundle_split_raising_at_each_element(fail_at):
    def split_of(i):
        def split(sep):
            if i == fail_at:
                raise UnicodeError(i)
            return [i]
        return split
    with pytest.raises(UnicodeError) as info:
        multi_str_sundle(",", *(Splitter(split_of(i)) for i in range(3)))
    assert entry_of(info.value) == (
        "korvex.list.strutils.sundle.multi_str_sundle", 6)


def test_sundle_pieces_raising_midway_and_rebinding_globals(monkeypatch):
    def pieces(sep):
        monkeypatch.setattr(sundle_module, "multi_str_sundle", None)
        yield "p"
        raise EOFError("midway")
    with pytest.raises(EOFError) as info:
        multi_str_sundle(",", "a", Splitter(pieces))
    assert entry_of(info.value)[1] == 6


# --- write --------------------------------------------------------------------

def test_write_uses_the_writer_resolved_before_items(writer, monkeypatch):
    later = []

    class Pairs:
        def items(self):
            monkeypatch.setattr(write_module, "list", types.SimpleNamespace(
                write=types.SimpleNamespace(write=lambda *a: later.append(a))))
            return [("k", "v")]
    write_klist(Pairs())
    assert writer == [(["k"], " ", "\n")] and later == []
    write_vlist({"a": 1})
    assert later == [([1], " ", "\n")]


def test_write_writer_reentering_and_mutating_the_dict(writer):
    d = {"a": 1, "b": 2}
    inner = []

    def items_then_mutate():
        d["c"] = 3
        write_vlist(d)
        inner.append(writer[-1])
    write_klist(d)
    items_then_mutate()
    assert writer[0] == (["a", "b"], " ", "\n")
    assert inner == [([1, 2, 3], " ", "\n")]


def test_write_items_iterator_changing_its_dict(writer):
    class Live(dict):
        def items(self):
            for k in list(dict.keys(self)):
                self.pop(k)
                yield k, k.upper()
    live = Live(a=1, bb=2)
    write_vlist(live)
    assert writer == [(["A", "BB"], " ", "\n")] and live == {}


def test_write_collection_during_the_exact_dict_walk(writer):
    """Making the list may run the collector, and a callback of it may
    change the dict: the keys handed on are those of one state of it."""
    d = {f"k{i}": i for i in range(50)}
    fired = []

    def callback(phase, info):
        if phase == "start" and not fired:
            fired.append(True)
            d["late"] = -1
    threshold = gc.get_threshold()
    gc.callbacks.append(callback)
    gc.set_threshold(1)
    try:
        for _ in range(20):
            write_klist(d)
    finally:
        gc.callbacks.remove(callback)
        gc.set_threshold(*threshold)
    for keys, _, _ in writer:
        assert keys in (list(d)[:-1], list(d)), keys


@pytest.mark.parametrize("fail_in", ["items", "iterator", "unpack", "writer"])
def test_write_exceptions_at_each_point(writer, monkeypatch, fail_in):
    class Item:
        def __iter__(self):
            if fail_in == "unpack":
                raise Boom
            return iter("kv")

    class Pairs:
        def items(self):
            if fail_in == "items":
                raise Boom
            return self

        def __iter__(self):
            yield Item()
            if fail_in == "iterator":
                raise Boom

    if fail_in == "writer":
        monkeypatch.setattr(write_module, "list", types.SimpleNamespace(
            write=types.SimpleNamespace(write=model.write_side)))
    with pytest.raises((Boom, TypeError)) as info:
        write_vlist(Pairs())
    assert entry_of(info.value) == ("korvex.dict.write.write_vlist", 5)
    if fail_in != "writer":
        assert writer == []


def test_write_list_deleted_from_the_namespace_falls_back_to_builtins(
        monkeypatch):
    monkeypatch.delattr(write_module, "list")
    with pytest.raises(AttributeError,
                       match="^type object 'list' has no attribute "
                             "'write'$") as info:
        write_klist({})
    assert entry_of(info.value) == ("korvex.dict.write.write_klist", 3)


# --- __builtins__ removed or replaced -------------------------------------------

FAILURES = [
    (count_module, lambda: elemcount(5), TypeError,
     ("korvex.list.count.elemcount", 3)),
    (ambrel_module, lambda: ambrel(5, str), TypeError,
     ("korvex.list.ambrel.ambrel", 2)),
    (sundle_module, lambda: multi_str_sundle(",", 5), AttributeError,
     ("korvex.list.strutils.sundle.multi_str_sundle", 6)),
    (read_module, lambda: read(x=1), TypeError, ("korvex.list.read.read", 1)),
    (write_module, lambda: write_klist(None), AttributeError,
     ("korvex.dict.write.write_klist", 3)),
]


@pytest.mark.parametrize("replacement", ["deleted", None, 42, {}])
@pytest.mark.parametrize("module,call,kind,entry", FAILURES,
                         ids=[m.__name__ for m, *_ in FAILURES])
def test_failure_after_builtins_left_the_namespace(
        monkeypatch, module, call, kind, entry, replacement):
    if replacement == "deleted":
        monkeypatch.delitem(vars(module), "__builtins__")
    else:
        monkeypatch.setitem(vars(module), "__builtins__", replacement)
    with pytest.raises(kind) as info:
        call()
    assert entry_of(info.value) == entry
    assert innermost(info.value)[3] is vars(module)
    # The exception is the original one, not one about the builtins.
    assert info.value.__context__ is None


def test_write_finds_the_builtin_list_without_builtins_in_namespace(
        monkeypatch):
    monkeypatch.delitem(vars(write_module), "__builtins__")
    monkeypatch.delattr(write_module, "list")
    with pytest.raises(AttributeError, match="type object 'list'"):
        write_vlist({})


def test_the_process_is_sound_afterwards(stdin):
    gc.collect()
    stdin("1 2\n")
    assert elemcount([1, 1]) == {1: 2}
    assert read_split(func=int) == [1, 2]
    assert ambrel("ab", str.upper) == ["A", "B"]
    assert multi_str_sundle(",", "a,b") == ["a", "b"]
