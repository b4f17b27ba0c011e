"""korvex against its peers, case by case, with pyperf.

    python bench/bench.py                 # pyperf's default: 20 worker processes
    python bench/bench.py --fast          # a few minutes on two cores
    python bench/bench.py --fast -o results.json --chart ratios.png
    python bench/bench.py --cases elemcount --fast
    python bench/bench.py --report results.json --chart ratios.png
    python bench/bench.py --check         # every operation once, results compared

The call cases compare korvex with `floor.floor`, a benchmark-only callable
of its own small extension module (bench/floor.c), which this script builds
with meson into build/bench before it measures. Instruction counts of the
same calls under callgrind: bench/instructions.py, which this script also
runs (valgrind permitting) for the goals that are set in instructions.

Every operation of a case (korvex's and each peer's) is its own pyperf
benchmark, run one after the other in the same invocation; the table at the
end divides korvex's median time by each peer's (lower is better) and checks
the goals. `-o FILE` is pyperf's option: it stores every value of every
benchmark as JSON, and `--report FILE` prints the table (and draws the chart)
again from such a file without measuring anything.

The input data is built lazily in each worker process, from a fixed seed, and
only for the benchmark that worker runs.
"""

import array
import collections
import functools
import itertools
import json
import os
import pathlib
import random
import re
import shutil
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import textwrap
import time
import types

import pyperf

ROOT = pathlib.Path(__file__).resolve().parent.parent
FLOOR_BUILD = ROOT / "build" / "bench"
# The tests' models of elemcount and ambrel are the Python equivalents here;
# the floor module is imported from its build directory.
sys.path[:0] = [str(ROOT / "tests"), str(FLOOR_BUILD)]

from _models import ambrel as ambrel_py, elemcount as elemcount_py  # noqa: E402

SEED = 20240607
KORVEX = "korvex"


def build_floor():
    """Builds bench/floor.c into FLOOR_BUILD with the meson of this
    interpreter's environment (the `bench` extra); ninja recompiles only
    what changed."""
    scripts = sysconfig.get_path("scripts")
    # meson looks for ninja on PATH: the venv's own, when it has one.
    env = dict(os.environ, PATH=os.pathsep.join(
        [scripts, os.environ.get("PATH", os.defpath)]))
    meson = os.path.join(scripts, "meson")
    quiet = {"check": True, "env": env, "stdout": subprocess.DEVNULL}
    if not (FLOOR_BUILD / "build.ninja").exists():
        subprocess.run([meson, "setup", FLOOR_BUILD, ROOT / "bench"], **quiet)
    subprocess.run([meson, "compile", "-C", FLOOR_BUILD], **quiet)


# --- the Python equivalents (elemcount's and ambrel's come from _models) -----

def multi_str_sundle_py(sep, *args):
    ls = []
    for a in args:
        ls[len(ls):] = a.split(sep)
    return ls


def read_py(n, s="", func=lambda s: s):
    return [func(input(s)) for i in range(n)]


def read_split_py(s="", spl=" ", func=lambda s: s):
    return [func(i) for i in input(s).split(spl)]


def f(x):
    return x


def g(x, a, k):
    return x


# --- input data, built on first use in each process --------------------------

@functools.cache
def ints(n, distinct, shuffled=False):
    rng = random.Random(SEED)
    if shuffled:
        ls = list(range(n))
        rng.shuffle(ls)
        return ls
    return [rng.randrange(distinct) for _ in range(n)]


@functools.cache
def words(n, distinct):
    # Equal strings are distinct objects, as strings read from a file are.
    rng = random.Random(SEED)
    return [f"w{rng.randrange(distinct):04d}" for _ in range(n)]


@functools.cache
def text(n, alphabet):
    rng = random.Random(SEED)
    return "".join(rng.choices(alphabet, k=n))


@functools.cache
def joined_strings(n, pieces, sep):
    rng = random.Random(SEED)
    return [sep.join(str(rng.randrange(1000)) for _ in range(pieces))
            for _ in range(n)]


@functools.cache
def random_bytes(n):
    return bytearray(random.Random(SEED).randbytes(n))


def distinct_ints(container):
    """20,000 distinct ints, shuffled, in `container`."""
    return container(ints(20_000, 20_000, shuffled=True))


