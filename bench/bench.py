"""korvex against its peers, case by case, with pyperf.

    python bench/bench.py                 # pyperf's default: 20 worker processes
    python bench/bench.py --fast          # 4 worker processes per benchmark
    python bench/bench.py --fast -o results.json --chart ratios.png
    python bench/bench.py --cases elemcount --fast
    python bench/bench.py --report results.json --chart ratios.png
    python bench/bench.py --check         # every operation once, results compared

Every operation of a case (korvex's and each peer's) is its own pyperf
benchmark, run one after the other in the same invocation; the table at the
end divides korvex's median time by each peer's (lower is better) and checks
the case's goals. The goals set in instructions (call overhead) are checked
on bench/instructions.py's counts under callgrind, valgrind permitting. The
call cases compare korvex with `floor.floor` of bench/floor.c, which this
script builds into build/bench before it measures. `-o FILE` is pyperf's
option: it stores every value of every benchmark as JSON, and `--report
FILE` prints the table (and draws the chart) again from such a file.

Before measuring, each operation runs once under a time budget (BUDGET): one
that takes longer a call, as a quadratic walk on a large input may, is not
measured, and its goals are reported missed. Inputs on which a peer itself
is quadratic are kept small enough to stay well inside the budget.

The input data is built lazily in each worker process, from a fixed seed, and
only for the benchmark that worker runs.
"""

import argparse
import array
import collections
import dataclasses
import fractions
import functools
import itertools
import json
import os
import random
import re
import shutil
import signal
import statistics
import sys
import tempfile
import textwrap
import time
import types
from typing import Callable

import pyperf

import floor_build
import instructions

# The tests' models of elemcount and ambrel are the Python equivalents here;
# the floor module is imported from its build directory.
sys.path[:0] = [str(floor_build.ROOT / "tests"), str(floor_build.DIR)]

from _models import ambrel as ambrel_py, elemcount as elemcount_py  # noqa: E402

import korvex.dict.write as write  # noqa: E402
from korvex.list.ambrel import ambrel  # noqa: E402
from korvex.list.count import elemcount  # noqa: E402
from korvex.list.read import read, read_split  # noqa: E402
from korvex.list.strutils.sundle import multi_str_sundle  # noqa: E402

SEED = 20240607
KORVEX = "korvex"
UNROLL = 10
BUDGET = 1.0


# --- records ----------------------------------------------------------------

@dataclasses.dataclass
class Op:
    """One timed operation: `fn(*args())`, its arguments built on first use
    in the process that times it. `feed()` gives the FileInput that is stdin
    while it runs, rewound untimed before each call. `stmt` instead makes it
    a timeit benchmark for sub-microsecond work: the statement after `setup`
    (which may use this script's names), repeated UNROLL times a loop
    iteration. `result` replaces `fn` for --check, where fn's own result
    says nothing."""
    key: str
    label: str
    fn: Callable = None
    args: Callable = tuple
    feed: Callable = None
    stmt: str = None
    setup: str = ""
    result: Callable = None


@dataclasses.dataclass(frozen=True)
class Goal:
    """korvex's ratio over the peer's at most `limit`: in time, or in
    instructions per call where `counted` names the two callables of
    bench/instructions.py (which holds the limit)."""
    peer: str
    limit: float
    counted: tuple = None


def counted_goal(peer, mine, theirs):
    return Goal(peer, instructions.GOALS[mine, theirs], (mine, theirs))


@dataclasses.dataclass
class Case:
    key: str
    label: str
    short: str  # the chart's label
    korvex: Op
    peers: list
    goals: list = ()

    def ops(self):
        return [self.korvex, *self.peers]

    def bench_name(self, op_key):
        return f"{self.key}/{op_key}"

    def goal_text(self, goal):
        peer = next(op for op in self.peers if op.key == goal.peer)
        text = f"{self.short} <= {goal.limit} x {peer.label}"
        return text + (", in instructions" if goal.counted else "")


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
def str_dict(n):
    return {f"key{i}": i for i in range(n)}


class Plain:
    """Equality and hash by identity: the base object's."""


class IntList(list):
    """A list subclass that overrides nothing."""


@dataclasses.dataclass(frozen=True)
class Point:
    """Equality in Python code (the dataclass's `__eq__`)."""
    x: int
    y: int


