"""korvex.list.count.elemcount: what it returns and where it fails."""

import json

import pytest

from conftest import Unequal, innermost, one_korvex_entry, run_python
from korvex.list.count import elemcount

ENTRY_NAME = "korvex.list.count.elemcount"


class RecordingList(list):
    """A list whose `count` calls are recorded."""

    def __init__(self, *args):
        super().__init__(*args)
        self.asked = []

    def count(self, value):
        self.asked.append(value)
        return super().count(value)


class CountRaises(list):
    def count(self, value):
        raise KeyError(value)


def failing_walk():
    yield 1
    raise ValueError("walk broke")


class Done(StopIteration):
    pass


class Walk:
    """An iterable with a `count`, whose iterator ends with a StopIteration
    subclass."""

    def __init__(self, items):
        self.items = items

    def __iter__(self):
        return self.Iterator(self.items)

    def count(self, value):
        return self.items.count(value)

    class Iterator:
        def __init__(self, items):
            self.items = list(items)

        def __iter__(self):
            return self

        def __next__(self):
            if not self.items:
                raise Done
            return self.items.pop(0)


@pytest.mark.parametrize("argument,expected", [
    ([3, 1, 3, 2, 1, 3], [(3, 3), (1, 2), (2, 1)]),
    ((5, 4, 5), [(5, 2), (4, 1)]),
    ("origin", [("o", 1), ("r", 1), ("i", 2), ("g", 1), ("n", 1)]),
    (b"aba", [(97, 2), (98, 1)]),
    (range(3), [(0, 1), (1, 1), (2, 1)]),
    ([None, "a", None], [(None, 2), ("a", 1)]),
    (Walk([2, 1, 2]), [(2, 2), (1, 1)]),
])
def test_counts_in_first_occurrence_order(argument, expected):
    result = elemcount(argument)
    assert type(result) is dict
    assert list(result.items()) == expected


@pytest.mark.parametrize("argument", [
    [], (), "", b"", iter([]), set(), {}, CountRaises(), Walk([]),
], ids=repr)
def test_empty_input_never_looks_up_count(argument):
    assert elemcount(argument) == {}


@pytest.mark.parametrize("argument,key_type", [
    ([1, 1.0, True], int),
    ([True, 1, 1.0], bool),
    ([1.0, True, 1], float),
])
def test_first_of_equal_elements_is_the_key(argument, key_type):
    result = elemcount(argument)
    assert result == {1: 3}
    key, = result
    assert type(key) is key_type


@pytest.mark.parametrize("sequence", [list, tuple, RecordingList])
def test_key_is_the_first_object_among_equal_ones(sequence):
    first, second = tuple([1, 2]), tuple([1, 2])
    assert first is not second
    result = elemcount(sequence([first, second, (3,)]))
    assert result == {(1, 2): 2, (3,): 1}
    assert next(iter(result)) is first


def test_nan_is_one_key_per_object():
    nan, other = float("nan"), float("nan")
    result = elemcount([nan, other, nan])
    assert [(key is nan, key is other, n) for key, n in result.items()] == \
        [(True, False, 2), (False, True, 1)]


def test_count_is_asked_once_per_distinct_element():
    argument = RecordingList(["b", "a", "b", "b"])
    assert elemcount(argument) == {"b": 3, "a": 1}
    assert argument.asked == ["b", "a"]


def test_keyword_argument():
    assert elemcount(ls=[2, 1, 2]) == {2: 2, 1: 1}


@pytest.mark.parametrize("make,error,message,line", [
    (lambda: 5, TypeError, "'int' object is not iterable", 3),
    (lambda: None, TypeError, "'NoneType' object is not iterable", 3),
    (failing_walk, ValueError, "walk broke", 3),
    (lambda: [Unequal(), Unequal()], ArithmeticError, "no comparing", 4),
    (lambda: iter([1, 2]), AttributeError,
     "'list_iterator' object has no attribute 'count'", 6),
    (lambda: {"k": 1}, AttributeError,
     "'dict' object has no attribute 'count'", 6),
    (lambda: {7}, AttributeError, "'set' object has no attribute 'count'", 6),
    (lambda: [[1], [1], [2]], TypeError, "unhashable type: 'list'", 6),
    (lambda: CountRaises([4]), KeyError, "4", 6),
])
def test_failures_report_their_line(make, error, message, line):
    with pytest.raises(error) as info:
        elemcount(make())
    assert str(info.value) == message
    assert one_korvex_entry(info.value)[:2] == (ENTRY_NAME, line)


