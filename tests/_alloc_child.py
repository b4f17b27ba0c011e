"""Child side of the allocation-failure sweeps (run by test_alloc_failure.py
in a fresh interpreter, so that a crash is a finding and not the end of the
test run). It prints one JSON document on stdout.

    python _alloc_child.py calls GROUP      sweep the calls of one group
    python _alloc_child.py import N [MODULE...]
                                           first imports, window at N
    python _alloc_child.py setdefault-bug  does dict.setdefault ignore a
                                           failed resize here?

A window is `_testcapi.set_nomemory(n, n + 1)`: exactly the allocation
n + 1 after it fails. The hooks are removed in a `finally` before anything
is looked at. A sweep tries n = 0, 1, 2, ... until the window falls after
the call: a probe allocation made right after the call then fails instead.
"""

import _imp
import gc
import importlib.util
import io
import json
import sys
import types

import _testcapi

KORVEX_FILE = "src\\\\korvex"
MAX_POINTS = 5000
NEVER = 1 << 30
# With PYTHONMALLOC=malloc (the sanitizer and valgrind runs) there are no
# blocks to count.
COUNT_BLOCKS = sys.getallocatedblocks() > 0


def korvex_entries(exc):
    """(name, line) of every korvex traceback entry of `exc`."""
    found = []
    tb = exc.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_filename.startswith(KORVEX_FILE):
            found.append((code.co_name, tb.tb_lineno))
        tb = tb.tb_next
    return found


def attempt(n, function, args, kwargs):
    """Calls function(*args, **kwargs) with allocation n + 1 failing.
    Returns (result, exception, untouched): untouched tells that the
    window fell after the call."""
    # The frame object of this frame is made now: the interpreter makes
    # it on demand when a callee's frame outlives its call, and a failure
    # there loses the pending exception (an interpreter defect, not one
    # of the code under test).
    sys._getframe()
    result = exc = None
    untouched = False
    gc.collect()
    gc.disable()
    _testcapi.set_nomemory(n, n + 1)
    try:
        try:
            result = function(*args, **kwargs)
        except BaseException as e:
            exc = e
        probe = bytearray(64)
        del probe
    except MemoryError:
        untouched = True
    finally:
        _testcapi.remove_mem_hooks()
        gc.enable()
    return result, exc, untouched


# --- the calls ------------------------------------------------------------

def describe(value):
    return f"{type(value).__name__}: {value!r}"[:300]


class Scenario:
    """One call: `make()` returns (function, args, kwargs), fresh for every
    attempt where the call consumes something (standard input); `check`
    judges the successful result; `error` is (type, message, entry name,
    entry line) for a call that must fail."""

    def __init__(self, name, make, *, result=None, check=None, error=None,
                 stdin=None, stdout=None, after=None):
        self.name = name
        self.make = make
        self.result = result
        self.check = check
        self.error = error
        self.stdin = stdin
        self.stdout = stdout
        self.after = after

    def prepare(self):
        if self.stdin is not None:
            sys.stdin = io.StringIO(self.stdin)
        if self.stdout is not None:
            sys.stdout = io.StringIO()
        return self.make()

    def judge(self, result, exc):
        """What is wrong with an outcome that is not a MemoryError, or
        None."""
        if self.error is None:
            if exc is not None:
                return f"raised {describe(exc)}"
            if self.check is not None:
                return self.check(result)
            if type(result) is not type(self.result) or result != self.result:
                return f"returned {describe(result)}"
            return self.output_problem()
        kind, message, name, line = self.error
        if exc is None:
            return f"returned {describe(result)} instead of raising"
        if type(exc) is not kind or str(exc) != message:
            return f"raised {describe(exc)}"
        expected = [(name, line)] if name is not None else []
        if korvex_entries(exc) != expected:
            return f"entries {korvex_entries(exc)}, expected {expected}"
        return None

    def output_problem(self):
        if self.stdout is not None:
            written = sys.stdout.getvalue()
            if written != self.stdout:
                return f"wrote {written!r}"
        if self.after is not None:
            return self.after()
        return None