# n distinct elements of each kind, made from a shuffled range: (label, make)
DISTINCT = {
    "pair": ("2-tuples of ints", lambda i: (i, -i)),
    "int_str": ("(int, str) tuples", lambda i: (i, str(i))),
    "nested": ("nested tuples", lambda i: ((i, (i, 1)), ())),
    "frozenset": ("frozensets", lambda i: frozenset((i, -i - 1))),
    "complex": ("complex", lambda i: complex(i, 1)),
    "object": ("plain objects", lambda i: Plain()),
}


@functools.cache
def distinct(kind, n):
    order = ints(n, n, shuffled=True)
    if kind == "subclass":
        return IntList(order)
    return [DISTINCT[kind][1](i) for i in order]


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
def file_input(lines, pieces):
    """`lines` lines of `pieces` random numbers each, space-separated."""
    rng = random.Random(SEED)
    feed = FileInput("".join(
        " ".join(str(rng.randrange(10**6)) for _ in range(pieces)) + "\n"
        for _ in range(lines)))
    import atexit
    atexit.register(os.unlink, feed.path)
    return feed


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


def quiet_writer(keep=None):
    """Makes korvex.dict.write's writer `floor.sink`, which writes nothing,
    or, for `--check`, `keep.append` of the list it is handed."""
    from floor import sink
    writer = sink if keep is None else lambda ls, sep, end: keep.append(ls)
    write.list = types.SimpleNamespace(
        write=types.SimpleNamespace(write=writer))


def written(fn):
    """For `--check`: the list fn(d) hands its writer."""
    def run(d):
        kept = []
        quiet_writer(kept)
        fn(d)
        quiet_writer()
        return kept[0]
    return run


# --- cases ------------------------------------------------------------------

CALL_SETUP = """\
from korvex.list.strutils.sundle import str_sundle
from floor import floor
from operator import is_
def py(sep, s):
    pass"""


def call(key, label, stmt):
    return Op(key, label, stmt=stmt, setup=CALL_SETUP)


def case_on(data, key, label, short, korvex, peers, goals):
    """A case whose operations, korvex's (label, fn) and the peers' (key,
    label, fn), are each fn(data())."""
    args = lambda: (data(),)  # noqa: E731
    return Case(key, label, short, Op(KORVEX, *korvex, args),
                [Op(*peer, args) for peer in peers], goals)


COUNTER = ("Counter", "collections.Counter(ls)", collections.Counter)
ELEMCOUNT_PY = ("python", "Python equivalent", elemcount_py)


def elemcount_case(key, label, short, data, limit, peer=COUNTER):
    return case_on(data, key, label, short, ("elemcount(ls)", elemcount),
                   [peer], [Goal(peer[0], limit)])


def distinct_cases():
    kinds = [*DISTINCT.items(), ("subclass", ("ints in a list subclass",))]
    for kind, (what, *_) in kinds:
        for n, size in ((5_000, "5k"), (100_000, "100k")):
            yield elemcount_case(
                f"elemcount_{kind}_{size}", f"elemcount: {n:,} distinct {what}",
                f"elemcount: {size} distinct {what}",
                functools.partial(distinct, kind, n), 1.0)


def python_eq_cases():
    # The general walk and its Python equivalent both run the elements'
    # __eq__ about n * distinct times: 1,000 elements, 100 distinct values,
    # each element made afresh, as equal values read from a file are.
    for key, what, make in (
            ("dataclass", "frozen dataclasses", lambda x: Point(x, -x)),
            ("fraction", "Fractions", lambda x: fractions.Fraction(x, 7))):
        yield elemcount_case(
            f"elemcount_{key}",
            f"elemcount: 1,000 {what} of 100 values (Python __eq__)",
            f"elemcount: 1k {what}, Python __eq__",
            lambda make=make: [make(x) for x in ints(1_000, 100)], 1.05,
            ELEMCOUNT_PY)


