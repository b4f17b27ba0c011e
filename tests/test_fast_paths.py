"""The fast paths change nothing observable.

elemcount takes hashed paths for an exact str, bytes, bytearray, range and
array.array, and an exact list, tuple or deque (or a list or tuple subclass
that changes nothing) whose elements' equality and hash run no Python code;
a subclass of the same type with the same contents and its own `count`
takes the general walk (containment, then `count`). Both must give the same
dict, keyed by the same objects in the same order, and fail, warn and call
user code alike. ambrel calls through a vectorcall with the element
and the extra arguments on a stack, and walks an exact list or tuple by
position into a presized result; it is compared with the Python model
`[func(l, *args, **kwargs) for l in ls]` under recording callees and under
callees that change the list being walked. multi_str_sundle splits exact str
elements itself; it is compared with str.split, piece identity included.
"""

import array
import collections
import functools
import json
import math
import sys

import pytest
from hypothesis import given, settings, strategies as st

import _models
from conftest import Unequal, entries, run_python
from korvex.list.ambrel import ambrel
from korvex.list.count import elemcount
from korvex.list.strutils.sundle import multi_str_sundle

COUNT_ENTRY = "korvex.list.count.elemcount"


class L(list):
    """Its own `count` sends elemcount on the general walk."""

    def count(self, value):
        return list.count(self, value)


class T(tuple):
    def count(self, value):
        return tuple.count(self, value)


class S(str):
    pass


class B(bytes):
    pass


class D(collections.deque):
    pass


class BA(bytearray):
    pass


class A(array.array):
    pass


def general(ls):
    """The same contents in a subclass, which elemcount walks generally."""
    if type(ls) is array.array:
        return A(ls.typecode, ls)
    return {list: L, tuple: T, str: S, bytes: B, collections.deque: D,
            bytearray: BA}[type(ls)](ls)


def keyed(result):
    """The result as (key identity, key type, count), in order."""
    return [(id(key), type(key), n) for key, n in result.items()]


def assert_same_counts(ls):
    fast, slow = elemcount(ls), elemcount(general(ls))
    assert type(fast) is type(slow) is dict
    assert keyed(fast) == keyed(slow)
    return fast


# --- elemcount on lists and tuples of scalars --------------------------------

NAN = float("nan")

# Equal values of different types, hash collisions between unequal ones
# (hash(-1) == hash(-2), hash(2**61 - 1) == hash(0)), and values at the
# edge of float precision.
EDGES = [0, 0.0, -0.0, False, 1, 1.0, True, -1, -2, 2**61 - 1, 2**61,
         2**53, 2**53 + 1, float(2**53), 2**64, float(2**64), -(2**100),
         math.inf, -math.inf, NAN, None]


def scalars(strings):
    return st.one_of(
        st.integers(), st.integers(-3, 3), st.booleans(), st.none(),
        st.floats(allow_nan=True, allow_infinity=True),
        st.integers(-2**70, 2**70).map(float),
        st.sampled_from(EDGES),
        # Fresh NaN objects, each unequal to every other one.
        st.just(None).map(lambda _: float("nan")),
        strings,
    )


def scalar_lists(strings):
    """Lists that repeat some objects and hold equal copies of others."""
    return st.lists(scalars(strings), min_size=1, max_size=8).flatmap(
        lambda pool: st.lists(st.one_of(st.sampled_from(pool),
                                        scalars(strings)), max_size=40))


@settings(max_examples=300, deadline=None)
@given(st.one_of(scalar_lists(st.text(max_size=3)),
                 scalar_lists(st.binary(max_size=3))),
       st.sampled_from([list, tuple, collections.deque]))
def test_scalar_sequences(ls, sequence):
    assert_same_counts(sequence(ls))


@pytest.mark.parametrize("ls", [
    [1, 1.0, True, 0, -0.0, False, 0.0],
    [True, 1.0, 1, 2**53, float(2**53), 2**53 + 1],
    [-1, -2, -1, 2**61 - 1, 0, 2**61 - 1, 0.0],
    [10**30, 10**30 + 0, int("1" + "0" * 30), 1e30],
    [NAN, NAN, float("nan"), NAN, float("nan")],
    [math.inf, float("inf"), -math.inf, None, None],
    ["a", "a" * 1, "".join(["a"]), "\u20ac", "\U0001f600", "", ""],
    [b"x", bytes([120]), b"", b"", None, 1],
    list(range(300)) * 2 + [float(i) for i in range(300)],
    [],
], ids=lambda ls: repr(ls)[:40])
@pytest.mark.parametrize("sequence", [list, tuple, collections.deque])
def test_scalar_edges(ls, sequence):
    result = assert_same_counts(sequence(ls))
    assert keyed(result) == keyed(_models.elemcount(sequence(ls)))