def snapshot(args, kwargs):
    """What must not change: the arguments' reprs and the reference counts
    of the arguments and of the items of those that are lists or tuples
    (one extra reference each is held by the lists built here)."""
    objects = list(args) + list(kwargs.values())
    items = [i for o in objects if type(o) in (list, tuple) for i in o]
    return ([repr(o) for o in objects],
            [sys.getrefcount(o) for o in objects + items])


def leaked_blocks(n, scenario):
    """Blocks left allocated by one more attempt at `n`, after another one
    at the same `n` (whatever a failure there fills once, a free list or a
    cache, is full by then)."""
    counts = [0, 0, 0]
    for i in range(3):
        function, args, kwargs = scenario.prepare()
        outcome = attempt(n, function, args, kwargs)
        del outcome, function, args, kwargs
        gc.collect()
        counts[i] = sys.getallocatedblocks()
    # counts[1] itself is one block that the last count includes.
    return counts[2] - counts[1] - 1


def run_scenario(scenario, report):
    """Sweeps one scenario twice: the first pass warms every cache a
    failure can fill (traceback code objects, free lists), the second one
    measures blocks per attempt."""
    real_stdin, real_stdout = sys.stdin, sys.stdout
    findings = []
    points = 0
    try:
        for measured in (False, True):
            n = 0
            while True:
                if n >= MAX_POINTS:
                    findings.append("the call never completed untouched")
                    break
                function, args, kwargs = scenario.prepare()
                before = snapshot(args, kwargs)
                function_refs = sys.getrefcount(function)
                result, exc, untouched = attempt(n, function, args, kwargs)
                memory = type(exc) is MemoryError
                if memory:
                    if len(korvex_entries(exc)) > 1:
                        problem = f"MemoryError with {korvex_entries(exc)}"
                    else:
                        problem = None
                else:
                    problem = scenario.judge(result, exc)
                # The exception's traceback holds the attempt's frame, and
                # that frame the exception: a cycle for the collector.
                del result, exc
                gc.collect()
                if problem is None and snapshot(args, kwargs) != before:
                    problem = "arguments changed or references leaked"
                if problem is None and sys.getrefcount(function) != function_refs:
                    problem = "function reference leaked"
                if problem is None and measured and COUNT_BLOCKS:
                    # The attempt that ends the sweep is measured without
                    # any failure: its probe failing muddles the count.
                    grown = leaked_blocks(NEVER if untouched else n, scenario)
                    if grown:
                        problem = f"{grown} blocks leaked"
                if problem is None and memory:
                    # A retry, with every allocation working, succeeds.
                    function, args, kwargs = scenario.prepare()
                    try:
                        retried = function(*args, **kwargs)
                    except BaseException as e:
                        problem = scenario.judge(None, e)
                        if problem:
                            problem = "retry " + problem
                    else:
                        problem = scenario.judge(retried, None)
                        if problem:
                            problem = "retry " + problem
                        del retried
                if problem is not None:
                    findings.append(f"n={n}: {problem}")
                if measured:
                    points += 1
                n += 1
                if untouched:
                    break
    finally:
        sys.stdin, sys.stdout = real_stdin, real_stdout
    report.append({"scenario": scenario.name, "points": points,
                   "findings": findings[:20]})


