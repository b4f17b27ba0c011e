"""Correct uses of every korvex function, for `mypy --strict` (run by
test_stubs.py; never executed). Each `assert_type` pins what the stubs
promise."""

from collections import Counter
from collections.abc import Iterator
from typing import assert_type

import korvex

from korvex.dict.write import write_klist, write_vlist
from korvex.list.ambrel import ambrel
from korvex.list.count import elemcount
from korvex.list.read import read, read_split
from korvex.list.strutils.sundle import multi_str_sundle, str_sundle


def check_version() -> None:
    assert_type(korvex.__version__, str)


def check_read() -> None:
    assert_type(read(3), list[str])
    assert_type(read(3, "> "), list[str])
    assert_type(read(3, "> ", int), list[int])
    assert_type(read(3, func=float), list[float])
    assert_type(read_split(), list[str])
    assert_type(read_split("? ", ","), list[str])
    assert_type(read_split(spl=None), list[str])
    assert_type(read_split(func=int), list[int])
    assert_type(read_split("", " ", len), list[int])


def check_sundle() -> None:
    words: list[str] = multi_str_sundle(",", "a,b", "c")
    blobs: list[bytes] = multi_str_sundle(b"-", b"1-2")
    spaced: list[str] = multi_str_sundle(None, " x y ")
    none: list[str] = multi_str_sundle(",")
    assert_type(str_sundle(",", "a"), None)


def check_ambrel() -> None:
    assert_type(ambrel([1, 2, 3], pow, 2), list[int])
    assert_type(ambrel(["a,b"], str.split, sep=","), list[list[str]])
    assert_type(ambrel("abc", str.upper), list[str])
    assert_type(ambrel(ls=[1, 2], func=str), list[str])


class Tally:
    def __iter__(self) -> Iterator[str]:
        return iter("ab")

    def count(self, value: str) -> int:
        return 1


def check_elemcount() -> None:
    assert_type(elemcount([3, 1, 3]), dict[int, int])
    assert_type(elemcount("origin"), dict[str, int])
    assert_type(elemcount((b"x",)), dict[bytes, int])
    assert_type(elemcount(b"xy"), dict[int, int])
    assert_type(elemcount(range(3)), dict[int, int])
    assert_type(elemcount(Tally()), dict[str, int])
    # Any hashable element: tuples, frozensets, None.
    assert_type(elemcount([(1, "a")]), dict[tuple[int, str], int])
    assert_type(elemcount((frozenset({1}),)), dict[frozenset[int], int])
    assert_type(elemcount([1, None]), dict[int | None, int])


class Pairs:
    def items(self) -> list[str | tuple[str, int]]:
        return ["ab", ("one", 1)]


def check_write() -> None:
    assert_type(write_klist({"a": 1}), None)
    assert_type(write_vlist({"a": 1}, ", ", ".\n"), None)
    write_klist(d={"x": 1}, sep="")
    write_klist(Pairs())
    write_vlist(Counter("abc"), sep=None, end=None)
    write_klist({"a": 1}, "", "")
