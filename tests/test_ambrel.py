"""korvex.list.ambrel: ambrel(ls, func, *args, **kwargs), the list
[func(l, *args, **kwargs) for l in ls]."""

import functools
import gc
import inspect
import sys
import weakref

import pytest
from hypothesis import given, settings, strategies as st

from conftest import (Boom, entries, korvex_entries, one_korvex_entry,
                      run_python)
from korvex.list import ambrel as module
from korvex.list.ambrel import ambrel

TB_FILE = "src\\\\korvex\\\\list\\\\ambrel.cpp"
ENTRY = "korvex.list.ambrel.ambrel"


def record(calls):
    def func(*args, **kwargs):
        calls.append((args, kwargs))
        return len(calls)
    return func


def failure(*args, **kwargs):
    """Calls ambrel expecting a failure; returns (exception, line)."""
    with pytest.raises(Exception) as info:
        ambrel(*args, **kwargs)
    name, line, _, frame = one_korvex_entry(info.value, TB_FILE)
    assert (name, frame.f_globals) == (ENTRY, vars(module))
    return info.value, line


@pytest.mark.parametrize("args, kwargs, calls", [
    (([1, 2], None, 10), {"x": 5}, [((1, 10), {"x": 5}), ((2, 10), {"x": 5})]),
    ((["a"], None), {"sep": ","}, [(("a",), {"sep": ","})]),
    (("ab", None, 1, 2), {}, [(("a", 1, 2), {}), (("b", 1, 2), {})]),
    (({"k": 0, "j": 1}, None), {}, [(("k",), {}), (("j",), {})]),
    (((c for c in "xy"), None), {"args": 1, "kwargs": 2},
     [(("x",), {"args": 1, "kwargs": 2}), (("y",), {"args": 1, "kwargs": 2})]),
    (([], None, 1), {"z": 1}, []),
])
def test_calls_and_results(args, kwargs, calls):
    got = []
    func = record(got)
    args = (args[0], func) + args[2:]
    assert ambrel(*args, **kwargs) == list(range(1, len(calls) + 1))
    assert got == calls


@pytest.mark.parametrize("call, calls", [
    (lambda f: ambrel(func=f, ls=[1]), [((1,), {})]),
    (lambda f: ambrel([1], func=f), [((1,), {})]),
    (lambda f: ambrel(**{"".join("ls"): [1], "".join("func"): f}), [((1,), {})]),
    (lambda f: ambrel(ls=[1], func=f, x=3), [((1,), {"x": 3})]),
    (lambda f: ambrel([1], f, 1, 2, x=3), [((1, 1, 2), {"x": 3})]),
])
def test_binding_accepts(call, calls):
    got = []
    assert call(record(got)) == [1]
    assert got == calls


@settings(max_examples=100, deadline=None)
@given(st.lists(st.integers()), st.lists(st.integers(), max_size=3),
       st.dictionaries(st.sampled_from("abcd"), st.integers(), max_size=3))
def test_same_as_comprehension(ls, args, kwargs):
    def func(*a, **k):
        return (a, sorted(k.items()))
    assert ambrel(ls, func, *args, **kwargs) == \
        [func(l, *args, **kwargs) for l in ls]


def test_fresh_keyword_dict_per_call():
    # functools.partial keeps the keyword dict it is called with when nobody
    # else holds it, so the dict given to the first call can be changed
    # between the calls; the second call must not see that change.
    first, second = (lambda: 1), (lambda: 2)

    def elements():
        yield first
        made = [o for o in gc.get_referrers(first)
                if isinstance(o, functools.partial)]
        made[0].keywords["added"] = 1
        yield second

    mine = {"x": 1}
    made = ambrel(elements(), functools.partial, **mine)
    assert [p.keywords for p in made] == [{"x": 1, "added": 1}, {"x": 1}]
    assert mine == {"x": 1}


class Done(StopIteration):
    pass


class Iterator:
    """Yields 1 and 2, then ends with a StopIteration subclass."""
    def __init__(self):
        self.left = [2, 1]

    def __iter__(self):
        return self

    def __next__(self):
        if not self.left:
            raise Done
        return self.left.pop()


def growing():
    ls = [0]
    return ls, lambda x: (len(ls) < 6 and ls.append(x + 1), x * 10)[1]


def shrinking():
    ls = [1, 2, 3, 4, 5]
    return ls, lambda x: (ls.pop(), x)[1]


