"""korvex.dict.write: write_klist and write_vlist.

In process, the module's own behaviour is checked against a recording fake
bound to the module attribute `list`; the shipped writer is used only by the
tests at the end. What happens at import runs in subprocesses."""

import builtins
import contextlib
import inspect
import io
import sys
import types
import warnings

import pytest

from conftest import Boom, entries, one_korvex_entry, run_python

import korvex.dict.write as module
from korvex.dict.write import write_klist, write_vlist

TB_FILE = "src\\\\korvex\\\\dict\\\\write.cpp"  # two backslash characters
ORIGINAL_DEFAULTS = write_klist.__defaults__
D = {"k": "v"}


class Recorder:
    """A writer that records its calls and returns a non-None value."""

    def __init__(self, result="written", error=None):
        self.calls = []
        self.result = result
        self.error = error  # an exception class, raised afresh on each call

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if self.error is not None:
            raise self.error("from the writer")
        return self.result


def install(monkeypatch, target):
    monkeypatch.setattr(module, "list", types.SimpleNamespace(
        write=types.SimpleNamespace(write=target)))


@pytest.fixture
def writer(monkeypatch):
    recorder = Recorder()
    install(monkeypatch, recorder)
    return recorder


@pytest.fixture(params=[(write_klist, 0, 2, 3), (write_vlist, 1, 4, 5)],
                ids=["klist", "vlist"])
def fn(request):
    """The function under test, the side of each pair it keeps, and its
    header and body lines."""
    function, side, header, body = request.param
    return types.SimpleNamespace(
        call=function, name=function.__name__, header=header, body=body,
        pick=lambda keys, values: (keys, values)[side])


def check_entry(exc, fn, line):
    """`exc` carries exactly one korvex entry: `fn`'s, at `line`."""
    name, lineno, _, frame = one_korvex_entry(exc, TB_FILE)
    assert (name, lineno) == ("korvex.dict.write." + fn.name, line)
    assert frame.f_globals is vars(module)


class Items:
    """A non-dict whose items() returns `pairs` and counts its calls."""

    def __init__(self, pairs):
        self.pairs = pairs
        self.called = 0

    def items(self):
        self.called += 1
        return self.pairs


# --- success ---------------------------------------------------------------

def moved_to_end():
    d = {"a": 1, "b": 2, "c": 3}
    del d["a"]
    d["a"] = 4
    return d


@pytest.mark.parametrize("d, keys, values", [
    ({"a": 1, "b": 2}, ["a", "b"], [1, 2]),
    ({3: "x", 1: "y", 2: "z"}, [3, 1, 2], ["x", "y", "z"]),
    (moved_to_end(), ["b", "c", "a"], [2, 3, 4]),
    ({}, [], []),
])
def test_pairs_in_insertion_order(writer, fn, d, keys, values):
    assert fn.call(d) is None
    assert writer.calls == [((fn.pick(keys, values), " ", "\n"), {})]
    sent = writer.calls[0][0]
    assert type(sent[0]) is list
    assert sent[1] is ORIGINAL_DEFAULTS[0] and sent[2] is ORIGINAL_DEFAULTS[1]


SEP, END = object(), object()


@pytest.mark.parametrize("args, kwargs, sep, end", [
    ((D, "-", ""), {}, "-", ""),
    ((D, 1, None), {}, 1, None),
    ((D, SEP, END), {}, SEP, END),
    ((D,), {"sep": ","}, ",", "\n"),
    ((D,), {"end": ""}, " ", ""),
    ((D, "|"), {"end": END}, "|", END),
    ((), {"sep": ",", "d": D, "end": ""}, ",", ""),
    ((), {"d": D}, " ", "\n"),
])
def test_arguments_reach_the_writer_unchanged(writer, fn, args, kwargs, sep,
                                              end):
    assert fn.call(*args, **kwargs) is None
    (sent, sent_kwargs), = writer.calls
    assert sent_kwargs == {}
    assert len(sent) == 3
    assert sent[0] == [fn.pick("k", "v")]
    assert sent[1] is sep and sent[2] is end


def test_rebinding_list_redirects_later_calls(monkeypatch):
    first, second = Recorder(), Recorder()
    for target in (first, second):
        install(monkeypatch, target)
        write_klist({"a": 1})
        write_vlist({"a": 1})
    assert first.calls == second.calls == [
        ((["a"], " ", "\n"), {}), (([1], " ", "\n"), {})]


# --- binding ---------------------------------------------------------------

