"""korvex: list helpers for CPython 3.13, as native extension modules."""

__version__: str