def call_groups():
    from korvex.dict import write as write_module
    from korvex.dict.write import write_klist, write_vlist
    from korvex.list.ambrel import ambrel
    from korvex.list.count import elemcount
    from korvex.list.read import read, read_split
    from korvex.list.strutils.sundle import multi_str_sundle, str_sundle

    def fixed(function, *args, **kwargs):
        return lambda: (function, args, kwargs)

    def classic(function, *args, **kwargs):
        """The call through tp_call: `type(f).__call__(f, *args, **kw)`."""
        return lambda: (type(function).__call__, (function, *args), kwargs)

    class Tagged(list):
        pass

    class Pairs:
        def __init__(self, items):
            self._items = items

        def items(self):
            return self._items

    class Triples(dict):
        def items(self):
            return [(1, 2, 3)]

    class Callable:
        def __call__(self, *args, **kwargs):
            return (args, kwargs)

    def spread(x, *args, **kwargs):
        return (x, args, kwargs)

    def inverse(x):
        return 1 / x

    scalar = [3, 1, 3, 2, 1.5, None, "a", "a"]
    nested = [(1,), (2,), (1,), frozenset()]
    tagged = Tagged([1, 2, 1])

    te = TypeError
    count = "korvex.list.count.elemcount"
    elemcount_calls = [
        Scenario("scalars", fixed(elemcount, scalar),
                 result={3: 2, 1: 1, 2: 1, 1.5: 1, None: 1, "a": 2}),
        Scenario("latin-1 str", fixed(elemcount, "abcab"),
                 result={"a": 2, "b": 2, "c": 1}),
        Scenario("wide str", fixed(elemcount, "\u20ac\xe9\u20ac"),
                 result={"\u20ac": 2, "\xe9": 1}),
        Scenario("bytes", fixed(elemcount, b"xyx"), result={120: 2, 121: 1}),
        Scenario("general walk", fixed(elemcount, nested),
                 result={(1,): 2, (2,): 1, frozenset(): 1}),
        Scenario("list subclass", fixed(elemcount, tagged),
                 result={1: 2, 2: 1}),
        Scenario("classic call", classic(elemcount, ls=[1, 2, 1]),
                 result={1: 2, 2: 1}),
        Scenario("not iterable", fixed(elemcount, 5),
                 error=(te, "'int' object is not iterable", count, 3)),
        Scenario("unhashable", fixed(elemcount, [[1], [1]]),
                 error=(te, "unhashable type: 'list'", count, 6)),
        Scenario("no count", lambda: (elemcount, (iter([1, 2]),), {}),
                 error=(AttributeError,
                        "'list_iterator' object has no attribute 'count'",
                        count, 6)),
        Scenario("no argument", fixed(elemcount),
                 error=(te, "elemcount() takes exactly 1 positional "
                        "argument (0 given)", count, 1)),
        Scenario("stranger", fixed(elemcount, [1], x=2),
                 error=(te, "elemcount() got an unexpected keyword "
                        "argument 'x'", count, 1)),
        Scenario("classic twice", classic(elemcount, [1], ls=1),
                 error=(te, "elemcount() got multiple values for keyword "
                        "argument 'ls'", count, 1)),
        Scenario("classic non-str name",
                 lambda: (type(elemcount).__call__, (elemcount, [1]), {1: 2}),
                 error=(te, "keywords must be strings", None, None)),
    ]

    rd = "korvex.list.read.read"
    rs = "korvex.list.read.read_split"
    read_lambda = read.__defaults__[1]
    split_lambda = read_split.__defaults__[2]
    read_calls = [
        Scenario("lines", fixed(read, 2), stdin="a\nb\n", result=["a", "b"]),
        Scenario("prompt and int", fixed(read, 2, "> ", int),
                 stdin="1\n2\n", stdout="> > ", result=[1, 2]),
        Scenario("nothing", fixed(read, 0), stdin="", result=[]),
        Scenario("end of input", fixed(read, 3), stdin="a\nb\n",
                 error=(EOFError, "EOF when reading a line", rd, 2)),
        Scenario("bad count", fixed(read, "x"), stdin="",
                 error=(te, "'str' object cannot be interpreted as an "
                        "integer", rd, 2)),
        Scenario("func not callable", fixed(read, 1, func=None), stdin="a\n",
                 error=(te, "'NoneType' object is not callable", rd, 2)),
        Scenario("no argument", fixed(read), stdin="",
                 error=(te, "read() takes at least 1 positional argument "
                        "(0 given)", rd, 1)),
        Scenario("split", fixed(read_split), stdin="1 2  3\n",
                 result=["1", "2", "", "3"]),
        Scenario("split by keyword", fixed(read_split, "? ", spl=",",
                                           func=int),
                 stdin="4,5\n", stdout="? ", result=[4, 5]),
        Scenario("empty separator", fixed(read_split, spl=""), stdin="a\n",
                 error=(ValueError, "empty separator", rs, 4)),
        Scenario("split too many", fixed(read_split, 1, 2, 3, 4), stdin="",
                 error=(te, "read_split() takes at most 3 positional "
                        "arguments (4 given)", rs, 3)),
        Scenario("lambda", fixed(read_lambda, "x"), result="x"),
        Scenario("lambda1 by keyword", fixed(split_lambda, s="y"),
                 result="y"),
        Scenario("lambda1 too many", fixed(split_lambda, 1, 2),
                 error=(te, "lambda1() takes exactly 1 positional argument "
                        "(2 given)", "korvex.list.read.lambda1", 3)),
    ]

    am = "korvex.list.ambrel.ambrel"
    big = 10 ** 20
    ambrel_calls = [
        Scenario("builtin", fixed(ambrel, [1, 2, 3], pow, 2),
                 result=[1, 4, 9]),
        Scenario("keywords", fixed(ambrel, ["a,b", "c"], str.split, sep=","),
                 result=[["a", "b"], ["c"]]),
        Scenario("python function", fixed(ambrel, (1, big), spread, 0, k=1),
                 result=[(1, (0,), {"k": 1}), (big, (0,), {"k": 1})]),
        Scenario("classic callable", fixed(ambrel, "ab", Callable(), 0, k=1),
                 result=[(("a", 0), {"k": 1}), (("b", 0), {"k": 1})]),
        Scenario("many extras", fixed(ambrel, [1], spread, *range(9),
                                      **{f"k{i}": i for i in range(3)}),
                 result=[(1, tuple(range(9)),
                          {f"k{i}": i for i in range(3)})]),
        Scenario("classic call", classic(ambrel, func=str, ls=[1]),
                 result=["1"]),
        Scenario("not iterable", fixed(ambrel, 5, str),
                 error=(te, "'int' object is not iterable", am, 2)),
        Scenario("raises", fixed(ambrel, [10 ** 20, 0], inverse),
                 error=(ZeroDivisionError, "division by zero", am, 2)),
        Scenario("missing func", fixed(ambrel, ls=[1]),
                 error=(te, "ambrel() takes at least 2 positional arguments "
                        "(1 given)", am, 1)),
        Scenario("twice", fixed(ambrel, [1], str, func=repr),
                 error=(te, "ambrel() got multiple values for keyword "
                        "argument 'func'", am, 1)),
    ]

    ms = "korvex.list.strutils.sundle.multi_str_sundle"
    ss = "korvex.list.strutils.sundle.str_sundle"
    sundle_calls = [
        Scenario("pieces", fixed(multi_str_sundle, ",", "a,b", "c", "d,,e"),
                 result=["a", "b", "c", "d", "", "e"]),
        Scenario("whitespace", fixed(multi_str_sundle, None, " x  y ", "z"),
                 result=["x", "y", "z"]),
        Scenario("sep by keyword", fixed(multi_str_sundle, sep=","),
                 result=[]),
        Scenario("str_sundle", fixed(str_sundle, s=1, sep=2), result=None),
        Scenario("no split", fixed(multi_str_sundle, ",", "a", 5),
                 error=(AttributeError, "'int' object has no attribute "
                        "'split'", ms, 6)),
        Scenario("empty separator", fixed(multi_str_sundle, "", "a"),
                 error=(ValueError, "empty separator", ms, 6)),
        Scenario("no argument", fixed(multi_str_sundle),
                 error=(te, "multi_str_sundle() takes at least 1 positional "
                        "argument (0 given)", ms, 3)),
        Scenario("str_sundle one", fixed(str_sundle, ","),
                 error=(te, "str_sundle() takes exactly 2 positional "
                        "arguments (1 given)", ss, 1)),
        Scenario("classic non-str name",
                 classic(multi_str_sundle, ",", **{"sep": 1, "x": 2}),
                 error=(te, "multi_str_sundle() got multiple values for "
                        "keyword argument 'sep'", ms, 3)),
    ]

    written = []

    def recording_writer(ls, sep, end):
        written[:] = [(ls, sep, end)]

    recorder = types.SimpleNamespace(
        write=types.SimpleNamespace(write=recording_writer))

    def wrote(expected):
        def check():
            if written != [expected]:
                return f"writer got {written!r}"
            return None
        return check

    def with_recorder(function, *args, **kwargs):
        def make():
            written.clear()
            write_module.list = recorder
            return function, args, kwargs
        return make

    wk = "korvex.dict.write.write_klist"
    wv = "korvex.dict.write.write_vlist"
    d = {"a": 1, "b": 2}
    write_calls = [
        Scenario("keys", with_recorder(write_klist, d), result=None,
                 after=wrote((["a", "b"], " ", "\n"))),
        Scenario("values of pairs",
                 with_recorder(write_vlist, Pairs(["ab", ("c", 1)]), "-", ""),
                 result=None, after=wrote((["b", 1], "-", ""))),
        Scenario("shipped writer", fixed(write_klist, d, sep=","),
                 stdout="a,b\n", result=None),
        Scenario("none", with_recorder(write_klist, None),
                 error=(AttributeError, "'NoneType' object has no attribute "
                        "'items'", wk, 3)),
        Scenario("no items", with_recorder(write_klist, [("a", 1)]),
                 error=(AttributeError, "'list' object has no attribute "
                        "'items'", wk, 3)),
        Scenario("triples", with_recorder(write_vlist, Triples()),
                 error=(ValueError, "too many values to unpack (expected 2)",
                        wv, 5)),
        Scenario("too few pairs", with_recorder(write_vlist, Pairs([(1,)])),
                 error=(ValueError, "need more than 1 value to unpack",
                        wv, 5)),
        Scenario("no argument", with_recorder(write_klist),
                 error=(te, "write_klist() takes at least 1 positional "
                        "argument (0 given)", wk, 2)),
    ]

    def shipped_writer_back():
        import list as package
        write_module.list = package

    return {
        "elemcount": (elemcount_calls, None),
        "read": (read_calls, None),
        "ambrel": (ambrel_calls, None),
        "sundle": (sundle_calls, None),
        "write": (write_calls, shipped_writer_back),
    }