@functools.cache
def big_dict(n):
    return {f"key{i}": i for i in range(n)}


class FileInput:
    """`sys.stdin` (and a null `sys.stdout`, which `input` flushes) swapped
    in while the operations run: a file written once per process and
    re-read from its start before every operation. The file descriptor is
    not 0 and not a terminal, so the builtin `input` reads it with its
    non-interactive path, for korvex and for the Python equivalent alike."""

    def __init__(self, data):
        fd, self.path = tempfile.mkstemp(prefix="korvex-bench-", suffix=".txt")
        with os.fdopen(fd, "w", encoding="utf-8") as out:
            out.write(data)
        self.stream = open(self.path, encoding="utf-8")
        self.null = open(os.devnull, "w", encoding="utf-8")
        assert not self.stream.isatty() and self.stream.fileno() != 0
        self.saved = None

    def rewind(self):
        self.stream.seek(0)

    def __enter__(self):
        self.saved = sys.stdin, sys.stdout
        sys.stdin, sys.stdout = self.stream, self.null
        return self

    def __exit__(self, *exc):
        sys.stdin, sys.stdout = self.saved


@functools.cache
def file_input(kind):
    rng = random.Random(SEED)
    if kind == "lines":
        data = "".join(f"{rng.randrange(10**6)}\n" for _ in range(200_000))
    else:
        data = " ".join(str(rng.randrange(10**6))
                        for _ in range(1_000_000)) + "\n"
    feed = FileInput(data)
    import atexit
    atexit.register(os.unlink, feed.path)
    return feed


# --- cases ------------------------------------------------------------------

class Op:
    """One timed operation. `make()` returns a callable of no arguments
    (built in the worker, data included); `feed()` returns a FileInput the
    operation reads through, rewound untimed before each call. `stmt` and
    `setup` instead make it a timeit benchmark, for sub-microsecond work:
    the statement is repeated `UNROLL` times per loop iteration so that the
    loop itself weighs little. `probe`: the operation may take seconds (a
    quadratic walk); it is timed once first and, if slow, measured with
    one value (see `measure`)."""

    def __init__(self, key, label, make=None, feed=None, stmt=None,
                 setup=None, same=None, probe=False):
        self.key = key
        self.label = label
        self.make = make
        self.feed = feed
        self.stmt = stmt
        self.setup = setup
        # For `--check`: same(korvex_result, this_result) -> bool.
        self.same = same
        # For `--check`, when the timed operation's result says nothing.
        self.check_make = make
        self.probe = probe


class Case:
    def __init__(self, key, label, korvex, peers):
        self.key = key
        self.label = label
        self.korvex = korvex
        self.peers = peers

    def ops(self):
        return [self.korvex, *self.peers]

    def bench_name(self, op):
        return f"{self.key}/{op.key}"


class Goal:
    """korvex's ratio over a peer's in a case, at most `limit`: in time, or,
    where `counted` names the two callables of bench/instructions.py, in
    instructions per call."""
    def __init__(self, case, peer, limit, text, counted=None):
        self.case = case
        self.peer = peer
        self.limit = limit
        self.text = text
        self.counted = counted


UNROLL = 10

CALL_SETUP = """\
from korvex.list.strutils.sundle import str_sundle
from floor import floor
from operator import is_
def py(sep, s):
    pass"""


def call_op(key, label, call):
    return Op(key, label, stmt="; ".join([call] * UNROLL), setup=CALL_SETUP)


def equal(a, b):
    return a == b


def same_dict(a, b):
    # Counter or dict: the same items, and the same keys in the same order.
    return list(a.items()) == list(dict(b).items())


def korvex_fn(module, name):
    return getattr(__import__(module, fromlist=[name]), name)


def elemcount_op(data, probe=False):
    def make():
        elemcount = korvex_fn("korvex.list.count", "elemcount")
        ls = data()
        return lambda: elemcount(ls)
    return Op(KORVEX, "elemcount(ls)", make, probe=probe)


def counter_op(data):
    def make():
        ls = data()
        return lambda: collections.Counter(ls)
    return Op("Counter", "collections.Counter(ls)", make, same=same_dict)


def elemcount_py_op(data):
    def make():
        ls = data()
        return lambda: elemcount_py(ls)
    return Op("python", "Python equivalent", make, same=same_dict)