def long_mostly_distinct(tail):
    """A few thousand distinct ints (enough for elemcount to count the rest
    in its result dict), then `tail`."""
    return [10**6 + i for i in range(5000)] + tail


@pytest.mark.parametrize("tail", [
    # equal values of other types and fresh equal ints after the prefix
    lambda: [float(10**6), 10**6 + 1, 10**6 + 4999.0, 1, True, 1.0, 0, False],
    # NaN objects: the same one again and again, and fresh ones
    lambda: [NAN, NAN, float("nan"), NAN, float("nan"), None, None],
    # one key repeated past the small-int counts, new keys among repeats
    lambda: [10**6 + 7] * 300 + list(range(-50, 50)) + [10**6 + 7] * 300,
    lambda: [],
], ids=["equal values", "nan", "counts past 256", "no tail"])
@pytest.mark.parametrize("sequence", [list, tuple, collections.deque])
def test_long_mostly_distinct_sequences(tail, sequence):
    ls = sequence(long_mostly_distinct(tail()))
    result = assert_same_counts(ls)
    assert len(result) >= 5000


@pytest.mark.parametrize("sequence", [list, collections.deque])
def test_long_partly_distinct_sequences_count_like_counter(sequence):
    """Half repeats from the start, so the counter (sized from its sample)
    counts them all; equal ints are distinct objects, the first one kept."""
    ls = sequence([10**6 + i // 2 for i in range(20_000)] + [10**6 + 7] * 3)
    assert keyed(elemcount(ls)) == keyed(dict(collections.Counter(ls)))


def test_long_mostly_distinct_keys_are_the_first_objects():
    first, later = 10**6 + 3 + 0, int(str(10**6 + 3))
    assert first is not later
    ls = long_mostly_distinct([later, later])
    ls[3] = first
    result = elemcount(ls)
    key = next(k for k in result if k == first)
    assert key is first and result[key] == 3


def test_nan_keys_are_the_objects():
    other = float("nan")
    result = assert_same_counts([NAN, other, NAN, NAN])
    assert [(key is NAN, key is other, n) for key, n in result.items()] == \
        [(True, False, 3), (False, True, 1)]


# --- elemcount on tuples, frozensets, complex and identity objects -----------

class PL(list):
    """Changes nothing of list: counted as a list is."""


class PT(tuple):
    pass


class Plain:
    pass


def plain_function():
    pass


PLAIN = [Plain(), Plain(), plain_function, Plain, int, math, None]

# The subclasses that change nothing, and the general walk for each.
GENERAL = {PL: L, PT: T}


def with_general(ls):
    return GENERAL[type(ls)](ls) if type(ls) in GENERAL else general(ls)


def assert_same_as_general(ls):
    fast, slow = elemcount(ls), elemcount(with_general(ls))
    assert keyed(fast) == keyed(slow)
    return fast


def containers(leaves):
    """Tuples and frozensets of `leaves`, complex numbers and identity
    objects, nested a few levels."""
    return st.recursive(
        st.one_of(leaves, st.complex_numbers(allow_nan=True),
                  st.sampled_from(PLAIN)),
        lambda inner: st.one_of(st.lists(inner, max_size=3).map(tuple),
                                st.frozensets(inner, max_size=3)),
        max_leaves=6)


@settings(max_examples=300, deadline=None)
@given(st.lists(containers(scalars(st.text(max_size=2))), min_size=1,
                max_size=6).flatmap(
    lambda pool: st.lists(st.one_of(st.sampled_from(pool),
                                    containers(st.integers(-2, 2))),
                          max_size=30)),
       st.sampled_from([list, tuple, collections.deque, PL, PT]))
def test_container_sequences(ls, sequence):
    assert_same_as_general(sequence(ls))


FIRST, SECOND = Plain(), Plain()


def nested(depth, leaf):
    for _ in range(depth):
        leaf = (leaf,)
    return leaf


@pytest.mark.parametrize("ls", [
    [(1,), (1.0,), (True,), (1, 2), (1.0, 2.0), (True, 2), (1, 2.5)],
    [(NAN,), (NAN,), (float("nan"),), ((NAN,),), ((NAN,),), (NAN, 1)],
    [(0.0,), (-0.0,), (0,), (False,), (0j,), -0.0, 0.0, complex(0, -0.0)],
    [complex(1, 0), 1, 1.0, True, complex(1, 1), complex(NAN, 0), 2**53 + 1,
     complex(2**53, 0), float(2**53)],
    [frozenset({1, 2}), frozenset({2.0, 1.0}), frozenset(), frozenset({()}),
     frozenset({NAN}), frozenset({(1, frozenset({1}))}),
     frozenset({(1.0, frozenset({True}))})],
    [FIRST, SECOND, FIRST, plain_function, Plain, Plain, int, math, math],
    [nested(12, 1), nested(12, 1), nested(12, 1.0), nested(3, 1), 1],
    ["a", ("a",), ("a", 1), ("a", 1.0), (b"a",), b"a", ((), ()), ()],
    [tuple([1, 2]), tuple([1, 2]), (FIRST, 1), (FIRST, 1.0), (SECOND, 1)],
], ids=["int-float-bool", "nan", "zeros", "complex", "frozensets",
        "identity", "deep", "mixed", "key-identity"])
@pytest.mark.parametrize("sequence", [list, tuple, collections.deque, PL, PT])
def test_container_edges(ls, sequence):
    result = assert_same_as_general(sequence(ls))
    assert keyed(result) == keyed(_models.elemcount(sequence(ls)))


class RaisesOnEq:
    """Hashes to 13: past the first 8 slots of a frozenset's table."""

    def __hash__(self):
        return 13

    def __eq__(self, other):
        raise ZeroDivisionError


def test_frozenset_members_past_the_first_slots_are_seen():
    # Six members make a table of 32 slots. The two sets differ in their
    # hashes, and compare their slot-13 members first, which raises.
    ls = [frozenset({RaisesOnEq(), 1, 2, 3, 4, 30}),
          frozenset({RaisesOnEq(), 1, 2, 3, 4, 31})]
    for count in (_models.elemcount, elemcount):
        with pytest.raises(ZeroDivisionError):
            count(ls)


@pytest.mark.parametrize("make", [
    lambda: list(range(5000)) * 20,
    lambda: list(range(20_000)),
    lambda: list(range(600)) + [7] * 5000 + list(range(600, 3000)),
    lambda: [(i % 3000, "x") for i in range(10_000)],
], ids=["repeated-range", "distinct", "distinct-then-repeats", "pairs"])
def test_long_sequences_count_like_counter_and_size_like_it(make):
    ls = make()
    result = elemcount(ls)
    grown = {}
    for item in ls:
        grown[item] = grown.get(item, 0) + 1
    assert keyed(result) == keyed(dict(collections.Counter(ls)))
    # No dict presized beyond its keys: no larger than one grown by them.
    assert sys.getsizeof(result) <= sys.getsizeof(grown)


@pytest.mark.parametrize("attach", [
    lambda ls: setattr(ls, "count", lambda value: -1),
    lambda ls: setattr(type(ls), "count", lambda self, value: -1),
    lambda ls: setattr(type(ls), "__iter__", lambda self: iter([9, 1, 9])),
], ids=["instance-count", "class-count", "class-iter"])
@pytest.mark.parametrize("base", [list, tuple])
def test_subclasses_that_change_something_walk_generally(attach, base):
    ls = type("Changed", (base,), {})([1, 2, 1])
    expected = _models.elemcount(ls)
    attach(ls)
    assert list(elemcount(ls).items()) == \
        list(_models.elemcount(ls).items()) != list(expected.items())


def test_subclass_with_getattribute_walks_generally():
    looked_up = []

    class Watched(list):
        def __getattribute__(self, name):
            looked_up.append(name)
            return list.__getattribute__(self, name)

    assert elemcount(Watched([1, 2, 1])) == {1: 2, 2: 1}
    assert looked_up == ["count", "count"]


# --- elemcount on exact str and bytes -----------------------------------------

def texts(min_codepoint, max_codepoint):
    return st.text(st.characters(min_codepoint=min_codepoint,
                                 max_codepoint=max_codepoint,
                                 exclude_categories=()), max_size=60)


@settings(max_examples=100, deadline=None)
@given(st.one_of(texts(0, 0x7F), texts(0, 0xFF), texts(0, 0xFFFF),
                 texts(0x100, 0x10FFFF), st.binary(max_size=60)))
def test_strings_and_bytes(data):
    fast, slow = elemcount(data), elemcount(general(data))
    assert list(fast.items()) == list(slow.items())
    assert [type(key) for key in fast] == [type(key) for key in slow] == \
        [int if isinstance(data, bytes) else str] * len(fast)
    # One-character str below 256 and small ints are shared objects: the
    # keys are the very objects the general walk gets from the iterator.
    shared = [key for key in fast if not isinstance(key, str) or ord(key) < 256]
    assert [id(k) for k in shared] == \
        [id(k) for k in slow if not isinstance(k, str) or ord(k) < 256]


@pytest.mark.parametrize("data", [
    "", b"", "aab", "\xe9\xe9\xff\x00", "\ud800x\ud800\udfff",
    "\U0010ffff\U00010000\U0010ffff", "a\u0100" * 1000 + "\x00",
    bytes(range(256)) * 3, "".join(map(chr, range(1024))) * 2,
], ids=repr)
def test_string_edges(data):
    fast, slow = elemcount(data), elemcount(general(data))
    assert list(fast.items()) == list(slow.items()) == \
        list(_models.elemcount(data).items())


# --- elemcount on exact bytearray, array.array and range ------------------------

def assert_same_elements(fast, slow):
    """The same keys (NaN and -0.0 told apart by repr) of the same types in
    the same order, with the same counts. Elements are made afresh by the
    iterator: only the cached small ints and one-character strings are
    shared objects, and those must be the very same."""
    assert [(type(k), repr(k), n) for k, n in fast.items()] == \
        [(type(k), repr(k), n) for k, n in slow.items()]

    def shared(result):
        return [id(k) for k in result if (-5 <= k <= 256 if type(k) is int
                                          else type(k) is str and k < "\x100")]
    assert shared(fast) == shared(slow)


def array_values(code):
    if code in "fd":
        values = st.one_of(st.floats(width=32 if code == "f" else 64),
                           st.sampled_from([0.0, -0.0, NAN, math.inf, 1.0]))
    elif code == "w":
        values = st.characters(exclude_categories=())
    else:
        bits = 8 * array.array(code).itemsize
        low, high = ((-(1 << bits - 1), (1 << bits - 1) - 1) if code.islower()
                     else (0, (1 << bits) - 1))
        values = st.one_of(st.integers(low, high),
                           st.integers(max(low, -6), min(high, 260)))
    return st.lists(values, min_size=1, max_size=6).flatmap(
        lambda pool: st.lists(st.one_of(st.sampled_from(pool), values),
                              max_size=40))


@settings(max_examples=300, deadline=None)
@given(st.one_of(
    st.sampled_from("bBhHiIlLqQfdw").flatmap(
        lambda code: array_values(code).map(
            functools.partial(array.array, code))),
    st.binary(max_size=60).map(bytearray)))
def test_arrays_and_bytearrays(ls):
    assert_same_elements(elemcount(ls), elemcount(general(ls)))


def invalid_codes():
    ls = array.array("w", "ab")
    ls.frombytes(b"\xff\xff\xff\xff")
    ls.append("a")
    return ls


@pytest.mark.parametrize("make", [
    lambda: array.array("d", [NAN, NAN, float("nan")]),
    lambda: array.array("d", [-0.0, 0.0, NAN, -0.0, math.inf, NAN, 0.0]),
    lambda: array.array("f", [NAN, 0.1, -0.0, 0.1]),
    lambda: array.array("Q", [2**64 - 1, 0, 2**64 - 1, 2**63]),
    lambda: array.array("q", [-2**63, 2**63 - 1, -2**63, -1]),
    lambda: array.array("l", [*range(-5, 5000), *range(100)]),
    lambda: array.array("w", "\x00\xe9\u20ac\U0001f600\ud800\xe9"),
    lambda: array.array("w"),
    invalid_codes,
    lambda: bytearray(range(256)) * 3,
    lambda: bytearray(),
], ids=["nans", "zeros", "float32", "Q", "q", "mostly distinct", "codes",
        "no codes", "invalid code", "bytearray", "empty bytearray"])
def test_array_edges(make):
    fast, slow = outcome(make), outcome(lambda: general(make()))
    assert fast[0] == slow[0]
    if fast[0] == "ok":
        assert_same_elements(fast[1], slow[1])
    else:
        assert fast == slow


def outcome(make):
    try:
        return "ok", elemcount(make())
    except Exception as exc:
        return ("raised", type(exc), str(exc),
                [e[1] for e in entries(exc) if e[0] == COUNT_ENTRY])


def test_float_array_nan_elements_are_never_counted():
    # array.count compares a new float per element with the key object:
    # no NaN element is ever that object, and NaN equals nothing.
    result = elemcount(array.array("d", [NAN, 1.0, NAN]))
    assert [(repr(k), n) for k, n in result.items()] == \
        [("nan", 0), ("1.0", 1), ("nan", 0)]


@pytest.mark.parametrize("make", [
    lambda: array.array("B", bytes(range(256)) * 4200),
    lambda: array.array("d", [0.5, -0.0, 0.0] * 400_000),
    lambda: bytearray(b"ab\xff") * 400_000,
], ids=["B", "d", "bytearray"])
def test_long_arrays_read_in_chunks(make):
    # Over a million elements: read in chunks, with signals checked and the
    # counts taken again between them.
    ls = make()
    result = elemcount(ls)
    assert [(repr(k), n) for k, n in result.items()] == \
        [(repr(k), n) for k, n in collections.Counter(ls).items()]


@pytest.mark.parametrize("ls", [
    range(0), range(7), range(-300, 300, 7), range(10, -10, -3),
    range(-5, 257), range(2**64, 2**64 + 40, 3), range(5, 6, 2**70),
], ids=repr)
def test_ranges(ls):
    assert_same_elements(elemcount(ls), _models.elemcount(ls))


class CountedDeque(collections.deque):
    def count(self, value):
        return -1


class CountedArray(array.array):
    def count(self, value):
        return -1


class CountedBytes(bytearray):
    def count(self, value):
        return -1


class NamedLikeDeque:
    """A user type that takes the name of a builtin one."""

    def __init__(self, items):
        self.items = items

    def __iter__(self):
        return iter(self.items)

    def count(self, value):
        return -1


@pytest.mark.parametrize("ls", [
    CountedDeque([1, 2, 1]), CountedArray("l", [1, 2, 1]),
    CountedBytes(b"\x01\x02\x01"),
    type("collections.deque", (NamedLikeDeque,), {})([1, 2, 1]),
    type("array.array", (NamedLikeDeque,), {})([1, 2, 1]),
    type("collections.deque", (CountedDeque,), {})([1, 2, 1]),
], ids=lambda ls: type(ls).__name__)
def test_subclasses_and_namesakes_keep_their_count(ls):
    assert list(elemcount(ls).items()) == [(1, -1), (2, -1)]


# --- the general path where the fast one does not apply -------------------------

class I(int):
    """An int whose equality and hash calls are recorded."""
    log = []

    def __eq__(self, other):
        I.log.append(("eq", int(self), other))
        return int(self) == other

    def __hash__(self):
        I.log.append(("hash", int(self)))
        return int.__hash__(self)


def recorded_walk(ls):
    I.log = []
    try:
        outcome = ("ok", keyed(elemcount(ls)))
    except Exception as exc:
        ours = [e[1] for e in entries(exc) if e[0] == COUNT_ENTRY]
        outcome = ("raised", type(exc), str(exc), ours)
    return outcome, I.log


@pytest.mark.parametrize("make", [
    lambda: [1, I(1), 2, I(2), 1.0],
    lambda: [I(5), 5, I(5), True, I(1)],
    lambda: [1, "a", (1, 2), (1, 2), None],
    lambda: [1, 2, [3]],
    lambda: [NAN, {}],
    lambda: [1, Unequal(), Unequal()],
    lambda: [2, 2.0, frozenset({2}), S("s"), "s"],
], ids=["int-subclass", "int-subclass-first", "tuples", "unhashable",
        "nan-dict", "raising-eq", "str-subclass"])
@pytest.mark.parametrize("sequence", [list, tuple, collections.deque])
def test_other_elements_walk_generally(make, sequence):
    # The exact sequence must not take the hashed path: its user code,
    # results and failures are those of the subclass.
    items = sequence(make())
    assert recorded_walk(items) == recorded_walk(general(items))


WARNINGS_SCRIPT = r"""
import collections, json, sys, warnings
from collections import deque
from korvex.list.count import elemcount
from korvex.list.strutils.sundle import multi_str_sundle

class L(list):
    def count(self, value):
        return list.count(self, value)

class T(tuple):
    def count(self, value):
        return tuple.count(self, value)

class S(str):
    pass

class B(bytes):
    pass

class D(collections.deque):
    pass

def outcome(ls):
    with warnings.catch_warnings(record=True) as caught:
        if sys.flags.bytes_warning < 2:  # under -bb they are errors
            warnings.simplefilter("always")
        try:
            result = [[repr(k), n] for k, n in elemcount(ls).items()]
        except Exception as exc:
            tb = exc.__traceback__
            while tb.tb_next:
                tb = tb.tb_next
            result = [type(exc).__name__, str(exc), tb.tb_lineno]
    return [result, [str(w.message) for w in caught]]

sub = {list: L, tuple: T, str: S, bytes: B, collections.deque: D}
print(json.dumps([[outcome(ls), outcome(sub[type(ls)](ls))]
                  for ls in CASES]))
"""


def warning_outcomes(cases, *options):
    """[exact outcome, subclass outcome] per case, each [result or
    failure, warning messages], from a fresh interpreter."""
    script = WARNINGS_SCRIPT.replace("CASES", repr(cases))
    status, out, err = run_python(script, *options)
    assert (status, err) == (0, "")
    return json.loads(out)


# -bb rather than -b -W error::BytesWarning: on 3.13, -b puts its own
# "default" filter ahead of the filters given with -W.
WARNING_MODES = [(), ("-b",), ("-bb",)]

STR_BESIDE_BYTES = [["a", b"b", "a"], [b"a", "a", 1.5], (1.5, "x", b"y", None),
                    collections.deque(["a", b"b", "a"])]
NO_BYTES_WARNING = [["a", "b", "a", 1], [b"a", b"b", b"a", 1.5, None],
                    "ab", b"ab", collections.deque([b"a", b"a", None])]


def test_str_beside_bytes_takes_the_general_path():
    # Comparing str with bytes warns under -b and fails under -bb. The
    # hashed path would never compare "a" with b"b" (their hashes differ),
    # so the warnings tell the paths apart.
    cases = STR_BESIDE_BYTES + NO_BYTES_WARNING
    plain, warned, failed = (warning_outcomes(cases, *options)
                             for options in WARNING_MODES)
    for found in (plain, warned, failed):
        assert [exact for exact, _ in found] == [sub for _, sub in found]
    mixed = len(STR_BESIDE_BYTES)
    assert [bool(exact[1]) for exact, _ in plain + warned] == \
        [False] * len(cases) + [True] * mixed + [False] * (len(cases) - mixed)
    assert [exact[0] for exact, _ in warned] == [exact[0] for exact, _ in plain]
    assert [exact for exact, _ in failed[:mixed]] == [[
        ["BytesWarning", "Comparison between bytes and string", 4], []]] * mixed
    assert failed[mixed:] == plain[mixed:]


@pytest.mark.parametrize("options", WARNING_MODES[1:], ids=["-b", "-bb"])
def test_bytes_beside_int_warns_like_the_general_path(options):
    cases = [[b"a", 1, b"a"], [True, b"x"], (b"a", 2), [2, 1.0, b"\x02"],
             collections.deque([2, b"\x02", 2])]
    found = warning_outcomes(cases, *options)
    assert [exact for exact, _ in found] == [sub for _, sub in found]


@pytest.mark.parametrize("options", WARNING_MODES, ids=["plain", "-b", "-bb"])
def test_bytes_in_containers_warn_like_the_general_path(options):
    cases = [[("a",), (b"a",), ("a",)], [(1, b"x"), (1, "x")],
             [frozenset({"a"}), frozenset({b"a"})], ((b"a", 1), ((97,),)),
             [(b"\x01",), 1, (True,)], collections.deque([("a",), (b"a",)])]
    found = warning_outcomes(cases, *options)
    assert [exact for exact, _ in found] == [sub for _, sub in found]


# --- ambrel against the Python model ------------------------------------------

class Log:
    """Shared record of iteration steps and calls, in order."""

    def __init__(self):
        self.events = []

    def walk(self, items):
        for item in items:
            self.events.append(("next", item))
            yield item
        self.events.append(("end",))


def make_function(log):
    def func(*args, **kwargs):
        log.events.append(("function", args, dict(kwargs)))
        kwargs["mutated"] = True
        return (args, sorted(kwargs))
    return func


def make_instance(log):
    class Callable:
        def __call__(self, *args, **kwargs):
            log.events.append(("instance", args, dict(kwargs)))
            kwargs.clear()
            return len(args)
    return Callable()


def make_bound(log):
    class Owner:
        def method(self, *args, **kwargs):
            log.events.append(("method", type(self).__name__, args,
                               dict(kwargs)))
            kwargs.pop(next(iter(kwargs), None), None)
            return args[:1]
    return Owner().method


class Made:
    log = None

    def __init__(self, *args, **kwargs):
        Made.log.events.append(("class", args, dict(kwargs)))
        self.value = (args, kwargs)

    def __eq__(self, other):
        return type(other) is Made and self.value == other.value

    __hash__ = None


def make_class(log):
    Made.log = log
    return Made


def make_partial(log):
    return functools.partial(make_function(log), "first", p=0)


def make_dict(log):
    return dict


CALLEES = [make_function, make_instance, make_bound, make_class,
           make_partial, make_dict]

ARGUMENTS = [
    ((), {}),
    ((1,), {"k": 2}),
    (tuple(range(12)), {}),
    ((), {f"key{i}": i for i in range(20)}),
    (tuple(range(9)), {f"k{i}": [i] for i in range(9)}),
]


def run_both(make_callee, ls, args, kwargs):
    """Runs ambrel and the model with fresh recorders; returns both
    (result or exception, events) pairs and the caller's kwargs after."""
    outcomes = []
    for runner in (ambrel, _models.ambrel):
        log = Log()
        callee = make_callee(log)
        mine = dict(kwargs)
        try:
            outcome = runner(log.walk(ls), callee, *args, **mine)
        except Exception as exc:
            # The entries of this file's code (the model's are in _models).
            outcome = (type(exc), str(exc), [
                entry[:2] for entry in entries(exc) if entry[2] == __file__])
        outcomes.append((outcome, log.events, mine))
    return outcomes


@pytest.mark.parametrize("args, kwargs", ARGUMENTS,
                         ids=["none", "one-each", "12-args", "20-keywords",
                              "9-and-9"])
@pytest.mark.parametrize("make_callee", CALLEES,
                         ids=lambda make: make.__name__[5:])
def test_callees_see_what_the_model_gives_them(make_callee, args, kwargs):
    ls = [3, "x", None, 3]
    if make_callee is make_dict:
        ls = [{"a": 1}, (), [("b", 2)], {"a": 1}]
    mine, theirs = run_both(make_callee, ls, args, kwargs)
    assert mine == theirs
    # What the callees did to their keyword dicts never reached the caller.
    assert mine[2] == kwargs


@pytest.mark.parametrize("func, ls, args, kwargs", [
    (max, [3, 1, 4], (2,), {"key": abs}),
    (max, [[], [5]], (), {"default": 0}),
    (divmod, [7, 9], (4,), {}),
    ("{0}-{1}-{k}".format, ["a", "b"], (1,), {"k": 2}),
    (str.split, ["a,b c"], (), {"sep": ","}),
    (int, ["10", "ff"], (16,), {}),
    (sorted, [[3, 1], [2]], (), {"reverse": True}),
    (5, [1], (), {}),
    (5, [], (), {}),
    (len, [1], (), {}),
    (max, [[]], (), {}),
    (int, ["x"], (), {"base": 10}),
])
def test_builtin_callees(func, ls, args, kwargs):
    mine, theirs = run_both(lambda log: func, ls, args, kwargs)
    assert mine == theirs


def test_a_failure_stops_both_at_the_same_element():
    def fail_on_none(log):
        def func(x, *args, **kwargs):
            log.events.append(("call", x))
            return 1 // (x is not None)
        return func
    mine, theirs = run_both(fail_on_none, [1, 2, None, 3], (), {"k": 1})
    assert mine == theirs
    assert mine[0][:2] == (ZeroDivisionError, "integer division or modulo "
                                              "by zero")
    assert mine[1][-1] == ("call", None)


@pytest.mark.parametrize("make_callee", CALLEES[:3],
                         ids=lambda make: make.__name__[5:])
def test_recursion_through_ambrel(make_callee):
    # Each level runs the runner under test again, with a recording callee
    # at the bottom.
    outcomes = []
    for runner in (ambrel, _models.ambrel):
        log = Log()
        leaf = make_callee(log)

        def func(x, depth, runner=runner, leaf=leaf, log=log):
            log.events.append(("depth", depth, x))
            if depth == 0:
                return leaf(x, depth=depth)
            return runner(log.walk(range(x)), func, depth - 1)
        outcomes.append((runner(log.walk([2, 3]), func, 2), log.events))
    assert outcomes[0] == outcomes[1]
    assert len(outcomes[0][1]) > 20


def test_deep_recursion_fails_alike():
    code = """if 1:
    from korvex.list.ambrel import ambrel
    def through_ambrel(x):
        return ambrel([x], through_ambrel)
    def through_model(x):
        return [through_model(l) for l in [x]]
    for f in (through_ambrel, through_model):
        try:
            f(1)
        except RecursionError:
            print("RecursionError")
    """
    assert run_python(code) == (0, "RecursionError\n" * 2, "")


def test_warnings_from_callees_pass_through():
    code = """if 1:
    import operator
    from korvex.list.ambrel import ambrel
    for run in (ambrel, lambda ls, f, *a: [f(l, *a) for l in ls]):
        try:
            print(run(["a", "b"], operator.eq, b"a"))
        except BytesWarning as exc:
            print(type(exc).__name__, exc)
    """
    expected = "BytesWarning Comparison between bytes and string\n" * 2
    assert run_python(code, "-bb") == \
        (0, expected, "")
    assert run_python(code) == (0, "[False, False]\n" * 2, "")


def grow(ls, x):
    if len(ls) < 30:
        ls.append(x + 100)


MUTATIONS = {
    "append": grow,
    "extend": lambda ls, x: len(ls) < 30 and ls.extend(range(x % 3)),
    "insert": lambda ls, x: len(ls) < 30 and ls.insert(0, -x),
    "pop": lambda ls, x: ls.pop(),
    "del-front": lambda ls, x: ls.__delitem__(slice(0, 2)),
    "clear": lambda ls, x: x == 2 and ls.clear(),
    "replace": lambda ls, x: ls.__setitem__(slice(None), [x] * 4),
}


@pytest.mark.parametrize("extra", [(), (7,)], ids=["plain", "extra"])
@pytest.mark.parametrize("mutate", MUTATIONS.values(), ids=MUTATIONS.keys())
def test_ambrel_list_changed_by_func(mutate, extra):
    # The presized result and the positional walk must give what the
    # comprehension over the changing list gives.
    outcomes = []
    for runner in (ambrel, _models.ambrel):
        ls = list(range(8))
        result = runner(ls, lambda x, *a: (mutate(ls, x), (x, a))[1], *extra)
        outcomes.append((result, ls))
    assert outcomes[0] == outcomes[1]


def test_ambrel_callee_changes_class():
    class A:
        def __call__(self, x):
            self.__class__ = B
            return ("a", x)

    class B(A):
        def __call__(self, x):
            return ("b", x)

    assert [runner((1, 2, 3), A()) for runner in (ambrel, _models.ambrel)] \
        == [[("a", 1), ("b", 2), ("b", 3)]] * 2


# --- multi_str_sundle on exact str --------------------------------------------

WHITESPACE = "".join(c for c in map(chr, range(0x3100)) if c.isspace())
ALPHABET = WHITESPACE + "ab,;\xe9\u0101\U0001f600\u200b\ufeff"
SEPARATORS = [None, ",", " ", "\xe9", "\u0101", "\U0001f600", "\u3000", ", ",
              "aa", "\u0101\U0001f600"]


def assert_split_alike(sep, strings):
    fast = multi_str_sundle(sep, *strings)
    model, again = (_models.multi_str_sundle(sep, *strings) for _ in "12")
    assert fast == model and all(type(piece) is str for piece in fast)
    # Pieces that str.split hands out as shared objects (an unsplit element,
    # the empty and one-character strings) are the same objects here too.
    assert [p is q for p, q in zip(fast, model)] == \
        [p is q for p, q in zip(again, model)]


@settings(max_examples=300, deadline=None)
@given(st.sampled_from(SEPARATORS),
       st.lists(st.text(st.sampled_from(ALPHABET), max_size=12), max_size=5))
def test_sundle_splits_like_str_split(sep, strings):
    assert_split_alike(sep, strings)


@pytest.mark.parametrize("sep", [None, ",", ", "])
@pytest.mark.parametrize("strings", [
    ("abc", "", "a", "\xe9t\xe9", "\u0101\u0101", "\U0001f600x"),
    (" abc", "abc ", " ", "a b", "\x1cx\x1fy\x85z\xa0", "\u2028a\u3000"),
    ("a,b", ",", ",,", "a, b", "\u0101,\U0001f600, ", "x" * 300),
], ids=["unsplit", "whitespace", "separators"])
def test_sundle_identity_of_pieces(sep, strings):
    assert_split_alike(sep, strings)
    if sep is None or all(sep not in s for s in strings):
        unsplit = [s for s in strings if s and s.split(sep) == [s]]
        assert all(any(p is s for p in multi_str_sundle(sep, *strings))
                   for s in unsplit)


# One-byte strings of every length up to a little over 16 characters, the
# widths at which short pieces are copied differently, with a byte of
# interest at each position and another at the end.
BYTES = ",\x00\xff \t\x0b\x1c\x1f\x85\xa0\x08\x0e!a"
ONE_BYTE_STRINGS = [
    "x" * at + c + "y" * (n - at - 1) + end
    for n in range(1, 19) for at in range(n) for c in BYTES
    for end in ("", c, " ")
] + ["", "\x00", " " * 20, "\xff" * 17]


@pytest.mark.parametrize("sep", [None, ",", "\x00", "\xff", " ", "\x1f"])
def test_sundle_one_byte_strings_at_every_position(sep):
    assert_split_alike(sep, ONE_BYTE_STRINGS)