def write_cases():
    sides = (("write_klist", "list(d)", list, "[k for k, v in d.items()]",
              lambda d: [k for k, v in d.items()]),
             ("write_vlist", "list(d.values())", lambda d: list(d.values()),
              "[v for k, v in d.items()]",
              lambda d: [v for k, v in d.items()]))
    dicts = (("", "1,000,000 entries", str_dict, 1_000_000, 1.1),
             ("_100k", "100,000 entries", str_dict, 100_000, 1.1),
             ("_counter", "Counter of 100,000 entries",
              lambda n: collections.Counter(str_dict(n)), 100_000, 1.3),
             ("_defaultdict", "defaultdict of 100,000 entries",
              lambda n: collections.defaultdict(int, str_dict(n)), 100_000,
              1.3))
    for name, peer_label, peer, loop_label, loop in sides:
        fn = getattr(write, name)
        for key, what, make, n, limit in dicts:
            def args(make=make, n=n):
                quiet_writer()
                return (make(n),)
            peers = [Op("peer", peer_label, peer, args)]
            if not key:
                peers.append(Op("comprehension", loop_label, loop, args))
            yield Case(f"{name}{key}", f"{name}(d), {what}, no-op writer",
                       f"{name}, {what}",
                       Op(KORVEX, f"{name}(d)", fn, args, result=written(fn)),
                       peers, [Goal("peer", limit)])
        # At 10 entries a call takes nanoseconds: timeit statements. The
        # writer's three look-ups (the module's `list`, then two attributes)
        # and its call set a floor, measured as the peer `lookups`.
        setup = (f"quiet_writer()\nd = str_dict(10)\n"
                 f"from korvex.dict.write import {name}\n"
                 "import korvex.dict.write as w")
        floor = f"w.list.write.write({peer_label}, ' ', '\\n')"
        yield Case(f"{name}_10", f"{name}(d), 10 entries, no-op writer",
                   f"{name}, 10 entries",
                   Op(KORVEX, f"{name}(d)", stmt=f"{name}(d)", setup=setup),
                   [Op("peer", peer_label, stmt=peer_label, setup=setup),
                    Op("lookups", floor, stmt=floor, setup=setup)],
                   [Goal("peer", 1.3)])


def readline_ints(n):
    readline = sys.stdin.readline
    return [int(readline()) for _ in range(n)]


def read_cases():
    lines = functools.partial(file_input, 200_000, 1)
    # read must pass its prompt `s` to `input`, even the default "", and
    # `input` writes any prompt it is given to stdout (one `write` call per
    # line) where `input()` writes nothing; a plain `readline` also skips
    # `input`'s flushes and terminal checks: the cheaper peers.
    yield Case("read", "read(200000, func=int), 200,000 lines from a file",
               "read(200000, func=int)",
               Op(KORVEX, "read(200000, func=int)",
                  lambda: read(200_000, func=int), feed=lines),
               [Op("python", "[func(input(s)) for i in range(n)]",
                   lambda: read_py(200_000, func=int), feed=lines),
                Op("input", "[int(input()) for _ in range(n)]",
                   lambda: [int(input()) for _ in range(200_000)],
                   feed=lines),
                Op("readline", "sys.stdin.readline: "
                   "[int(readline()) for _ in range(n)]",
                   lambda: readline_ints(200_000), feed=lines)],
               [Goal("python", 1.0)])
    line = functools.partial(file_input, 1, 1_000_000)
    yield Case("read_split",
               "read_split(func=int), one line of 1,000,000 pieces",
               "read_split(func=int), 1M pieces",
               Op(KORVEX, "read_split(func=int)",
                  lambda: read_split(func=int), feed=line),
               [Op("python", "[func(i) for i in input(s).split(spl)]",
                   lambda: read_split_py(func=int), feed=line)],
               [Goal("python", 1.0)])
    line = functools.partial(file_input, 1, 100_000)
    yield Case("read_split_default", "read_split(), one line of 100,000 pieces",
               "read_split(), 100k pieces",
               Op(KORVEX, "read_split()", read_split, feed=line),
               [Op("split", 'input("").split(" ")',
                   lambda: input("").split(" "), feed=line)],
               [Goal("split", 1.05)])