def run_calls(group):
    scenarios, reset = call_groups()[group]
    report = []
    for scenario in scenarios:
        if reset is not None:
            reset()
        # Warm-up outside any window: method caches, interned names and
        # the traceback entries of the regular outcome.
        for _ in range(3):
            function, args, kwargs = scenario.prepare()
            try:
                function(*args, **kwargs)
            except Exception:
                pass
        sys.stdin, sys.stdout = sys.__stdin__, sys.__stdout__
        if reset is not None:
            reset()
        run_scenario(scenario, report)
    return report


# --- first imports --------------------------------------------------------

MODULES = {
    "korvex.list.count": lambda m: m.elemcount([1, 1]) == {1: 2},
    "korvex.list.read": lambda m: m.read(0) == [],
    "korvex.list.ambrel": lambda m: m.ambrel([1], str) == ["1"],
    "korvex.list.strutils.sundle":
        lambda m: m.multi_str_sundle(",", "a,b") == ["a", "b"],
    "korvex.dict.write": lambda m: m.write_klist.__defaults__ == (" ", "\n"),
}


# The lines of each module's exec statements: the first line, the def
# lines and the import lines.
INIT_LINES = {
    "korvex.list.count": (1,),
    "korvex.list.read": (1, 3),
    "korvex.list.ambrel": (1,),
    "korvex.list.strutils.sundle": (1, 3),
    "korvex.dict.write": (1, 2, 4),
}