@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, "{}() takes at least 1 positional argument (0 given)"),
    ((), {"sep": ","}, "{}() takes at least 1 positional argument (0 given)"),
    ((D, 1, 2, 3), {}, "{}() takes at most 3 positional arguments (4 given)"),
    ((D, 1, 2, 3), {"sep": 1},
     "{}() takes at most 3 positional arguments (4 given)"),
    ((D, ","), {"sep": ";"},
     "{}() got multiple values for keyword argument 'sep'"),
    ((D,), {"d": D}, "{}() got multiple values for keyword argument 'd'"),
    ((D,), {"x": 1}, "{}() got an unexpected keyword argument 'x'"),
])
def test_binding_errors(writer, fn, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        fn.call(*args, **kwargs)
    assert str(info.value) == message.format(fn.name)
    check_entry(info.value, fn, fn.header)
    assert writer.calls == []


# --- what items() yields ---------------------------------------------------

class StopsAtOnce:
    """An iterator that ends with an explicit StopIteration."""

    def __iter__(self):
        return self

    def __next__(self):
        raise StopIteration


def failing_after(*values):
    yield from values
    raise Boom("from the iterator")


class Pair(tuple):
    """A tuple whose own protocol must not be used to unpack it."""

    def __iter__(self):
        raise AssertionError("tuple subclass iterated")

    def __len__(self):
        return 2

    def __getitem__(self, index):
        raise AssertionError("tuple subclass indexed")


def three_then_fail():
    """An item of three values that must not be asked for a fourth."""
    yield from (1, 2, 3)
    raise AssertionError("asked for an item after the third")


# Callables, so that every test gets fresh iterators.
@pytest.mark.parametrize("pairs, keys, values", [
    (lambda: ["ab", "cd"], ["a", "c"], ["b", "d"]),
    (lambda: [["x", 1], iter([2, 3])], ["x", 2], [1, 3]),
    (lambda: [Pair(("p", "q"))], ["p"], ["q"]),
    (lambda: (p for p in [("g", 1), ("h", 2)]), ["g", "h"], [1, 2]),
    (lambda: {"i": "j"}.items(), ["i"], ["j"]),
    (StopsAtOnce, [], []),
])
def test_items_pairs(writer, fn, pairs, keys, values):
    d = Items(pairs())
    assert fn.call(d) is None
    assert d.called == 1
    assert writer.calls == [((fn.pick(keys, values), " ", "\n"), {})]


@pytest.mark.parametrize("pairs, error, message", [
    (lambda: [(1, 2, 3)], ValueError,
     "too many values to unpack (expected 2)"),
    (lambda: [Pair((1, 2, 3))], ValueError,
     "too many values to unpack (expected 2)"),
    (lambda: ["abc"], ValueError, "too many values to unpack (expected 2)"),
    (lambda: [three_then_fail()], ValueError,
     "too many values to unpack (expected 2)"),
    (lambda: [("a", 1), (1,)], ValueError,
     "need more than 1 value to unpack"),
    (lambda: [Pair((1,))], ValueError, "need more than 1 value to unpack"),
    (lambda: ["a"], ValueError, "need more than 1 value to unpack"),
    (lambda: [()], ValueError, "need more than 0 values to unpack"),
    (lambda: [StopsAtOnce()], ValueError,
     "need more than 0 values to unpack"),
    (lambda: [5], TypeError, "'int' object is not iterable"),
    (lambda: [failing_after(1)], Boom, "from the iterator"),
    (lambda: 5, TypeError, "'int' object is not iterable"),
    (lambda: failing_after(("a", 1)), Boom, "from the iterator"),
])
def test_items_failures(writer, fn, pairs, error, message):
    with pytest.raises(error) as info:
        fn.call(Items(pairs()))
    assert str(info.value) == message
    check_entry(info.value, fn, fn.body)
    assert writer.calls == []


# --- where items() comes from ----------------------------------------------

class PlainSub(dict):
    pass


class OwnItems(dict):
    def items(self):
        return [("own", "items")]


class Hooked:
    """A type with its own attribute hook."""

    def __getattr__(self, name):
        if name == "items":
            return lambda: [("hook", 1)]
        raise AttributeError(name)


def instance_items():
    d = Items([("class", 1)])
    d.items = lambda: [("instance", 2)]
    return d


@pytest.mark.parametrize("make, keys, values", [
    (lambda: PlainSub(a=1, b=2), ["a", "b"], [1, 2]),
    (lambda: OwnItems(a=1), ["own"], ["items"]),
    (Hooked, ["hook"], [1]),
    (instance_items, ["instance"], [2]),
])
def test_items_lookup(writer, fn, make, keys, values):
    d = make()
    assert fn.call(d) is None
    assert writer.calls == [((fn.pick(keys, values), " ", "\n"), {})]


class ItemsRaises:
    def items(self):
        raise Boom("from items")


class HookRaises:
    def __getattr__(self, name):
        if name == "items":
            raise LookupError(f"hooked {name}")
        raise AttributeError(name)


@pytest.mark.parametrize("d, error, message", [
    (None, AttributeError, "'NoneType' object has no attribute 'items'"),
    ([("a", 1)], AttributeError, "'list' object has no attribute 'items'"),
    (Items, TypeError,  # a class: its own look-up finds the plain function
     "Items.items() missing 1 required positional argument: 'self'"),
    (ItemsRaises(), Boom, "from items"),
    (HookRaises(), LookupError, "hooked items"),
])
def test_no_usable_items(writer, fn, d, error, message):
    with pytest.raises(error) as info:
        fn.call(d)
    assert str(info.value) == message
    check_entry(info.value, fn, fn.body)
    assert writer.calls == []


# --- resolving the writer --------------------------------------------------

class Raising:
    @property
    def write(self):
        raise Boom("resolving")


DELETED = "deleted"


@pytest.mark.parametrize("package, error, message", [
    (Raising(), Boom, "resolving"),
    (types.SimpleNamespace(write=Raising()), Boom, "resolving"),
    (types.SimpleNamespace(write=5), AttributeError,
     "'int' object has no attribute 'write'"),
    # Without the module's own `list`, the built-in type is found.
    (DELETED, AttributeError, "type object 'list' has no attribute 'write'"),
])
@pytest.mark.parametrize("with_items", [False, True])
def test_writer_resolved_before_d_is_touched(monkeypatch, fn, package, error,
                                             message, with_items):
    if package is DELETED:
        monkeypatch.delattr(module, "list")
    else:
        monkeypatch.setattr(module, "list", package)
    d = Items([("a", 1)]) if with_items else None
    with pytest.raises(error) as info:
        fn.call(d)
    assert str(info.value) == message
    check_entry(info.value, fn, fn.body)
    if with_items:
        assert d.called == 0


def test_name_error_without_any_list(monkeypatch, fn):
    monkeypatch.delattr(module, "list")
    saved, caught = builtins.list, None
    del builtins.list
    try:
        fn.call({})
    except NameError as exc:
        caught = exc
    finally:
        builtins.list = saved
    assert isinstance(caught, NameError)
    assert str(caught) == "name 'list' is not defined"
    check_entry(caught, fn, fn.body)


def failing_writer(ls, sep, end):
    raise Boom(f"writer got {ls!r}")


def test_writer_exception_passes_through(monkeypatch, fn):
    install(monkeypatch, failing_writer)
    with pytest.raises(Boom) as info:
        fn.call({"a": 1})
    assert str(info.value) == f"writer got {[fn.pick('a', 1)]!r}"
    check_entry(info.value, fn, fn.body)
    assert [e[0] for e in entries(info.value)][-2:] == \
        ["korvex.dict.write." + fn.name, "failing_writer"]


# --- references ------------------------------------------------------------

@pytest.mark.parametrize("case", [
    "ok", "none", "no items", "items raises", "bad pair", "writer raises"])
def test_no_reference_leaks(monkeypatch, fn, case):
    key, value, sep, end, result = (object() for _ in range(5))
    target = Recorder(result, Boom if case == "writer raises" else None)
    install(monkeypatch, target)
    d = {
        "ok": Items([(key, value)]),
        "none": None,
        "no items": object(),
        "items raises": ItemsRaises(),
        "bad pair": Items([(key, value), (key,)]),
        "writer raises": {key: value},
    }[case]
    watched = [key, value, sep, end, result, target]
    before = [sys.getrefcount(o) for o in watched]
    for _ in range(5):
        try:
            fn.call(d, sep, end)
        except Exception:
            pass
        target.calls.clear()
    assert [sys.getrefcount(o) for o in watched] == before


# --- function and code objects ---------------------------------------------

def test_defaults_shared_and_fixed(writer):
    assert write_klist.__defaults__ == (" ", "\n")
    assert write_klist.__defaults__ is write_vlist.__defaults__
    try:
        with pytest.warns(RuntimeWarning):
            write_klist.__defaults__ = ("x", "y")
        assert write_klist.__defaults__ == ("x", "y")
        write_klist({"a": 1})
        write_vlist({"a": 1})
    finally:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            write_klist.__defaults__ = ORIGINAL_DEFAULTS
    assert writer.calls == [((["a"], " ", "\n"), {}), (([1], " ", "\n"), {})]


def test_function_and_code_attributes(fn):
    f = fn.call
    assert f.__qualname__ == fn.name and f.__module__ == "korvex.dict.write"
    assert f.__doc__ is None and f.__kwdefaults__ is None
    assert str(inspect.signature(f)) == "(d, sep=' ', end='\\n')"
    code = f.__code__
    assert code.co_varnames == ("d", "sep", "end", "k", "v")
    assert (code.co_argcount, code.co_posonlyargcount,
            code.co_kwonlyargcount, code.co_flags) == (3, 0, 0, 3)
    assert code.co_firstlineno == fn.header and code.co_name == fn.name
    assert code.co_filename == "src\\korvex\\dict\\write.cpp"


def test_module_namespace():
    import list.write  # the shipped writer, imported by the module too
    assert module.list is list is sys.modules["list"]
    assert module.list.write is sys.modules["list.write"]
    assert module.__test__ == {}


# --- initialisation, in fresh processes ------------------------------------

FRESH_IMPORT = r"""
import gc, importlib, importlib.util, os, sys, tempfile
sys.dont_write_bytecode = True
import korvex.dict
# Hide every `list` package, the shipped writer included.
sys.path[:] = [p for p in sys.path
               if not os.path.isdir(os.path.join(p or ".", "list"))]
assert importlib.util.find_spec("list") is None

def failed_import():
    try:
        importlib.import_module("korvex.dict.write")
    except BaseException as exc:
        tb, ours = exc.__traceback__, []
        while tb is not None:
            code = tb.tb_frame.f_code
            if code.co_filename.startswith("src\\\\korvex"):
                ours.append((code.co_name, tb.tb_lineno, code.co_filename,
                             sorted(k for k in tb.tb_frame.f_globals
                                    if not k.startswith("__"))))
            tb = tb.tb_next
        print(type(exc).__name__, exc, getattr(exc, "name", None))
        print(ours)
        print("korvex.dict.write" in sys.modules, hasattr(korvex.dict, "write"))
        print(sorted(f.__name__ for f in gc.get_objects()
                     if type(f).__module__ == "korvex"
                     and type(f).__name__ == "function"))
    else:
        print("imported")

failed_import()

root = tempfile.mkdtemp()
os.mkdir(os.path.join(root, "list"))
open(os.path.join(root, "list", "__init__.py"), "w").close()
with open(os.path.join(root, "list", "write.py"), "w") as f:
    f.write("raise LookupError('writer broken')\n")
sys.path.insert(0, root)
importlib.invalidate_caches()
failed_import()

with open(os.path.join(root, "list", "write.py"), "w") as f:
    f.write("calls = []\ndef write(*a, **k):\n    calls.append((a, k))\n")
sys.modules.pop("list", None)
import korvex.dict.write as m
import list.write
print(m.list is sys.modules["list"], m.list.__file__.startswith(root))
print(m.write_klist({"a": 1, "b": 2}, "-"), m.write_vlist({"a": 1}))
print(list.write.calls)
"""


def test_import_needs_list_write_and_can_be_retried():
    code, out, err = run_python(FRESH_IMPORT, "-I")
    assert code == 0, err
    init = repr([("init korvex.dict.write", 1, TB_FILE, [])])
    assert out.splitlines() == [
        # No `list` at all: the import system's error, one init entry at
        # line 1 in a namespace where nothing was defined, no module left.
        "ModuleNotFoundError No module named 'list' list", init,
        "False False", "[]",
        # A `list.write` that fails to import: its own exception.
        "LookupError writer broken None", init, "False False", "[]",
        # Once list.write imports, a fresh module uses it.
        "True True",
        "None None",
        "[((['a', 'b'], '-', '\\n'), {}), (([1], ' ', '\\n'), {})]",
    ]


# --- the shipped writer ----------------------------------------------------

def test_end_to_end_with_shipped_writer(capsys):
    write_klist({"a": 1, "b": 2})
    write_vlist({"a": 1, "b": 2}, sep=", ", end=".\n")
    write_klist({}, end="|")
    assert capsys.readouterr().out == "a b\n1, 2.\n|"


@pytest.mark.parametrize("ls, kwargs", [
    ([1, "a", None], {}),
    (["x", "y"], {"sep": "-", "end": ""}),
    ([1, 2], {"sep": None, "end": None}),
    (("a", "b"), {"sep": ", ", "end": "!\n"}),
])
def test_shipped_write_prints_like_print(ls, kwargs):
    from list.write import write
    expected = io.StringIO()
    print(*ls, **kwargs, file=expected)
    got = io.StringIO()
    with contextlib.redirect_stdout(got):  # sys.stdout at call time
        assert write(ls, *kwargs.values()) is None
    assert got.getvalue() == expected.getvalue()