def multi_cases():
    chain = itertools.chain.from_iterable
    comma = lazy(joined_strings, 100_000, 4, ",")
    yield case_on(
        comma, "multi_str_sundle",
        'multi_str_sundle(",", *strs), 100,000 strings of 4 pieces',
        'multi_str_sundle(","), 100k strings',
        ('multi_str_sundle(",", *strs)',
         lambda strs: multi_str_sundle(",", *strs)),
        [("split", '",".join(strs).split(",")',
          lambda strs: ",".join(strs).split(",")),
         ("python", 'multi_str_sundle_py(",", *strs)',
          lambda strs: multi_str_sundle_py(",", *strs)),
         ("chain", "list(chain.from_iterable(s.split(...)))",
          lambda strs: list(chain(s.split(",") for s in strs)))],
        [Goal("split", 1.0), Goal("python", 0.8)])
    spaced = lazy(joined_strings, 100_000, 4, " ")
    yield case_on(
        spaced, "multi_str_sundle_none",
        "multi_str_sundle(None, *strs), 100,000 strings of 4 pieces",
        "multi_str_sundle(None), 100k strings",
        ("multi_str_sundle(None, *strs)",
         lambda strs: multi_str_sundle(None, *strs)),
        [("split", '" ".join(strs).split()',
          lambda strs: " ".join(strs).split()),
         ("python", "multi_str_sundle_py(None, *strs)",
          lambda strs: multi_str_sundle_py(None, *strs))],
        [Goal("split", 1.0)])


ASCII = "abcdefghijklmnopqrstuvwxyz "
CYRILLIC = "".join(map(chr, range(0x430, 0x450))) + " "
lazy = functools.partial  # a case's data, built when first used