def elemcount_case(key, label, data, python=False, probe=False):
    peers = [counter_op(data)]
    if python:
        peers.append(elemcount_py_op(data))
    return Case(key, label, elemcount_op(data, probe), peers)


def simple_op(key, label, build, same=equal):
    """An operation `build()` returns, made in the worker."""
    return Op(key, label, build, same=same)


def write_case(key, label, name, floor_label, floor, comp_label, comp):
    def korvex_make(capture=False):
        module = __import__("korvex.dict.write", fromlist=[name])
        fn = getattr(module, name)
        d = big_dict(1_000_000)
        if capture:
            # For --check: the list the writer is handed is the result.
            written = []
            module.list = types.SimpleNamespace(write=types.SimpleNamespace(
                write=lambda ls, sep, end: written.append(ls)))
            return lambda: (fn(d), written.pop())[1]
        # A writer that does nothing: only the gathering is measured.
        module.list = types.SimpleNamespace(write=types.SimpleNamespace(
            write=lambda ls, sep, end: None))
        return lambda: fn(d)

    def peer(build):
        def make():
            d = big_dict(1_000_000)
            return lambda: build(d)
        return make

    korvex = Op(KORVEX, f"{name}(d)", korvex_make)
    korvex.check_make = functools.partial(korvex_make, capture=True)
    return Case(key, label, korvex, [
        Op("floor", floor_label, peer(floor), same=equal),
        Op("comprehension", comp_label, peer(comp), same=equal),
    ])


def read_case():
    def korvex_make():
        read = korvex_fn("korvex.list.read", "read")
        return lambda: read(200_000, func=int)

    def py_make():
        return lambda: read_py(200_000, func=int)

    # The cheaper peers. read must pass its prompt `s` to `input`, even
    # the default "", and `input` writes any prompt it is given to stdout
    # (one `write` call per line) where `input()` writes nothing; a plain
    # `readline` also skips `input`'s flushes and terminal checks.
    def input_make():
        return lambda: [int(input()) for _ in range(200_000)]

    def readline_make():
        def run():
            readline = sys.stdin.readline
            return [int(readline()) for _ in range(200_000)]
        return run

    feed = functools.partial(file_input, "lines")
    return Case("read", "read(200000, func=int), 200,000 lines from a file",
                Op(KORVEX, "read(200000, func=int)", korvex_make, feed),
                [Op("python", "[func(input(s)) for i in range(n)]", py_make,
                    feed, same=equal),
                 Op("input", "[int(input()) for _ in range(n)]", input_make,
                    feed, same=equal),
                 Op("readline", "sys.stdin.readline: "
                    "[int(readline()) for _ in range(n)]", readline_make,
                    feed, same=equal)])


def read_split_case():
    def korvex_make():
        read_split = korvex_fn("korvex.list.read", "read_split")
        return lambda: read_split(func=int)

    def py_make():
        return lambda: read_split_py(func=int)

    feed = functools.partial(file_input, "line")
    return Case("read_split",
                "read_split(func=int), one line of 1,000,000 pieces",
                Op(KORVEX, "read_split(func=int)", korvex_make, feed),
                [Op("python", "[func(i) for i in input(s).split(spl)]",
                    py_make, feed, same=equal)])


def ambrel_cases():
    def data():
        return list(range(1_000_000))

    def make(build):
        def inner():
            ambrel = korvex_fn("korvex.list.ambrel", "ambrel")
            ls = data()
            return build(ambrel, ls)
        return inner

    return [
        Case("ambrel_f", "ambrel(ls, f), 1,000,000 ints, def f(x): return x",
             Op(KORVEX, "ambrel(ls, f)",
                make(lambda ambrel, ls: lambda: ambrel(ls, f))),
             [Op("map", "list(map(f, ls))",
                 make(lambda _, ls: lambda: list(map(f, ls))), same=equal),
              Op("python", "ambrel_py(ls, f)",
                 make(lambda _, ls: lambda: ambrel_py(ls, f)), same=equal)]),
        Case("ambrel_g", "ambrel(ls, g, 1, k=2), 1,000,000 ints",
             Op(KORVEX, "ambrel(ls, g, 1, k=2)",
                make(lambda ambrel, ls: lambda: ambrel(ls, g, 1, k=2))),
             [Op("python", "ambrel_py(ls, g, 1, k=2)",
                 make(lambda _, ls: lambda: ambrel_py(ls, g, 1, k=2)),
                 same=equal),
              Op("comprehension", "[g(l, 1, k=2) for l in ls]",
                 make(lambda _, ls: lambda: [g(l, 1, k=2) for l in ls]),
                 same=equal)]),
    ]