def load(found):
    """What the import system does with an extension module once it is
    found: create, enter into sys.modules, exec (and take it out again when
    exec fails). Only native calls run below this frame."""
    sys._getframe()
    module = _imp.create_dynamic(found)
    sys.modules[found.name] = module
    try:
        _imp.exec_dynamic(module)
    except BaseException:
        sys.modules.pop(found.name, None)
        raise
    return sys.modules[found.name]


def run_import(n, names):
    import list.write  # noqa: F401  (the writer is found before the window)
    report = []
    for name in names:
        works = MODULES[name]
        # Tells the parent which import a crash ended.
        sys.stderr.write(f"importing {name}\n")
        sys.stderr.flush()
        found = importlib.util.find_spec(name)
        module, exc, untouched = attempt(n, load, (found,), {})
        row = {"module": name, "untouched": untouched, "outcome": "ok",
               "entries": [], "problem": None}
        if exc is not None:
            row["outcome"] = type(exc).__name__
            row["entries"] = korvex_entries(exc)
            if type(exc) is not MemoryError:
                row["problem"] = f"raised {describe(exc)}"
            elif row["entries"] not in ([], *([(f"init {name}", line)]
                                              for line in INIT_LINES[name])):
                row["problem"] = f"entries {row['entries']}"
            elif name in sys.modules:
                row["problem"] = "a failed import stayed in sys.modules"
        del exc
        if module is None:
            # A failed exec leaves a later import working.
            try:
                module = load(found)
            except BaseException as e:
                row["problem"] = row["problem"] or f"retry raised {describe(e)}"
        if module is not None and row["problem"] is None:
            try:
                if not works(module):
                    row["problem"] = "the module does not work"
            except BaseException as e:
                row["problem"] = f"the module raised {describe(e)}"
        if name == "korvex.list.read" and module is not None:
            # The defaults builders run once per function object.
            row["problem"] = row["problem"] or defaults_problem(n, module)
        report.append(row)
    return report


