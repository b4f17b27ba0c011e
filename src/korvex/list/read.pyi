"""Reading lists from standard input, one line or several."""

from collections.abc import Callable
from typing import SupportsIndex, TypeVar, overload

_R = TypeVar("_R")

@overload
def read(n: SupportsIndex, s: object = "") -> list[str]:
    """Read one line per value of ``range(n)`` with the builtin ``input``.

    ``s`` is the prompt written before each line; the line end is removed.
    Returns ``[func(line) for each line]``, each line converted before the
    next prompt; ``func`` returns its argument unchanged by default. Nothing
    is read when ``n`` is 0 or less.

    Raises (traceback entry ``korvex.list.read.read``): binding errors at
    line 1; ``range(n)``, ``input`` (``EOFError``) and ``func`` errors at
    line 2. Lines already read stay consumed.
    """

@overload
def read(n: SupportsIndex, s: object, func: Callable[[str], _R]) -> list[_R]:
    """Read one line per value of ``range(n)`` with ``input(s)`` and return
    ``[func(line) for each line]``, each line converted before the next
    prompt.

    Raises (traceback entry ``korvex.list.read.read``): binding errors at
    line 1; ``range(n)``, ``input`` and ``func`` errors at line 2.
    """

@overload
def read(n: SupportsIndex, s: object = "", *, func: Callable[[str], _R]) -> list[_R]:
    """Read one line per value of ``range(n)`` with ``input(s)`` and return
    ``[func(line) for each line]``, each line converted before the next
    prompt.

    Raises (traceback entry ``korvex.list.read.read``): binding errors at
    line 1; ``range(n)``, ``input`` and ``func`` errors at line 2.
    """

@overload
def read_split(s: object = "", spl: str | None = " ") -> list[str]:
    """Read one line and return ``[func(p) for p in line.split(spl)]``.

    The default separator is one space, not any whitespace: adjacent
    spaces give empty pieces. Pass ``spl=None`` for whitespace splitting.
    ``func`` returns its argument unchanged by default.

    Raises (traceback entry ``korvex.list.read.read_split``): binding
    errors at line 3; ``input`` (``EOFError``), ``split`` (``ValueError:
    empty separator``) and ``func`` errors at line 4.
    """

@overload
def read_split(s: object, spl: str | None, func: Callable[[str], _R]) -> list[_R]:
    """Read one line with ``input(s)`` and return
    ``[func(p) for p in line.split(spl)]``.

    Raises (traceback entry ``korvex.list.read.read_split``): binding
    errors at line 3; ``input``, ``split`` and ``func`` errors at line 4.
    """

@overload
def read_split(s: object = "", spl: str | None = " ", *, func: Callable[[str], _R]) -> list[_R]:
    """Read one line with ``input(s)`` and return
    ``[func(p) for p in line.split(spl)]``.

    Raises (traceback entry ``korvex.list.read.read_split``): binding
    errors at line 3; ``input``, ``split`` and ``func`` errors at line 4.
    """