def multi_cases():
    def make(sep, build):
        """An operation `build(strs)` returns, on 100,000 strings of 4
        pieces joined with `sep` (a space for None)."""
        def inner():
            return build(joined_strings(100_000, 4, sep or " "))
        return inner

    def korvex(sep):
        def build(strs):
            fn = korvex_fn("korvex.list.strutils.sundle", "multi_str_sundle")
            return lambda: fn(sep, *strs)
        return make(sep, build)

    def python(sep):
        return make(sep, lambda strs: lambda: multi_str_sundle_py(sep, *strs))

    chain = itertools.chain.from_iterable
    return [
        Case("multi_str_sundle",
             'multi_str_sundle(",", *strs), 100,000 strings of 4 pieces',
             Op(KORVEX, 'multi_str_sundle(",", *strs)', korvex(",")),
             [Op("split", '",".join(strs).split(",")',
                 make(",", lambda strs: lambda: ",".join(strs).split(",")),
                 same=equal),
              Op("python", 'multi_str_sundle_py(",", *strs)', python(","),
                 same=equal),
              Op("chain", "list(chain.from_iterable(s.split(...)))",
                 make(",", lambda strs: lambda: list(
                     chain(s.split(",") for s in strs))),
                 same=equal)]),
        Case("multi_str_sundle_none",
             "multi_str_sundle(None, *strs), 100,000 strings of 4 pieces",
             Op(KORVEX, "multi_str_sundle(None, *strs)", korvex(None)),
             [Op("split", '" ".join(strs).split()',
                 make(None, lambda strs: lambda: " ".join(strs).split()),
                 same=equal),
              Op("python", "multi_str_sundle_py(None, *strs)", python(None),
                 same=equal)]),
    ]


ASCII = "abcdefghijklmnopqrstuvwxyz "
CYRILLIC = "".join(map(chr, range(0x430, 0x450))) + " "

CASES = [
    Case("call_positional", "str_sundle(1, 2): call overhead",
         call_op(KORVEX, "str_sundle(1, 2)", "str_sundle(1, 2)"),
         [call_op("floor", "floor(1, 2), bench/floor.c", "floor(1, 2)"),
          call_op("is_", "operator.is_(1, 2)", "is_(1, 2)"),
          call_op("python", "def py(sep, s): pass; py(1, 2)", "py(1, 2)")]),
    Case("call_keywords", "str_sundle(s=1, sep=2): call overhead",
         call_op(KORVEX, "str_sundle(s=1, sep=2)", "str_sundle(s=1, sep=2)"),
         [call_op("python", "py(s=1, sep=2)", "py(s=1, sep=2)")]),
    elemcount_case("elemcount_int_10",
                   "elemcount: 100,000 ints, 10 distinct",
                   functools.partial(ints, 100_000, 10)),
    elemcount_case("elemcount_int_1k",
                   "elemcount: 100,000 ints, 1,000 distinct",
                   functools.partial(ints, 100_000, 1_000)),
    elemcount_case("elemcount_int_100k",
                   "elemcount: 100,000 ints, all distinct (shuffled range)",
                   functools.partial(ints, 100_000, 100_000, True)),
    elemcount_case("elemcount_int_draw",
                   "elemcount: 100,000 ints drawn from 100,000 (~63% distinct)",
                   functools.partial(ints, 100_000, 100_000)),
    elemcount_case("elemcount_tuple_1k",
                   "elemcount: tuple of 100,000 ints, 1,000 distinct",
                   lambda: tuple(ints(100_000, 1_000))),
    elemcount_case("elemcount_str_1k",
                   "elemcount: 100,000 short strings, 1,000 distinct",
                   functools.partial(words, 100_000, 1_000)),
    elemcount_case("elemcount_text",
                   "elemcount: 1,000,000-character ASCII str",
                   functools.partial(text, 1_000_000, ASCII), python=True),
    elemcount_case("elemcount_text_bmp",
                   "elemcount: 1,000,000-character Cyrillic str",
                   functools.partial(text, 1_000_000, CYRILLIC)),
    elemcount_case("elemcount_int_10k",
                   "elemcount: 10,000 ints, 1,000 distinct",
                   functools.partial(ints, 10_000, 1_000), python=True),
    # The general walk (containment, then `count`) is quadratic: seconds a
    # call on 20,000 distinct elements.
    elemcount_case("elemcount_deque",
                   "elemcount: deque of 20,000 distinct ints",
                   functools.partial(distinct_ints, collections.deque),
                   probe=True),
    elemcount_case("elemcount_range", "elemcount: range(20000)",
                   functools.partial(range, 20_000), probe=True),
    elemcount_case("elemcount_array",
                   "elemcount: array('l') of 20,000 distinct ints",
                   functools.partial(distinct_ints,
                                     functools.partial(array.array, "l")),
                   probe=True),
    elemcount_case("elemcount_bytearray",
                   "elemcount: bytearray of 20,000 random bytes",
                   functools.partial(random_bytes, 20_000), probe=True),
    *ambrel_cases(),
    *multi_cases(),
    write_case("write_klist", "write_klist(d), 1,000,000 entries, no-op writer",
               "write_klist", "list(d)", list,
               "[k for k, v in d.items()]",
               lambda d: [k for k, v in d.items()]),
    write_case("write_vlist", "write_vlist(d), 1,000,000 entries, no-op writer",
               "write_vlist", "list(d.values())", lambda d: list(d.values()),
               "[v for k, v in d.items()]",
               lambda d: [v for k, v in d.items()]),
    read_case(),
    read_split_case(),
]