CASES = [
    Case("call_positional", "str_sundle(1, 2): call overhead",
         "str_sundle(1, 2)",
         call(KORVEX, "str_sundle(1, 2)", "str_sundle(1, 2)"),
         [call("floor", "floor(1, 2), bench/floor.c", "floor(1, 2)"),
          call("is_", "operator.is_(1, 2)", "is_(1, 2)"),
          call("python", "def py(sep, s): pass; py(1, 2)", "py(1, 2)")],
         [counted_goal("floor", "str_sundle", "floor")]),
    Case("call_keywords", "str_sundle(s=1, sep=2): call overhead",
         "str_sundle(s=1, sep=2)",
         call(KORVEX, "str_sundle(s=1, sep=2)", "str_sundle(s=1, sep=2)"),
         [call("python", "py(s=1, sep=2)", "py(s=1, sep=2)")],
         [counted_goal("python", "str_sundle_kw", "python_kw")]),
    elemcount_case("elemcount_int_10", "elemcount: 100,000 ints, 10 distinct",
                   "elemcount: 100k ints, 10 distinct",
                   lazy(ints, 100_000, 10), 0.7),
    elemcount_case("elemcount_int_1k",
                   "elemcount: 100,000 ints, 1,000 distinct",
                   "elemcount: 100k ints, 1k distinct",
                   lazy(ints, 100_000, 1_000), 0.7),
    elemcount_case("elemcount_int_100k",
                   "elemcount: 100,000 ints, all distinct (shuffled range)",
                   "elemcount: 100k ints, all distinct",
                   lazy(ints, 100_000, 100_000, True), 0.7),
    elemcount_case("elemcount_int_draw", "elemcount: 100,000 ints drawn from "
                   "100,000 (~63% distinct)",
                   "elemcount: 100k ints, 63k distinct",
                   lazy(ints, 100_000, 100_000), 0.7),
    elemcount_case("elemcount_tuple_1k",
                   "elemcount: tuple of 100,000 ints, 1,000 distinct",
                   "elemcount: tuple, 100k ints, 1k distinct",
                   lambda: tuple(ints(100_000, 1_000)), 0.7),
    elemcount_case("elemcount_str_1k",
                   "elemcount: 100,000 short strings, 1,000 distinct",
                   "elemcount: 100k strings, 1k distinct",
                   lazy(words, 100_000, 1_000), 0.7),
    case_on(lazy(text, 1_000_000, ASCII), "elemcount_text",
            "elemcount: 1,000,000-character ASCII str",
            "elemcount: 1M-char ASCII str", ("elemcount(ls)", elemcount),
            [COUNTER, ELEMCOUNT_PY], [Goal("Counter", 0.7)]),
    elemcount_case("elemcount_text_bmp",
                   "elemcount: 1,000,000-character Cyrillic str",
                   "elemcount: 1M-char Cyrillic str",
                   lazy(text, 1_000_000, CYRILLIC), 0.7),
    case_on(lazy(ints, 10_000, 1_000), "elemcount_int_10k",
            "elemcount: 10,000 ints, 1,000 distinct",
            "elemcount: 10k ints, 1k distinct", ("elemcount(ls)", elemcount),
            [COUNTER, ELEMCOUNT_PY], [Goal("python", 0.01)]),
    elemcount_case("elemcount_deque",
                   "elemcount: deque of 20,000 distinct ints",
                   "elemcount: deque, 20k distinct ints",
                   lambda: collections.deque(ints(20_000, 20_000, True)), 1.0),
    elemcount_case("elemcount_range", "elemcount: range(20000)",
                   "elemcount: range(20000)", lazy(range, 20_000), 1.0),
    elemcount_case("elemcount_array",
                   "elemcount: array('l') of 20,000 distinct ints",
                   "elemcount: array('l'), 20k distinct ints",
                   lambda: array.array("l", ints(20_000, 20_000, True)), 1.0),
    elemcount_case("elemcount_bytearray",
                   "elemcount: bytearray of 20,000 random bytes",
                   "elemcount: bytearray, 20k random bytes",
                   lambda: bytearray(random.Random(SEED).randbytes(20_000)),
                   1.0),
    *distinct_cases(),
    elemcount_case("elemcount_repeated", "elemcount: list(range(5000)) * 20",
                   "elemcount: list(range(5000)) * 20",
                   lambda: list(range(5000)) * 20, 0.7),
    elemcount_case("elemcount_int_bytes", "elemcount: 100,000 ints and bytes "
                   "alternating, 1,000 distinct values",
                   "elemcount: 100k ints and bytes",
                   lambda: [x if i % 2 else str(x).encode()
                            for i, x in enumerate(ints(100_000, 1_000))], 0.7),
    elemcount_case("elemcount_fraction_last",
                   "elemcount: 10,000 ints of 1,000 values, a Fraction last",
                   "elemcount: 10k ints, a Fraction last",
                   lambda: ints(10_000, 1_000)[:-1] + [fractions.Fraction(1, 3)],
                   1.05, ELEMCOUNT_PY),
    *python_eq_cases(),
    case_on(lazy(list, range(1_000_000)), "ambrel_f",
            "ambrel(ls, f), 1,000,000 ints, def f(x): return x",
            "ambrel(ls, f), 1M", ("ambrel(ls, f)", lambda ls: ambrel(ls, f)),
            [("map", "list(map(f, ls))", lambda ls: list(map(f, ls))),
             ("python", "ambrel_py(ls, f)", lambda ls: ambrel_py(ls, f))],
            [Goal("map", 1.05)]),
    case_on(lazy(list, range(1_000_000)), "ambrel_g",
            "ambrel(ls, g, 1, k=2), 1,000,000 ints", "ambrel(ls, g, 1, k=2), 1M",
            ("ambrel(ls, g, 1, k=2)", lambda ls: ambrel(ls, g, 1, k=2)),
            [("python", "ambrel_py(ls, g, 1, k=2)",
              lambda ls: ambrel_py(ls, g, 1, k=2)),
             ("comprehension", "[g(l, 1, k=2) for l in ls]",
              lambda ls: [g(l, 1, k=2) for l in ls])],
            [Goal("python", 0.3)]),
    *multi_cases(),
    *write_cases(),
    *read_cases(),
]
# --- running ----------------------------------------------------------------

TIMEIT_TEMPLATE = """\
def inner(loops, timer):
{setup}
    iterations = itertools.repeat(None, loops)
    t0 = timer()
    for _ in iterations:
        {stmt}
    return timer() - t0
"""


def timer(op):
    """pyperf's time function for `op`: the seconds `loops` calls take."""
    if op.stmt is not None:
        # timeit's loop, with the setup in the same function so that the
        # names it binds are fast locals.
        source = TIMEIT_TEMPLATE.format(setup=textwrap.indent(op.setup, " " * 4),
                                        stmt="; ".join([op.stmt] * UNROLL))
        namespace = dict(globals())
        exec(compile(source, f"<{op.key}>", "exec"), namespace)
        return functools.partial(namespace["inner"], timer=time.perf_counter)

    def time_func(loops):
        fn, args = op.fn, op.args()
        if op.feed is None:
            t0 = time.perf_counter()
            for _ in range(loops):
                fn(*args)
            return time.perf_counter() - t0
        total = 0.0
        with op.feed() as feed:
            for _ in range(loops):
                feed.rewind()
                t0 = time.perf_counter()
                fn(*args)
                total += time.perf_counter() - t0
        return total
    return time_func


