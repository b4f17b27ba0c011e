"""Shared helpers. The tests import korvex as installed (the .venv), never
from the source tree."""

import importlib
import pathlib
import subprocess
import sys

import pytest

import korvex

REPO = pathlib.Path(__file__).resolve().parent.parent
PACKAGE = pathlib.Path(korvex.__file__).resolve().parent

if PACKAGE.is_relative_to(REPO / "src"):
    raise pytest.UsageError(
        f"korvex was imported from the source tree ({PACKAGE}); "
        "install it and run the tests against the installed package")

# What a korvex traceback entry's co_filename starts with: the path's
# backslashes are doubled there.
KORVEX_FILE_PREFIX = "src\\\\korvex"


def extension_paths():
    """Every installed korvex extension module file."""
    return sorted(PACKAGE.rglob("*.so"))


def module_name(path):
    """The dotted name of an installed extension module file."""
    parts = path.relative_to(PACKAGE.parent).parts
    return ".".join(parts[:-1] + (path.name.split(".")[0],))


def extension_modules():
    return [importlib.import_module(module_name(p)) for p in extension_paths()]


def korvex_functions():
    """(module, name, function) for every function of every module."""
    found = []
    for module in extension_modules():
        for key, value in vars(module).items():
            if type(value).__module__ == "korvex" and \
                    type(value).__qualname__ == "function":
                found.append((module, key, value))
    return found


def innermost(exc):
    """The innermost traceback entry of `exc` as
    (co_name, lineno, co_filename, f_globals)."""
    tb = exc.__traceback__
    while tb.tb_next is not None:
        tb = tb.tb_next
    code = tb.tb_frame.f_code
    return code.co_name, tb.tb_lineno, code.co_filename, tb.tb_frame.f_globals


def entries(exc):
    """Every traceback entry of `exc`, outermost first, as
    (co_name, lineno, co_filename, frame)."""
    found = []
    tb = exc.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        found.append((code.co_name, tb.tb_lineno, code.co_filename,
                      tb.tb_frame))
        tb = tb.tb_next
    return found


def entries_from_korvex(exc):
    """The traceback entries of `exc` that come from korvex, outermost
    first, as `entries` gives them."""
    return [entry for entry in entries(exc)
            if entry[2].startswith(KORVEX_FILE_PREFIX)]


def korvex_entries(exc):
    """How many traceback entries of `exc` come from korvex."""
    return len(entries_from_korvex(exc))


def one_korvex_entry(exc, filename=None):
    """The one korvex traceback entry of `exc`, which must have exactly one
    (with `filename`, when given)."""
    found = entries_from_korvex(exc)
    assert len(found) == 1, found
    assert filename is None or found[0][2] == filename, found
    return found[0]


class Boom(Exception):
    """What the tests' callbacks raise."""


class Unequal:
    """Hashable by identity; comparing it with anything raises."""
    __hash__ = object.__hash__

    def __eq__(self, other):
        raise ArithmeticError("no comparing")


def run_python(code, *options):
    """Runs `code` in a fresh interpreter; returns (returncode, stdout,
    stderr)."""
    done = subprocess.run([sys.executable, *options, "-c", code],
                          capture_output=True, text=True, timeout=300)
    return done.returncode, done.stdout, done.stderr