@pytest.mark.parametrize("make, expected", [
    (growing, [0, 10, 20, 30, 40, 50]),
    (shrinking, [1, 2, 3]),
    (lambda: (Iterator(), str), ["1", "2"]),
    (lambda: ({3, 1, 2}, lambda x: -x), [-1, -2, -3]),
    (lambda: ([1, 2], lambda x: ambrel(range(x), lambda y, z: y * z, x)),
     [[0], [0, 2]]),
    (lambda: ([], 5), []),
    (lambda: ((), None, 1), []),
])
def test_iteration(make, expected):
    ls, *rest = make()
    result = ambrel(ls, *rest)
    assert result == expected
    assert result is not ls


def test_generator_consumed_once():
    gen = (i for i in range(3))
    assert ambrel(gen, str) == ["0", "1", "2"]
    assert ambrel(gen, str) == []


def boom(x):
    raise Boom(x)


def items_then_boom():
    yield 1
    raise Boom("iterator")


@pytest.mark.parametrize("ls, func, error, message, last", [
    (lambda: 5, str, TypeError, "'int' object is not iterable", ENTRY),
    (lambda: [1], 5, TypeError, "'int' object is not callable", ENTRY),
    (lambda: [7], boom, Boom, "7", "boom"),
    (items_then_boom, str, Boom, "iterator", "items_then_boom"),
])
def test_body_failures(ls, func, error, message, last):
    exc, line = failure(ls(), func)
    assert (type(exc), str(exc), line) == (error, message, 2)
    assert entries(exc)[-1][0] == last


def test_partial_results_released():
    refs = []

    class Result:
        pass

    def func(x):
        if x == 3:
            raise Boom(x)
        result = Result()
        refs.append(weakref.ref(result))
        return result

    exc, line = failure([1, 2, 3, 4], func)
    del exc
    gc.collect()
    assert len(refs) == 2 and all(r() is None for r in refs)


def test_no_reference_kept():
    value, element, extra, keyword = object(), object(), object(), object()

    def func(l, e, k):
        if l is None:
            raise Boom
        return value
    held = (value, element, extra, keyword, func)
    before = [sys.getrefcount(o) for o in held]
    for _ in range(50):
        assert ambrel([element, element], func, extra, k=keyword) == \
            [value, value]
        with pytest.raises(Boom):
            ambrel([element, None], func, extra, k=keyword)
        with pytest.raises(TypeError):
            ambrel([element], func, extra, ls=keyword)
    gc.collect()
    assert [sys.getrefcount(o) for o in held] == before


def test_deep_recursion_recovers():
    code = """if 1:
    from korvex.list.ambrel import ambrel
    def f(x):
        return ambrel([x], f)
    try:
        f(1)
    except RecursionError:
        print("recursion")
    print(ambrel([1, 2], lambda x: ambrel([x], lambda y: y + 1)))
    """
    assert run_python(code) == (0, "recursion\n[[2], [3]]\n", "")


COUNT = "ambrel() takes at least 2 positional arguments ({} given)"
MULTIPLE = "ambrel() got multiple values for keyword argument '{}'"


@pytest.mark.parametrize("args, kwargs, message", [
    ((), {"ls": [1]}, COUNT.format(1)),
    ((), {"ls": [1], "x": 2}, COUNT.format(1)),
    ((), {"func": str}, COUNT.format(0)),
    ((), {}, COUNT.format(0)),
    (([1],), {}, COUNT.format(1)),
    (([1], str), {"ls": 2}, MULTIPLE.format("ls")),
    (([1], str), {"func": len}, MULTIPLE.format("func")),
    (([1], str, 3), {"x": 1, "func": len}, MULTIPLE.format("func")),
])
def test_binding_errors(args, kwargs, message):
    exc, line = failure(*args, **kwargs)
    assert (type(exc), str(exc), line) == (TypeError, message, 1)


def test_non_string_keyword():
    with pytest.raises(TypeError, match="^keywords must be strings$") as info:
        ambrel(*([1], str), **{1: 2})
    assert korvex_entries(info.value) == 0


def test_function_object():
    code = ambrel.__code__
    assert (code.co_varnames, code.co_flags, code.co_firstlineno,
            code.co_argcount, code.co_posonlyargcount,
            code.co_kwonlyargcount) == \
        (("ls", "func", "args", "kwargs", "l"), 15, 1, 2, 0, 0)
    assert code.co_filename == "src\\korvex\\list\\ambrel.cpp"
    assert str(inspect.signature(ambrel)) == "(ls, func, *args, **kwargs)"
    assert (ambrel.__name__, ambrel.__qualname__, ambrel.__module__,
            ambrel.__doc__, ambrel.__defaults__, ambrel.__kwdefaults__) == \
        ("ambrel", "ambrel", "korvex.list.ambrel", None, None, None)
    assert module.__test__ == {}