# Short names of the cases, for the chart.
SHORT = {
    "call_positional": "str_sundle(1, 2)",
    "call_keywords": "str_sundle(s=1, sep=2)",
    "elemcount_int_10": "elemcount: 100k ints, 10 distinct",
    "elemcount_int_1k": "elemcount: 100k ints, 1k distinct",
    "elemcount_int_100k": "elemcount: 100k ints, all distinct",
    "elemcount_int_draw": "elemcount: 100k ints, 63k distinct",
    "elemcount_tuple_1k": "elemcount: tuple, 100k ints, 1k distinct",
    "elemcount_str_1k": "elemcount: 100k strings, 1k distinct",
    "elemcount_text": "elemcount: 1M-char ASCII str",
    "elemcount_text_bmp": "elemcount: 1M-char Cyrillic str",
    "elemcount_int_10k": "elemcount: 10k ints, 1k distinct",
    "elemcount_deque": "elemcount: deque, 20k distinct ints",
    "elemcount_range": "elemcount: range(20000)",
    "elemcount_array": "elemcount: array('l'), 20k distinct ints",
    "elemcount_bytearray": "elemcount: bytearray, 20k random bytes",
    "ambrel_f": "ambrel(ls, f), 1M",
    "ambrel_g": "ambrel(ls, g, 1, k=2), 1M",
    "multi_str_sundle": 'multi_str_sundle(","), 100k strings',
    "multi_str_sundle_none": "multi_str_sundle(None), 100k strings",
    "write_klist": "write_klist, 1M entries",
    "write_vlist": "write_vlist, 1M entries",
    "read": "read(200000, func=int)",
    "read_split": "read_split(func=int), 1M pieces",
}

