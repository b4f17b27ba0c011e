"""Splitting several strings at once."""

from collections.abc import Iterable
from typing import Protocol, TypeVar

_S_contra = TypeVar("_S_contra", contravariant=True)
_T_co = TypeVar("_T_co", covariant=True)
_S = TypeVar("_S")
_T = TypeVar("_T")

class _SupportsSplit(Protocol[_S_contra, _T_co]):
    def split(self, sep: _S_contra, /) -> Iterable[_T_co]: ...

def multi_str_sundle(sep: _S, *args: _SupportsSplit[_S, _T]) -> list[_T]:
    """Return the pieces of ``a.split(sep)`` for every ``a`` in ``args``.

    All pieces in one flat list, in argument order. ``sep`` is handed
    unchanged to each ``split`` (``None`` splits at runs of whitespace);
    with no ``args`` it is never looked at.

    Raises (traceback entry ``korvex.list.strutils.sundle.multi_str_sundle``):
    binding errors at line 3; an element without ``split``, a failing
    ``split`` (``ValueError: empty separator``) or a non-iterable result
    at line 6.
    """

def str_sundle(sep: object, s: object) -> None:
    """Bind ``sep`` and ``s`` and return ``None``; neither is looked at.

    Binding errors carry the traceback entry
    ``korvex.list.strutils.sundle.str_sundle``, line 1.
    """
