"""Applying a function to every element of an iterable."""

from collections.abc import Callable, Iterable
from typing import Any, TypeVar

_T = TypeVar("_T")
_R = TypeVar("_R")

def ambrel(ls: Iterable[_T], func: Callable[..., _R], *args: Any, **kwargs: Any) -> list[_R]:
    """Return the new list ``[func(l, *args, **kwargs) for l in ls]``.

    ``func`` is called once per element, in iteration order, with the
    element first; each call gets its own copy of ``kwargs``. With an empty
    ``ls`` it is never called.

    Raises (traceback entry ``korvex.list.ambrel.ambrel``): binding errors
    at line 1; errors from iterating ``ls`` or from ``func`` at line 2.
    """