GOALS = [
    Goal("call_positional", "floor", 1.25,
         "str_sundle(1, 2) <= 1.25 x floor(1, 2), in instructions",
         counted=("str_sundle", "floor")),
    Goal("call_keywords", "python", 0.7,
         "str_sundle(s=1, sep=2) <= 0.7 x Python function, keywords, "
         "in instructions", counted=("str_sundle_kw", "python_kw")),
    *(Goal(key, "Counter", 0.7, f"elemcount <= 0.7 x Counter ({key[10:]})")
      for key in ("elemcount_int_10", "elemcount_int_1k",
                  "elemcount_int_100k", "elemcount_int_draw",
                  "elemcount_tuple_1k", "elemcount_str_1k",
                  "elemcount_text", "elemcount_text_bmp")),
    Goal("elemcount_int_10k", "python", 0.01,
         "elemcount >= 100x faster than the Python equivalent (1,000 in 10,000)"),
    *(Goal(key, "Counter", 1.0, f"elemcount <= 1.0 x Counter ({key[10:]})")
      for key in ("elemcount_deque", "elemcount_range", "elemcount_array",
                  "elemcount_bytearray")),
    Goal("ambrel_f", "map", 1.05, "ambrel(ls, f) <= 1.05 x list(map(f, ls))"),
    Goal("ambrel_g", "python", 0.3,
         "ambrel(ls, g, 1, k=2) <= 0.3 x Python equivalent"),
    Goal("multi_str_sundle", "split", 1.0,
         'multi_str_sundle(",", *strs) <= 1.0 x ",".join(strs).split(",")'),
    Goal("multi_str_sundle_none", "split", 1.0,
         'multi_str_sundle(None, *strs) <= 1.0 x " ".join(strs).split()'),
    Goal("multi_str_sundle", "python", 0.8,
         "multi_str_sundle <= 0.8 x Python equivalent"),
    Goal("write_klist", "floor", 1.3, "write_klist(d) <= 1.3 x list(d)"),
    Goal("write_vlist", "floor", 1.3,
         "write_vlist(d) <= 1.3 x list(d.values())"),
    Goal("read", "python", 1.0,
         "read <= 1.0 x the same-prompt loop"),
    Goal("read_split", "python", 1.0,
         "read_split <= 1.0 x the same-prompt Python equivalent"),
]


# --- running ----------------------------------------------------------------

def time_op(op):
    def time_func(loops):
        run = op.make()
        feed = op.feed() if op.feed is not None else None
        if feed is None:
            t0 = time.perf_counter()
            for _ in range(loops):
                run()
            return time.perf_counter() - t0
        total = 0.0
        with feed:
            for _ in range(loops):
                feed.rewind()
                t0 = time.perf_counter()
                run()
                total += time.perf_counter() - t0
        return total
    return time_func


TIMEIT_TEMPLATE = """\
def inner(loops, timer):
{setup}
    iterations = itertools.repeat(None, loops)
    t0 = timer()
    for _ in iterations:
        {stmt}
    return timer() - t0
"""


def time_statement(op):
    """timeit's loop for `op.stmt` after `op.setup`, both in one function
    so that the names the setup binds are fast locals."""
    source = TIMEIT_TEMPLATE.format(
        setup=textwrap.indent(op.setup, "    "), stmt=op.stmt)
    namespace = {"itertools": itertools}
    exec(compile(source, f"<{op.key}>", "exec"), namespace)
    inner = namespace["inner"]
    return lambda loops: inner(loops, time.perf_counter)


def selected(args):
    if not args.cases:
        return CASES
    pattern = re.compile(args.cases)
    return [case for case in CASES if pattern.search(case.key)]


# An operation marked `probe` that takes longer than this per call is
# measured with one process, one loop and one value, no warm-up.
SLOW_CALL = 1.0


def slow(runner, name, op):
    """In the manager, whether one call of `op` exceeds SLOW_CALL."""
    if not op.probe or runner.args.worker:
        return False
    seconds = time_op(op)(1)
    if seconds > SLOW_CALL:
        print(f"{name}: {seconds:.1f} s a call, measured once")
        return True
    return False


def measure(runner, cases):
    """Runs every benchmark; in the manager process returns
    {benchmark name: pyperf.Benchmark}, in a worker None."""
    results = {}
    for case in cases:
        for op in case.ops():
            name = case.bench_name(op)
            args = runner.args
            saved = args.processes, args.values, args.warmups, args.loops
            if slow(runner, name, op):
                # The workers get these on their command line.
                args.processes, args.values, args.warmups, args.loops = \
                    1, 1, 0, 1
            if op.stmt is not None:
                bench = runner.bench_time_func(name, time_statement(op),
                                               inner_loops=UNROLL)
            else:
                bench = runner.bench_time_func(name, time_op(op))
            args.processes, args.values, args.warmups, args.loops = saved
            if bench is not None:
                results[name] = bench
    return None if runner.args.worker else results


def paired_timer(op, min_time=0.01):
    """A function of no arguments returning the seconds one `op` takes,
    over enough loops to last `min_time`."""
    if op.stmt is not None:
        inner = time_statement(op)
        unit = UNROLL
    else:
        inner = time_op(op)
        unit = 1
    inner(1)
    loops = 1
    while inner(loops) < min_time:
        loops *= 2
    return lambda: inner(loops) / (loops * unit)