class OverBudget(Exception):
    pass


def within_budget(run):
    """run(), cut short by OverBudget once it has taken BUDGET seconds
    (korvex's long loops check for signals)."""
    def expire(signum, frame):
        raise OverBudget
    previous = signal.signal(signal.SIGALRM, expire)
    try:
        signal.setitimer(signal.ITIMER_REAL, BUDGET)
        try:
            return run()
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
    finally:
        signal.signal(signal.SIGALRM, previous)


def over_budget(name, op):
    try:
        within_budget(lambda: timer(op)(1))
    except OverBudget:
        print(f"{name}: over {BUDGET:g} s a call, not measured")
        return True
    return False


def measure(runner, cases):
    """Runs every benchmark; in the manager process returns
    {benchmark name: pyperf.Benchmark}, in a worker None. The manager
    tells its workers which operations it left out (--skip), so that they
    count the benchmarks as it does."""
    args = runner.args
    results = {}
    for case in cases:
        for op in case.ops():
            name = case.bench_name(op.key)
            if not args.worker and over_budget(name, op):
                args.skip.append(name)
            if name in args.skip:
                continue
            bench = runner.bench_time_func(
                name, timer(op), inner_loops=UNROLL if op.stmt else None)
            if bench is not None:
                results[name] = bench
    return None if args.worker else results


def paired_timer(op):
    """A function of no arguments: the seconds one call of `op` takes, over
    enough loops to last 10 ms."""
    inner, loops = timer(op), 1
    while inner(loops) < 0.01:
        loops *= 2
    calls = loops * (UNROLL if op.stmt else 1)
    return lambda: inner(loops) / calls


def measure_paired(cases, rounds, skipped):
    """Without pyperf, in this one process: every round times korvex's
    operation and each peer's once, the order reversed every other round,
    so that a change in the machine's load hits all of them alike. Returns
    {benchmark name: [seconds per operation, one per round]}."""
    samples = {}
    for case in cases:
        timers = {}
        for op in case.ops():
            name = case.bench_name(op.key)
            if over_budget(name, op):
                skipped.append(name)
            else:
                timers[name] = paired_timer(op)
                samples[name] = []
        for round_ in range(rounds):
            for name in list(timers)[::-1 if round_ % 2 else 1]:
                samples[name].append(timers[name]())
        print(f"{case.key}: done", file=sys.stderr)
    return samples


def same(a, b):
    if isinstance(a, dict):
        # Counter or dict: the same items, the same keys in the same order.
        return list(a.items()) == list(dict(b).items())
    return a == b


def run_once(op):
    """What one call of `op` returns, or `op.result` gives, for --check."""
    if op.stmt is not None:
        timer(op)(1)  # run, not compared
        return None
    fn, args = op.result or op.fn, op.args()
    if op.feed is None:
        return fn(*args)
    with op.feed() as feed:
        feed.rewind()
        return fn(*args)


def check(cases):
    """Runs every operation once and compares each peer's result with
    korvex's; returns the number of differences."""
    failures = 0
    for case in cases:
        outcomes = {}
        for op in case.ops():
            try:
                outcomes[op.key] = within_budget(lambda: run_once(op))
            except OverBudget:
                outcomes[op.key] = OverBudget
        for op in case.peers:
            mine, theirs = outcomes[KORVEX], outcomes[op.key]
            if OverBudget in (mine, theirs):
                verdict = f"over {BUDGET:g} s a call, not compared"
            elif op.stmt is not None:
                verdict = "not compared"
            elif same(mine, theirs):
                verdict = "same result"
            else:
                verdict = "DIFFERENT RESULT"
                failures += 1
            print(f"{case.key:28} {op.key:14} {verdict}")
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


def summarize(benches, cases, stats):
    """Rows of the table from {benchmark name: measurement}: one per case
    and peer, with korvex's and the peer's time (`stats` makes the time
    and its relative standard deviation from a measurement) and the ratio
    korvex/peer."""
    rows = []
    for case in cases:
        mine = benches.get(case.bench_name(KORVEX))
        for op in case.peers:
            other = benches.get(case.bench_name(op.key))
            if mine is None or other is None:
                continue
            (k_time, k_spread), (p_time, p_spread) = stats(mine), stats(other)
            rows.append({
                "case": case.key, "label": case.label, "short": case.short,
                "korvex": case.korvex.label, "korvex_time": k_time,
                "korvex_rsd": k_spread,
                "peer": op.key, "peer_label": op.label, "peer_time": p_time,
                "peer_rsd": p_spread, "ratio": k_time / p_time,
            })
    return rows


