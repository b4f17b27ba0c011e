"""Allocation failures: every allocation of a call, and of every module's
first import, is made to fail in turn (one allocation at a time), and the
outcome must be the regular one or a MemoryError, with nothing leaked and
a retry working. The sweeps run in child processes (_alloc_child.py), so a
crash is reported as a finding."""

import concurrent.futures
import json
import os
import pathlib
import shutil
import signal
import subprocess
import sys

import pytest

CHILD = pathlib.Path(__file__).with_name("_alloc_child.py")
GROUPS = ["elemcount", "read", "ambrel", "sundle", "write"]
MODULES = ["korvex.list.count", "korvex.list.read", "korvex.list.ambrel",
           "korvex.list.strutils.sundle", "korvex.dict.write"]


# The children run with one hash seed, so that a point that crashes
# crashes again when it is looked at under gdb.
CHILD_ENV = {**os.environ, "PYTHONHASHSEED": "0"}


def run_child(*args):
    done = subprocess.run([sys.executable, str(CHILD), *map(str, args)],
                          capture_output=True, text=True, timeout=600,
                          env=CHILD_ENV)
    return done.returncode, done.stdout, done.stderr


def child_json(*args):
    code, out, err = run_child(*args)
    assert code == 0, f"child {args} ended with {code}:\n{err[-3000:]}"
    return json.loads(out.splitlines()[-1])


@pytest.mark.parametrize("group", GROUPS)
def test_every_allocation_of_every_call_may_fail(group):
    report = child_json("calls", group)
    assert len(report) >= 8
    findings = {r["scenario"]: r["findings"] for r in report if r["findings"]}
    assert findings == {}
    # Every scenario was swept up to a point where it ran untouched.
    assert all(r["points"] >= 2 for r in report), report


# --- first imports ------------------------------------------------------------

def import_point(n):
    """Rows of every module's first import at `n`, and the crashes: when a
    child dies, the imports after the one it died in run in another."""
    rows = []
    crashes = []
    names = MODULES
    while names:
        code, out, err = run_child("import", n, *names)
        if code == 0:
            rows += json.loads(out.splitlines()[-1])
            break
        started = [line.split()[1] for line in err.splitlines()
                   if line.startswith("importing ")]
        crashed = started[-1] if started else names[0]
        crashes.append((crashed, code, tuple(names), err))
        names = names[names.index(crashed) + 1:]
    return rows, crashes


class ImportSweep:
    """Outcomes of the first import of every module with allocation n + 1
    failing, for n = 0, 1, ... until each import runs untouched. One child
    per n: the module state lives as long as the process."""

    batch = 8

    def __init__(self):
        self.rows = {name: {} for name in MODULES}
        self.crashes = []
        self.last = {name: None for name in MODULES}
        start = 0
        with concurrent.futures.ThreadPoolExecutor(2) as pool:
            while any(last is None for last in self.last.values()):
                points = range(start, start + self.batch)
                for n, (rows, crashes) in zip(points,
                                              pool.map(import_point, points)):
                    self.crashes += [(n, *crash) for crash in crashes]
                    for row in rows:
                        name = row["module"]
                        self.rows[name][n] = row
                        if row["untouched"] and self.last[name] is None:
                            self.last[name] = n
                start += self.batch
                assert start < 5000, "an import never ran untouched"


@pytest.fixture(scope="module")
def sweep():
    return ImportSweep()


@pytest.fixture(scope="module")
def setdefault_defect():
    return child_json("setdefault-bug")


@pytest.mark.parametrize("name", MODULES)
def test_every_allocation_of_a_first_import_may_fail(sweep, name):
    rows = sweep.rows[name]
    problems = {n: r["problem"] for n, r in rows.items() if r["problem"]}
    assert problems == {}
    outcomes = {r["outcome"] for r in rows.values()}
    assert outcomes == {"MemoryError", "ok"}
    # Failures inside the exec statements carry the init entry.
    assert any(r["entries"] == [[f"init {name}", 1]] for r in rows.values())


def crash_stack(n, names, err):
    """The C stack of the crash of the child for `n`: from the report of
    AddressSanitizer (under `make sanitize`), or else read with gdb."""
    if "AddressSanitizer: SEGV" in err:
        return [line.strip() for line in err.splitlines()
                if line.strip().startswith("#")]
    gdb = shutil.which("gdb")
    done = subprocess.run(
        [gdb, "-q", "-nx", "-batch", "-ex", "unset environment LINES",
         "-ex", "unset environment COLUMNS", "-ex", "run", "-ex", "bt",
         "--args", sys.executable, str(CHILD), "import", str(n), *names],
        capture_output=True, text=True, timeout=300, env=CHILD_ENV)
    return [line for line in done.stdout.splitlines()
            if line.startswith("#")]


def interpreter_crash(stack):
    """Whether a crash is where the interpreter's own defect leads: inside
    the filling of a new type's dict, or later, when the cyclic collector
    walks a dict that a failed resize left claiming entries it does not
    have."""
    top = stack[:4]
    if not stack or any("korvex" in line for line in stack[:8]):
        return False
    in_type_ready = (any("dictresize" in line for line in top)
                     and any("type_ready" in line for line in stack))
    in_collector = (any("dict_traverse" in line for line in top)
                    and any("visit_decref" in line for line in top))
    return in_type_ready or in_collector


def test_no_first_import_crashes(sweep, setdefault_defect):
    """A crash is allowed only where the interpreter itself corrupts
    memory: CPython 3.13.0's dict setdefault ignores a failed resize, and
    type creation (PyType_FromSpec, which every module runs once to make
    its function type) fills the new type's dict with it; a later insertion
    into that dict, or the collector walking it, then crashes."""
    unexplained = []
    unread = []
    for n, name, code, names, err in sweep.crashes:
        asan = "AddressSanitizer: SEGV" in err
        signalled = code == -signal.SIGSEGV or asan
        if setdefault_defect and signalled and not asan and \
                shutil.which("gdb") is None:
            unread.append(name)
        elif not (setdefault_defect and signalled and interpreter_crash(
                crash_stack(n, names, err))):
            unexplained.append((n, name, code, err[-2000:]))
    assert unexplained == []
    if unread:
        modules = ", ".join(sorted(set(unread)))
        pytest.skip(f"gdb is not on PATH: the C stacks of {len(unread)} "
                    f"segmentation faults in first imports ({modules}) "
                    "cannot be read to tell whether the interpreter's own "
                    "defect caused them")


def test_the_interpreter_defect_check_can_tell():
    """The check above asks the interpreter whether it has the defect; on
    3.13.0 it does."""
    if sys.version_info[:3] == (3, 13, 0):
        assert child_json("setdefault-bug") is True