def measure_paired(cases, rounds):
    """Without pyperf, in this one process: every round times korvex's
    operation and each peer's once, the order reversed every other round,
    so that a change in the machine's load hits all of them alike. Returns
    {benchmark name: [seconds per operation, one per round]}."""
    samples = {}
    for case in cases:
        ops = case.ops()
        timers = [paired_timer(op) for op in ops]
        found = [[] for _ in ops]
        for round_ in range(rounds):
            order = list(range(len(ops)))
            if round_ % 2:
                order.reverse()
            for i in order:
                found[i].append(timers[i]())
        for op, values in zip(ops, found):
            samples[case.bench_name(op)] = values
        print(f"{case.key}: done", file=sys.stderr)
    return samples


def check(cases):
    """Runs every operation once and compares each peer's result with
    korvex's where they compute the same thing."""
    failures = 0
    for case in cases:
        outcomes = {}
        for op in case.ops():
            if op.stmt is not None:
                namespace = {}
                exec(op.setup + "\n" + op.stmt, namespace)
                outcomes[op.key] = None
                continue
            run = op.check_make()
            feed = op.feed() if op.feed is not None else None
            if feed is None:
                outcomes[op.key] = run()
            else:
                with feed:
                    feed.rewind()
                    outcomes[op.key] = run()
        mine = outcomes[KORVEX]
        for op in case.peers:
            if op.same is None:
                verdict = "not compared"
            elif op.same(mine, outcomes[op.key]):
                verdict = "same result"
            else:
                verdict = "DIFFERENT RESULT"
                failures += 1
            print(f"{case.key:22} {op.key:14} {verdict}")
    return failures


# --- the table --------------------------------------------------------------

def format_time(seconds):
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


def pyperf_stats(bench):
    """A pyperf.Benchmark's median and relative standard deviation."""
    values = bench.get_values()
    spread = (bench.stdev() / bench.mean()) if len(values) > 1 else 0.0
    return bench.median(), spread


def paired_stats(values):
    """The fastest of the interleaved rounds, and their relative standard
    deviation."""
    mean = statistics.fmean(values)
    spread = statistics.stdev(values) / mean if len(values) > 1 else 0.0
    return min(values), spread


def summarize(benches, cases, stats=pyperf_stats):
    """Rows of the table from {benchmark name: measurement}: one per case
    and peer, with korvex's and the peer's time (`stats` makes the time
    and its relative standard deviation from a measurement) and the ratio
    korvex/peer."""
    rows = []
    for case in cases:
        mine = benches.get(case.bench_name(case.korvex))
        if mine is None:
            continue
        k_time, k_spread = stats(mine)
        for op in case.peers:
            other = benches.get(case.bench_name(op))
            if other is None:
                continue
            p_time, p_spread = stats(other)
            rows.append({
                "case": case.key, "label": case.label,
                "short": SHORT.get(case.key, case.label),
                "korvex": case.korvex.label, "korvex_time": k_time,
                "korvex_rsd": k_spread,
                "peer": op.key, "peer_label": op.label, "peer_time": p_time,
                "peer_rsd": p_spread, "ratio": k_time / p_time,
            })
    return rows


def instruction_counts(rows):
    """Instructions per call under callgrind (bench/instructions.py) when a
    case with a goal in instructions was measured; None without valgrind."""
    cases = {row["case"] for row in rows}
    if not any(goal.counted and goal.case in cases for goal in GOALS):
        return None
    if shutil.which("valgrind") is None:
        print("\nvalgrind not found: the goals in instructions are not "
              "checked")
        return None
    import instructions
    print("\ncounting instructions per call under callgrind "
          "(bench/instructions.py)")
    per_call, repeated = instructions.measure(100_000)
    if not repeated:
        print("the instruction counts did not repeat exactly")
    return per_call