def instruction_counts(cases, rows):
    """Instructions per call under callgrind (bench/instructions.py) when a
    case with a goal in instructions was measured; None without valgrind."""
    measured = {row["case"] for row in rows}
    if not any(goal.counted and case.key in measured
               for case in cases for goal in case.goals):
        return None
    if shutil.which("valgrind") is None:
        print("\nvalgrind not found: the goals in instructions are not "
              "checked")
        return None
    print("\ncounting instructions per call under callgrind "
          "(bench/instructions.py)")
    per_call, repeated = instructions.measure(100_000)
    if not repeated:
        print("the instruction counts did not repeat exactly")
    return per_call


def goal_results(cases, rows, counts, skipped):
    """Every goal of a measured case; a goal whose operations were left out
    over budget is missed."""
    ratios = {(row["case"], row["peer"]): row["ratio"] for row in rows}
    found = []
    for case in cases:
        for goal in case.goals:
            ratio = ratios.get((case.key, goal.peer))
            if goal.counted and ratio is not None:
                if counts is None:
                    continue
                ratio = counts[goal.counted[0]] / counts[goal.counted[1]]
            elif ratio is None and not {case.bench_name(KORVEX),
                                        case.bench_name(goal.peer)} & set(
                                            skipped):
                continue
            found.append({"goal": case.goal_text(goal), "case": case.key,
                          "peer": goal.peer, "limit": goal.limit,
                          "ratio": ratio,
                          "met": ratio is not None and ratio <= goal.limit,
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
        measured = (f"over {BUDGET:g} s a call" if goal["ratio"] is None
                    else f"{goal['ratio']:.3g}")
        lines.append(f"| {goal['goal']} | {measured} | "
                     f"{'met' if goal['met'] else 'missed'} |")
    return "\n".join(lines)


def report(benches, cases, args, stats=pyperf_stats):
    rows = summarize(benches, cases, stats)
    goals = goal_results(cases, rows, instruction_counts(cases, rows),
                         args.skip)
    method = ("pyperf median" if stats is pyperf_stats
              else f"fastest of {args.paired} interleaved rounds")
    print(f"\nTimes are the {method} per operation, ± the relative standard "
          "deviation; korvex/peer below 1 means korvex is faster.\n")
    print(table(rows, goals))
    if args.summary:
        with open(args.summary, "w") as out:
            json.dump({"python": sys.version, "method": method, "rows": rows,
                       "goals": goals}, out, indent=1)
    if args.chart:
        import chart
        chart.draw(rows, goals, args.chart,
                   f"korvex against its peers, same run ({method})")
        print(f"\nchart written to {args.chart}")


def pass_options(cmd, args):
    """The options of this script that worker processes need."""
    if args.cases:
        cmd.extend(("--cases", args.cases))
    if args.skip:
        cmd.extend(("--skip", ",".join(args.skip)))


def main():
    runner = pyperf.Runner(add_cmdline_args=pass_options)
    parser = runner.argparser
    parser.add_argument("--cases", metavar="REGEX",
                        help="only the cases whose key matches REGEX")
    parser.add_argument("--skip", type=lambda names: names.split(","),
                        default=[], help=argparse.SUPPRESS)
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
        # a few hash seeds.
        args.processes = 4
    pattern = re.compile(args.cases or "")
    cases = [case for case in CASES if pattern.search(case.key)]
    if args.list:
        for case in cases:
            print(f"{case.key:28} {case.label}")
    elif args.report:
        suite = pyperf.BenchmarkSuite.load(args.report)
        report({bench.get_name(): bench for bench in suite.get_benchmarks()},
               cases, args)
    else:
        if not args.worker:
            floor_build.build()
        if args.check:
            sys.exit(1 if check(cases) else 0)
        if args.paired:
            report(measure_paired(cases, args.paired, args.skip), cases, args,
                   paired_stats)
            return
        benches = measure(runner, cases)
        if benches is not None:
            report(benches, cases, args)


if __name__ == "__main__":
    main()