def test_unhashable_elements_fail_after_count_ran():
    argument = RecordingList([[1], [1], [2]])
    with pytest.raises(TypeError, match="unhashable type: 'list'") as info:
        elemcount(argument)
    assert argument.asked == [[1]]
    assert innermost(info.value)[:2] == (ENTRY_NAME, 6)


def test_stop_iteration_subclass_ends_the_walk():
    assert elemcount(Walk([1, 1, 3])) == {1: 2, 3: 1}


class Grows:
    """Appends to `target` while it holds two elements."""

    def __init__(self, target):
        self.target = target

    def __eq__(self, other):
        if len(self.target) == 2:
            self.target.append("added")
        return False

    __hash__ = object.__hash__


class Shrinks(Grows):
    def __eq__(self, other):
        del self.target[2:]
        return False

    __hash__ = object.__hash__


def test_walk_sees_a_list_growing_under_it():
    ls = []
    first, second = Grows(ls), Grows(ls)
    ls += [first, second]
    result = elemcount(ls)
    assert list(result.items()) == [(first, 1), (second, 1), ("added", 1)]


def test_walk_stops_when_the_list_shrinks_under_it():
    ls = []
    first, second = Shrinks(ls), Shrinks(ls)
    ls += [first, second, "gone", "gone too"]
    assert list(elemcount(ls).items()) == [(first, 1), (second, 1)]


@pytest.mark.parametrize("base", [list, tuple])
def test_subclasses_are_walked_through_their_iterator(base):
    class Custom(base):
        def __iter__(self):
            return iter([9, 1, 9])

    assert list(elemcount(Custom([1, 2, 1])).items()) == [(9, 0), (1, 2)]


# A sequence changed by code run at a signal check: a signal handler, or a
# finalizer run by a collection scheduled just before the call. `map` calls
# the trigger, then elemcount, from C: nothing runs the pending code before
# elemcount's first check, after a few thousand elements. The keys are the
# elements as the walk met them; each count must be what `ls.count` gives
# afterwards.
CHANGED_AT_A_CHECK = r"""
import array, collections, ctypes, functools, gc, json, operator, signal
from korvex.list.count import elemcount

class PL(list):
    pass

class PT(tuple):
    pass

class General(list):
    def count(self, value):
        return list.count(self, value)

def replace_ends(ls):
    if isinstance(ls, (list, collections.deque, array.array, bytearray)):
        ls[0], ls[-1] = 250, 251
    if isinstance(ls, (list, bytearray)):
        ls.append(252)

MAKE = {
    "list": lambda items: list(items),
    "tuple": tuple,
    "deque": collections.deque,
    "range": lambda items: range(len(items)),
    "array": lambda items: array.array("l", items),
    "bytearray": lambda items: bytearray(items * 200),
    "list subclass": PL,
    "tuple subclass": PT,
    "general walk": General,
}

class Finalized:
    def __del__(self):
        self.ran.append(1)
        replace_ends(self.target)

def run(kind, trigger):
    ls = MAKE[kind]([1] + [i % 7 for i in range(9999)])
    first_met = repr(next(iter(ls)))
    ran = []
    if trigger == "handler":
        def handler(*_):
            ran.append(1)
            replace_ends(ls)
        signal.signal(signal.SIGUSR1, handler)
        first = [functools.partial(ctypes.CDLL(None)["raise"], signal.SIGUSR1)]
    else:
        # The cycle stays young until the collection that `list` (a tracked
        # allocation) schedules.
        gc.collect()
        gc.disable()
        gc.set_threshold(1)
        cycle = Finalized()
        cycle.target, cycle.self, cycle.ran = ls, cycle, ran
        del cycle
        first = [gc.enable, list]
    *_, result = map(operator.call,
                     first + [functools.partial(elemcount, ls)])
    gc.set_threshold(700)
    counts_now = {repr(k): ls.count(k) for k in result}
    return [ran == [1], {repr(k): n for k, n in result.items()} == counts_now,
            list(map(repr, result))[:1] == [first_met]]

print(json.dumps({kind: run(kind, TRIGGER) for kind in MAKE}))
"""


@pytest.mark.parametrize("trigger", ["handler", "finalizer"])
def test_sequence_changed_at_a_check_counts_as_it_is_after(trigger):
    code, out, err = run_python(
        CHANGED_AT_A_CHECK.replace("TRIGGER", repr(trigger)))
    assert (code, err) == (0, "")
    found = json.loads(out)
    # The code ran during the call, every count is what `count` gives now,
    # and the first element met stays a key even where it is gone.
    assert found == {kind: [True, True, True] for kind in found}