def defaults_problem(n, module):
    for function, expected in ((module.read, 2), (module.read_split, 3)):
        value, exc, _ = attempt(n, getattr, (function, "__defaults__"), {})
        if exc is not None:
            entries = korvex_entries(exc)
            if type(exc) is not MemoryError or entries not in (
                    [], [("korvex.list.read.__defaults__",
                          function.__code__.co_firstlineno)]):
                return f"__defaults__ raised {describe(exc)} {entries}"
            value = function.__defaults__
        if len(value) != expected or value is not function.__defaults__:
            return f"__defaults__ read {value!r}"
    return None


# --- the interpreter's own defect -----------------------------------------

def setdefault_bug():
    """True when a failing resize inside dict.setdefault goes unreported
    (the call returns with the MemoryError still set, or the dict claims an
    item it does not hold), as in CPython 3.13.0: type creation fills a new
    type's dict the same way, and a later insertion then crashes."""
    for n in range(64):
        d = {f"key{i}": i for i in range(5)}
        sys._getframe()
        gc.collect()
        gc.disable()
        _testcapi.set_nomemory(n, n + 1)
        try:
            try:
                d.setdefault("new", 1)
                outcome = "ok"
            except MemoryError:
                outcome = "memory"
        except BaseException:
            outcome = "other"
        finally:
            _testcapi.remove_mem_hooks()
            gc.enable()
        if outcome == "other" or len(d) != len(list(d)):
            return True
    return False


def main():
    mode = sys.argv[1]
    if mode == "calls":
        out = run_calls(sys.argv[2])
    elif mode == "import":
        out = run_import(int(sys.argv[2]), sys.argv[3:] or list(MODULES))
    else:
        out = setdefault_bug()
    sys.__stdout__.write(json.dumps(out) + "\n")


if __name__ == "__main__":
    main()
