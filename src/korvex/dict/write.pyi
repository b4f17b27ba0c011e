"""Writing the keys or values of a dict through ``list.write.write``."""

from collections.abc import Iterable
from typing import Protocol

class _SupportsItems(Protocol):
    # Each item must unpack into exactly two values (key, value).
    def items(self) -> Iterable[Iterable[object]]: ...

# sep and end go to the writer unchanged; the writer that comes with korvex
# prints like print(), which takes a str or None for each.
def write_klist(d: _SupportsItems, sep: str | None = " ", end: str | None = "\n") -> None:
    """Write the keys of ``d`` with ``list.write.write(keys, sep, end)``.

    The keys go into a new list in iteration order; that list, ``sep`` and
    ``end`` are passed unchanged, as three positional arguments, to the
    ``write`` of the package ``list.write`` (looked up afresh on every
    call). The writer that comes with korvex prints like
    ``print(*keys, sep=sep, end=end)``.

    ``d`` is a dict or any object whose ``items()`` yields pairs.
    Raises (traceback entry ``korvex.dict.write.write_klist``): binding
    errors at line 2; everything else (``items()``, unpacking, the writer)
    at line 3.
    """

def write_vlist(d: _SupportsItems, sep: str | None = " ", end: str | None = "\n") -> None:
    """Write the values of ``d`` with ``list.write.write(values, sep, end)``.

    Like ``write_klist``, with the values. Raises (traceback entry
    ``korvex.dict.write.write_vlist``): binding errors at line 4;
    everything else at line 5.
    """