def goal_results(rows, counts):
    ratios = {(row["case"], row["peer"]): row["ratio"] for row in rows}
    found = []
    for goal in GOALS:
        ratio = ratios.get((goal.case, goal.peer))
        if ratio is None:
            continue
        if goal.counted:
            if counts is None:
                continue
            mine, peer = goal.counted
            ratio = counts[mine] / counts[peer]
        found.append({"goal": goal.text, "case": goal.case,
                      "peer": goal.peer, "limit": goal.limit,
                      "ratio": ratio, "met": ratio <= goal.limit,
                      "in": "instructions" if goal.counted else "time"})
    return found


def table(rows, goals):
    lines = ["| case | korvex | peer | peer time | korvex/peer |",
             "|---|---:|---|---:|---:|"]
    last = None
    for row in rows:
        first = row["case"] != last
        last = row["case"]
        case = row["label"] if first else ""
        mine = (f"{format_time(row['korvex_time'])} "
                f"±{row['korvex_rsd']:.0%}") if first else ""
        lines.append(
            f"| {case} | {mine} | `{row['peer_label']}` | "
            f"{format_time(row['peer_time'])} ±{row['peer_rsd']:.0%} | "
            f"**{row['ratio']:.3g}** |")
    lines += ["", "| goal | measured | |", "|---|---:|---|"]
    for goal in goals:
        lines.append(f"| {goal['goal']} | {goal['ratio']:.3g} | "
                     f"{'met' if goal['met'] else 'missed'} |")
    return "\n".join(lines)


def report(benches, cases, args, stats=pyperf_stats):
    rows = summarize(benches, cases, stats)
    goals = goal_results(rows, instruction_counts(rows))
    print()
    if stats is pyperf_stats:
        print("Times are pyperf medians per operation", end="")
    else:
        print(f"Times are the fastest of {args.paired} interleaved rounds",
              end="")
    print(", ± the relative standard deviation; korvex/peer below 1 means "
          "korvex is faster.")
    print()
    print(table(rows, goals))
    method = ("pyperf median" if stats is pyperf_stats
              else f"fastest of {args.paired} interleaved rounds")
    if args.summary:
        pathlib.Path(args.summary).write_text(json.dumps(
            {"python": sys.version, "method": method, "rows": rows,
             "goals": goals}, indent=1) + "\n")
    if args.chart:
        sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
        import chart
        chart.draw(rows, goals, args.chart,
                   f"korvex against its peers, same run ({method})")
        print(f"\nchart written to {args.chart}")


def pass_options(cmd, args):
    """The options of this script that worker processes need."""
    if args.cases:
        cmd.extend(("--cases", args.cases))


def main():
    runner = pyperf.Runner(add_cmdline_args=pass_options)
    parser = runner.argparser
    parser.add_argument("--cases", metavar="REGEX",
                        help="only the cases whose key matches REGEX")
    parser.add_argument("--chart", metavar="PNG",
                        help="draw the ratios as a bar chart (matplotlib)")
    parser.add_argument("--summary", metavar="JSON",
                        help="write the table and the goals as JSON")
    parser.add_argument("--report", metavar="JSON",
                        help="measure nothing: print the table from a file "
                             "written with -o")
    parser.add_argument("--check", action="store_true",
                        help="measure nothing: run each operation once and "
                             "compare the results")
    parser.add_argument("--paired", metavar="ROUNDS", type=int,
                        help="measure without pyperf, in one process: each "
                             "round runs korvex and its peers back to back; "
                             "the table uses the fastest round")
    parser.add_argument("--list", action="store_true",
                        help="list the cases and exit")
    args = runner.parse_args()
    if args.fast and not ({"-p", "--processes"} & {
            option.split("=")[0] for option in sys.argv[1:]}):
        # pyperf's --fast still spawns 10 processes per benchmark; 4 keep
        # a few hash seeds and bring the whole run to a few minutes.
        args.processes = 4
    cases = selected(args)
    if args.list:
        for case in cases:
            print(f"{case.key:22} {case.label}")
        return
    if not args.worker and not args.report:
        build_floor()
    if args.check:
        sys.exit(1 if check(cases) else 0)
    if args.report:
        suite = pyperf.BenchmarkSuite.load(args.report)
        benches = {bench.get_name(): bench
                   for bench in suite.get_benchmarks()}
        report(benches, cases, args)
        return
    if args.paired:
        report(measure_paired(cases, args.paired), cases, args, paired_stats)
        return
    benches = measure(runner, cases)
    if benches is not None:
        report(benches, cases, args)


if __name__ == "__main__":
    main()
