"""Counting the elements of a sequence."""

from collections.abc import Iterable
from typing import TypeVar

_T = TypeVar("_T")

def elemcount(ls: Iterable[_T]) -> dict[_T, int]:
    """Return ``{element: ls.count(element)}`` for the elements of ``ls``.

    Keys appear in the order of their first occurrence; of several equal
    elements the first one is the key. When ``ls`` is not empty it must
    have a ``count`` method (a list, tuple, str, ... but not an iterator),
    and its elements must be hashable.

    Raises (traceback entry ``korvex.list.count.elemcount``): ``TypeError``
    for a non-iterable at line 3; ``TypeError`` (unhashable) or
    ``AttributeError`` (no ``count``) at line 6.
    """
