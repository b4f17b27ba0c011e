"""Imports every module of an installed korvex and writes through the
installed writer: `write_klist({"a": 1, "b": 2}, ",")` must print `a,b`.
Exits 1 with the reason otherwise. Run it outside the source tree."""

import contextlib
import importlib
import io
import sys

MODULES = ["korvex.list.read", "korvex.list.strutils.sundle",
           "korvex.list.ambrel", "korvex.list.count", "korvex.dict.write"]


def main():
    for name in MODULES:
        importlib.import_module(name)
    from korvex.dict.write import write_klist

    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        write_klist({"a": 1, "b": 2}, ",")
    if out.getvalue() != "a,b\n":
        print(f"write_klist printed {out.getvalue()!r}, not 'a,b\\n'")
        return 1
    print(out.getvalue(), end="")
    print(f"{len(MODULES)} modules imported from "
          f"{sys.modules['korvex'].__path__[0]}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
