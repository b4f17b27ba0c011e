"""Counting the elements of a sequence."""

from collections.abc import Hashable, Iterator, Sequence
from typing import Protocol, TypeVar, overload

# Every element becomes a key of the result.
_T = TypeVar("_T", bound=Hashable)

# Any other iterable with a count method, such as a class of your own. The
# element type is invariant, being both produced by iteration and taken by
# count; a count typed to take Any (tuple's, Sequence's) would make it Any,
# which is why sequences get the overload of their own before this one.
class _SupportsCount(Protocol[_T]):
    def __iter__(self) -> Iterator[_T]: ...
    def count(self, value: _T, /) -> int: ...

@overload
def elemcount(ls: Sequence[_T]) -> dict[_T, int]:
    """Return ``{element: ls.count(element)}`` for the elements of ``ls``.

    Keys appear in the order of their first occurrence; of several equal
    elements the first one is the key. ``ls`` must be iterable and have a
    ``count`` method (a list, tuple, str, ... but not a set, a dict view or
    an iterator), and its elements must be hashable.

    Raises (traceback entry ``korvex.list.count.elemcount``): ``TypeError``
    for a non-iterable at line 3; ``TypeError`` (unhashable) or
    ``AttributeError`` (no ``count``) at line 6.
    """

@overload
def elemcount(ls: _SupportsCount[_T]) -> dict[_T, int]:
    """Return ``{element: ls.count(element)}`` for any iterable ``ls`` with
    a ``count`` method, in the order of first occurrence.

    Raises (traceback entry ``korvex.list.count.elemcount``): ``TypeError``
    for a non-iterable at line 3; errors of hashing or of ``ls.count`` at
    line 6.
    """
