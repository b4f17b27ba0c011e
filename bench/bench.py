"""korvex against its peers, case by case, with pyperf.

    python bench/bench.py           # pyperf's default: 20 worker processes
    python bench/bench.py --fast    # 4 worker processes per benchmark
    python bench/bench.py --fast --cases elemcount -o out.json --chart r.png
    python bench/bench.py --report out.json --chart ratios.png
    python bench/bench.py --check   # every operation once, results compared

Every operation of a case (korvex's and each peer's) is its own pyperf
benchmark, run one after the other in the same invocation; the table at the
end divides korvex's median time by each peer's (below 1: korvex is faster)
and checks the cases' goals, those set in instructions on the counts of
bench/instructions.py (valgrind permitting). `-o FILE` (pyperf's) stores
every value, and `--report FILE` prints the table again from it.

Before it is measured, korvex's operation runs once under a budget of
BUDGET seconds: if it takes longer a call (a quadratic walk on a large
input) it is left out and its goals are reported missed. Inputs on which a
peer is quadratic itself are small enough to stay well inside the budget.
The data is built from a fixed seed in each process, for the operations it
runs.
"""

import argparse
import array
import collections
import contextlib
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

import pyperf

import floor_build
import instructions

# The tests' models of elemcount and ambrel are the Python equivalents here;
# the floor module (bench/floor.c) is imported from its build directory.
sys.path[:0] = [str(floor_build.ROOT / "tests"), str(floor_build.DIR)]

from _models import ambrel as ambrel_py  # noqa: E402
from _models import elemcount as elemcount_py  # noqa: E402

import korvex.dict.write as write  # noqa: E402
from korvex.list.ambrel import ambrel  # noqa: E402
from korvex.list.count import elemcount  # noqa: E402
from korvex.list.read import read, read_split  # noqa: E402
from korvex.list.strutils.sundle import multi_str_sundle  # noqa: E402

SEED = 20240607
KORVEX = "korvex"
UNROLL = 10
BUDGET = 1.0


@dataclasses.dataclass
class Op:
    """One timed operation: `fn(*args())`, the arguments built on first use
    in the process that times it, with stdin the file `feed()` (rewound
    untimed before each call) when there is one. A timeit `stmt` instead,
    for sub-microsecond work: repeated UNROLL times a loop iteration, after
    `setup` (which sees this script's names)."""
    key: str
    label: str
    fn: object = None
    args: object = tuple
    feed: object = None
    stmt: str = None
    setup: str = ""


@dataclasses.dataclass(frozen=True)
class Goal:
    """korvex's ratio over the peer's at most `limit`: in time, or in
    instructions per call where `counted` names the two callables of
    bench/instructions.py, which holds the limit."""
    peer: str
    limit: float
    counted: tuple = None


def counted_goal(peer, mine, theirs):
    return Goal(peer, instructions.GOALS[mine, theirs], (mine, theirs))


@dataclasses.dataclass
class Case:
    key: str
    label: str
    korvex: Op
    peers: list
    goals: list

    def ops(self):
        return [self.korvex, *self.peers]

    def name(self, op_key):
        """The pyperf benchmark of an operation."""
        return f"{self.key}/{op_key}"

    def goal_text(self, goal):
        peer = next(op.label for op in self.peers if op.key == goal.peer)
        return (f"{self.label} <= {goal.limit} x {peer}"
                + (", in instructions" if goal.counted else ""))


# --- input data --------------------------------------------------------------

lazy = functools.partial  # a case's data, built when first used


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
    return "".join(random.Random(SEED).choices(alphabet, k=n))


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
    """Equality in Python code, the dataclass's `__eq__`."""
    x: int
    y: int


# Makers of distinct elements from distinct ints, by kind: (label, make)
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
    """n distinct elements of a kind of DISTINCT, or ints in an IntList."""
    order = ints(n, n, shuffled=True)
    if kind == "subclass":
        return IntList(order)
    return [DISTINCT[kind][1](i) for i in order]


@functools.cache
def numbers_file(lines, pieces):
    """A file of `lines` lines of `pieces` random numbers each, written once
    a process; its descriptor is not 0 and not a terminal, so the builtin
    `input` reads it by its non-interactive path, for korvex and peers
    alike."""
    rng = random.Random(SEED)
    fd, path = tempfile.mkstemp(prefix="korvex-bench-", suffix=".txt")
    with os.fdopen(fd, "w", encoding="utf-8") as out:
        for _ in range(lines):
            out.write(" ".join(str(rng.randrange(10**6))
                               for _ in range(pieces)) + "\n")
    import atexit
    atexit.register(os.unlink, path)
    return open(path, encoding="utf-8")


@contextlib.contextmanager
def stdin_from(stream):
    """`stream` from its start as sys.stdin, and a null sys.stdout, which
    `input` flushes."""
    saved = sys.stdin, sys.stdout
    with open(os.devnull, "w", encoding="utf-8") as null:
        stream.seek(0)
        sys.stdin, sys.stdout = stream, null
        try:
            yield stream
        finally:
            sys.stdin, sys.stdout = saved


# --- the peers' Python code (elemcount's and ambrel's come from _models) -----

def multi_str_sundle_py(sep, *args):
    ls = []
    for a in args:
        ls[len(ls):] = a.split(sep)
    return ls


def read_py(n, s="", func=lambda s: s):
    return [func(input(s)) for i in range(n)]


def read_split_py(s="", spl=" ", func=lambda s: s):
    return [func(i) for i in input(s).split(spl)]


def readline_ints(n):
    readline = sys.stdin.readline
    return [int(readline()) for _ in range(n)]


def f(x):
    return x


def g(x, a, k):
    return x


def set_writer(writer):
    """Makes `writer` korvex.dict.write's: `floor.sink`, which writes
    nothing, while measuring."""
    write.list = types.SimpleNamespace(
        write=types.SimpleNamespace(write=writer))


# --- cases -------------------------------------------------------------------

def case_on(data, key, label, korvex, peers, goals):
    """A case whose operations, korvex's (label, fn) and the peers' (key,
    label, fn), are each fn(data()); goals {peer key: limit}."""
    args = lambda: (data(),)  # noqa: E731
    return Case(key, label, Op(KORVEX, *korvex, args),
                [Op(*peer, args) for peer in peers],
                [Goal(*goal) for goal in goals.items()])


COUNTER = ("Counter", "collections.Counter(ls)", collections.Counter)
PYTHON = ("python", "the Python equivalent", elemcount_py)


def elemcount_cases():
    distinct_kinds = [
        (f"{kind}_{size}", f"{size} distinct {what}", lazy(distinct, kind, n),
         {"Counter": 1.0})
        for kind, (what, *_) in [*DISTINCT.items(),
                                 ("subclass", ("ints in a list subclass",))]
        for n, size in ((5_000, "5k"), (100_000, "100k"))]
    # The general walk and its Python equivalent run Python __eq__ about
    # n * distinct times: small inputs, each element made afresh, as equal
    # values read from a file are.
    python_eq = [(key, f"1k {what} of 100 values, Python __eq__",
                  lambda make=make: [make(x) for x in ints(1_000, 100)],
                  {"Counter": None, "python": 1.05})
                 for key, what, make in (
                     ("dataclass", "frozen dataclasses",
                      lambda x: Point(x, -x)),
                     ("fraction", "Fractions",
                      lambda x: fractions.Fraction(x, 7)))]
    rows = [  # key, label, data, {peer: goal, None for none}
        ("int_10", "100k ints, 10 distinct", lazy(ints, 100_000, 10),
         {"Counter": 0.7}),
        ("int_1k", "100k ints, 1k distinct", lazy(ints, 100_000, 1_000),
         {"Counter": 0.7}),
        ("int_100k", "100k ints, all distinct (shuffled range)",
         lazy(ints, 100_000, 100_000, True), {"Counter": 0.7}),
        ("int_draw", "100k ints drawn from 100k (~63% distinct)",
         lazy(ints, 100_000, 100_000), {"Counter": 0.7}),
        ("tuple_1k", "tuple of 100k ints, 1k distinct",
         lambda: tuple(ints(100_000, 1_000)), {"Counter": 0.7}),
        ("str_1k", "100k short strings, 1k distinct",
         lazy(words, 100_000, 1_000), {"Counter": 0.7}),
        ("text", "1M-character ASCII str",
         lazy(text, 1_000_000, "abcdefghijklmnopqrstuvwxyz "),
         {"Counter": 0.7, "python": None}),
        ("text_bmp", "1M-character Cyrillic str",
         lazy(text, 1_000_000, "".join(map(chr, range(0x430, 0x450))) + " "),
         {"Counter": 0.7}),
        ("int_10k", "10k ints, 1k distinct", lazy(ints, 10_000, 1_000),
         {"Counter": None, "python": 0.01}),
        ("deque", "deque of 20k distinct ints",
         lambda: collections.deque(ints(20_000, 20_000, True)),
         {"Counter": 1.0}),
        ("range", "range(20000)", lazy(range, 20_000), {"Counter": 1.0}),
        ("array", "array('l') of 20k distinct ints",
         lambda: array.array("l", ints(20_000, 20_000, True)),
         {"Counter": 1.0}),
        ("bytearray", "bytearray of 20k random bytes",
         lambda: bytearray(random.Random(SEED).randbytes(20_000)),
         {"Counter": 1.0}),
        *distinct_kinds,
        ("repeated", "list(range(5000)) * 20", lambda: list(range(5000)) * 20,
         {"Counter": 0.7}),
        ("int_bytes", "100k ints and bytes alternating, 1k distinct values",
         lambda: [x if i % 2 else str(x).encode()
                  for i, x in enumerate(ints(100_000, 1_000))],
         {"Counter": 0.7}),
        ("fraction_last", "10k ints of 1k values, a Fraction last",
         lambda: ints(10_000, 1_000)[:-1] + [fractions.Fraction(1, 3)],
         {"Counter": None, "python": 1.05}),
        *python_eq,
    ]
    peers = {"Counter": COUNTER, "python": PYTHON}
    for key, label, data, goals in rows:
        yield case_on(data, f"elemcount_{key}", f"elemcount: {label}",
                      ("elemcount(ls)", elemcount),
                      [peers[peer] for peer in goals],
                      {peer: limit for peer, limit in goals.items() if limit})


def write_cases():
    sides = (("write_klist", "list(d)", list, "[k for k, v in d.items()]",
              lambda d: [k for k, v in d.items()]),
             ("write_vlist", "list(d.values())", lambda d: list(d.values()),
              "[v for k, v in d.items()]",
              lambda d: [v for k, v in d.items()]))
    dicts = (("", "1M entries", str_dict, 1.1),
             ("_100k", "100k entries", str_dict, 1.1),
             ("_counter", "Counter of 100k entries",
              lambda n: collections.Counter(str_dict(n)), 1.3),
             ("_defaultdict", "defaultdict of 100k entries",
              lambda n: collections.defaultdict(int, str_dict(n)), 1.3))
    for name, peer_label, peer, loop_label, loop in sides:
        fn = getattr(write, name)
        for key, what, make, limit in dicts:
            def args(make=make, n=1_000_000 if not key else 100_000):
                return (make(n),)
            peers = [Op("list", peer_label, peer, args)]
            if not key:
                peers.append(Op("comprehension", loop_label, loop, args))
            yield Case(f"{name}{key}", f"{name}(d), {what}, no-op writer",
                       Op(KORVEX, f"{name}(d)", fn, args),
                       peers, [Goal("list", limit)])
        # A call on 10 entries takes nanoseconds: timeit statements. The
        # writer's three look-ups (the module's `list`, then two attributes)
        # and its call set a floor, measured as the peer `lookups`.
        setup = (f"d = str_dict(10)\n"
                 f"from korvex.dict.write import {name}\n"
                 "import korvex.dict.write as w")
        floor = f"w.list.write.write({peer_label}, ' ', '\\n')"
        yield Case(f"{name}_10", f"{name}(d), 10 entries, no-op writer",
                   Op(KORVEX, f"{name}(d)", stmt=f"{name}(d)", setup=setup),
                   [Op("list", peer_label, stmt=peer_label, setup=setup),
                    Op("lookups", floor, stmt=floor, setup=setup)],
                   [Goal("list", 1.3)])


def read_cases():
    lines = lazy(numbers_file, 200_000, 1)
    # read must pass its prompt `s` to `input`, even the default "", and
    # `input` writes any prompt it is given to stdout (one `write` call per
    # line) where `input()` writes nothing; a plain `readline` also skips
    # `input`'s flushes and terminal checks: the cheaper peers.
    yield Case("read", "read(200000, func=int), 200k lines from a file",
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
    line = lazy(numbers_file, 1, 1_000_000)
    yield Case("read_split", "read_split(func=int), one line of 1M pieces",
               Op(KORVEX, "read_split(func=int)",
                  lambda: read_split(func=int), feed=line),
               [Op("python", "[func(i) for i in input(s).split(spl)]",
                   lambda: read_split_py(func=int), feed=line)],
               [Goal("python", 1.0)])
    line = lazy(numbers_file, 1, 100_000)
    yield Case("read_split_default", "read_split(), one line of 100k pieces",
               Op(KORVEX, "read_split()", read_split, feed=line),
               [Op("split", 'input("").split(" ")',
                   lambda: input("").split(" "), feed=line)],
               [Goal("split", 1.05)])


CALL_SETUP = """\
from korvex.list.strutils.sundle import str_sundle
from floor import floor
from operator import is_
def py(sep, s):
    pass"""


def call(key, label, stmt=None):
    return Op(key, label, stmt=stmt or label, setup=CALL_SETUP)


chain = itertools.chain.from_iterable
million = lazy(list, range(1_000_000))

CASES = [
    Case("call_positional", "str_sundle(1, 2): call overhead",
         call(KORVEX, "str_sundle(1, 2)"),
         [call("floor", "floor(1, 2), bench/floor.c", "floor(1, 2)"),
          call("is_", "operator.is_(1, 2)", "is_(1, 2)"),
          call("python", "def py(sep, s): pass; py(1, 2)", "py(1, 2)")],
         [counted_goal("floor", "str_sundle", "floor")]),
    Case("call_keywords", "str_sundle(s=1, sep=2): call overhead",
         call(KORVEX, "str_sundle(s=1, sep=2)"),
         [call("python", "py(s=1, sep=2)")],
         [counted_goal("python", "str_sundle_kw", "python_kw")]),
    *elemcount_cases(),
    case_on(million, "ambrel_f", "ambrel(ls, f), 1M ints, def f(x): return x",
            ("ambrel(ls, f)", lambda ls: ambrel(ls, f)),
            [("map", "list(map(f, ls))", lambda ls: list(map(f, ls))),
             ("comprehension", "[f(l) for l in ls]",
              lambda ls: [f(l) for l in ls]),
             ("python", "ambrel_py(ls, f)", lambda ls: ambrel_py(ls, f))],
            {"map": 1.05}),
    case_on(million, "ambrel_generator",
            "ambrel((l for l in ls), abs), 1M ints",
            ("ambrel((l for l in ls), abs)",
             lambda ls: ambrel((l for l in ls), abs)),
            [("comprehension", "[abs(l) for l in (l for l in ls)]",
              lambda ls: [abs(l) for l in (l for l in ls)])],
            {}),
    case_on(million, "ambrel_g", "ambrel(ls, g, 1, k=2), 1M ints",
            ("ambrel(ls, g, 1, k=2)", lambda ls: ambrel(ls, g, 1, k=2)),
            [("python", "ambrel_py(ls, g, 1, k=2)",
              lambda ls: ambrel_py(ls, g, 1, k=2)),
             ("comprehension", "[g(l, 1, k=2) for l in ls]",
              lambda ls: [g(l, 1, k=2) for l in ls])],
            {"python": 0.3}),
    case_on(lazy(joined_strings, 100_000, 4, ","), "multi_str_sundle",
            'multi_str_sundle(",", *strs), 100k strings of 4 pieces',
            ('multi_str_sundle(",", *strs)',
             lambda strs: multi_str_sundle(",", *strs)),
            [("split", '",".join(strs).split(",")',
              lambda strs: ",".join(strs).split(",")),
             ("python", 'multi_str_sundle_py(",", *strs)',
              lambda strs: multi_str_sundle_py(",", *strs)),
             ("chain", "list(chain.from_iterable(s.split(...)))",
              lambda strs: list(chain(s.split(",") for s in strs)))],
            {"split": 1.0, "python": 0.8}),
    case_on(lazy(joined_strings, 100_000, 4, " "), "multi_str_sundle_none",
            "multi_str_sundle(None, *strs), 100k strings of 4 pieces",
            ("multi_str_sundle(None, *strs)",
             lambda strs: multi_str_sundle(None, *strs)),
            [("split", '" ".join(strs).split()',
              lambda strs: " ".join(strs).split()),
             ("python", "multi_str_sundle_py(None, *strs)",
              lambda strs: multi_str_sundle_py(None, *strs))],
            {"split": 1.0}),
    *write_cases(),
    *read_cases(),
]


# --- running -----------------------------------------------------------------

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
        # timeit's loop, the setup in the same function so that the names
        # it binds are fast locals.
        source = TIMEIT_TEMPLATE.format(
            setup=textwrap.indent(op.setup, "    "),
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
        with stdin_from(op.feed()) as stream:
            for _ in range(loops):
                stream.seek(0)
                t0 = time.perf_counter()
                fn(*args)
                total += time.perf_counter() - t0
        return total
    return time_func


class OverBudget(Exception):
    pass


def within_budget(op, run):
    """run(), cut short by OverBudget once it has taken BUDGET seconds if
    `op` is korvex's (whose long loops check for signals; the peers are
    sized to stay well inside). `op`'s data is built first, outside the
    budget."""
    def expire(signum, frame):
        raise OverBudget
    if op.key != KORVEX:
        return run()
    op.args()
    if op.feed:
        op.feed()
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
        within_budget(op, lambda: timer(op)(1))
    except OverBudget:
        print(f"{name}: over {BUDGET:g} s a call, not measured")
        return True
    return False


def measure(runner, cases):
    """Runs every benchmark; in the manager process returns {benchmark
    name: pyperf.Benchmark}, in a worker None. The workers learn from
    --skip which operations the manager left out, to count as it does."""
    args = runner.args
    results = {}
    for case in cases:
        for op in case.ops():
            name = case.name(op.key)
            if not args.worker and over_budget(name, op):
                args.skip.append(name)
            if name not in args.skip:
                results[name] = runner.bench_time_func(
                    name, timer(op), inner_loops=UNROLL if op.stmt else None)
    return None if args.worker else results


def measure_paired(cases, rounds):
    """Without pyperf, in this one process: every round times korvex's
    operation and each peer's once, the order reversed every other round,
    so that a change in the machine's load hits all of them alike. Returns
    {benchmark name: [seconds per call, one per round]}."""
    samples = {}
    for case in cases:
        timers = {}
        for op in case.ops():
            name = case.name(op.key)
            if over_budget(name, op):
                continue
            inner, loops = timer(op), 1
            while inner(loops) < 0.01:
                loops *= 2
            timers[name] = inner, loops, loops * (UNROLL if op.stmt else 1)
            samples[name] = []
        for round_ in range(rounds):
            for name in list(timers)[::-1 if round_ % 2 else 1]:
                inner, loops, calls = timers[name]
                samples[name].append(inner(loops) / calls)
        print(f"{case.key}: done", file=sys.stderr)
    return samples


def run_once(op, written):
    """For --check: what one call of `op` returns, or hands the writer."""
    written.clear()
    if op.stmt is not None:
        timer(op)(1)  # runs; nothing to compare
        return None
    with stdin_from(op.feed()) if op.feed else contextlib.nullcontext():
        result = op.fn(*op.args())
    return written.pop() if written else result


def same(a, b):
    if isinstance(a, dict):
        # Counter or dict: the same items, the same keys in the same order.
        return list(a.items()) == list(dict(b).items())
    return a == b


def check(cases):
    """Runs every operation once and compares each peer's result with
    korvex's; returns the number of differences."""
    failures = 0
    written = []
    set_writer(lambda ls, sep, end: written.append(ls))
    for case in cases:
        found = {}
        for op in case.ops():
            try:
                found[op.key] = within_budget(
                    op, lambda: run_once(op, written))
            except OverBudget:
                found[op.key] = OverBudget
        for op in case.peers:
            if OverBudget in (found[KORVEX], found[op.key]):
                verdict = f"over {BUDGET:g} s a call, not compared"
            elif op.stmt is not None:
                verdict = "not compared"
            elif same(found[KORVEX], found[op.key]):
                verdict = "same result"
            else:
                verdict = "DIFFERENT RESULT"
                failures += 1
            print(f"{case.key:28} {op.key:14} {verdict}")
    return failures


# --- the table ---------------------------------------------------------------

def format_time(seconds):
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


def pyperf_stats(bench):
    """A pyperf.Benchmark's median and relative standard deviation."""
    values = bench.get_values()
    return bench.median(), (bench.stdev() / bench.mean()
                            if len(values) > 1 else 0.0)


def paired_stats(values):
    """The fastest round, and the rounds' relative standard deviation."""
    return min(values), (statistics.stdev(values) / statistics.fmean(values)
                         if len(values) > 1 else 0.0)


def summarize(benches, cases, stats):
    """The table's rows from {benchmark name: measurement}: one per case
    and peer, with both times (`stats` gives a time and its relative
    standard deviation) and the ratio korvex/peer."""
    rows = []
    for case in cases:
        mine = benches.get(case.name(KORVEX))
        for op in case.peers:
            other = benches.get(case.name(op.key))
            if mine is None or other is None:
                continue
            (k_time, k_rsd), (p_time, p_rsd) = stats(mine), stats(other)
            rows.append({
                "case": case.key, "label": case.label,
                "korvex": case.korvex.label, "korvex_time": k_time,
                "korvex_rsd": k_rsd, "peer": op.key, "peer_label": op.label,
                "peer_time": p_time, "peer_rsd": p_rsd,
                "ratio": k_time / p_time})
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


def goal_results(cases, rows, counts, measured):
    """Every goal of a measured case; missed, without a ratio, where the
    peer was measured and korvex's operation was not: over budget."""
    ratios = {(row["case"], row["peer"]): row["ratio"] for row in rows}
    found = []
    for case in cases:
        for goal in case.goals:
            ratio = ratios.get((case.key, goal.peer))
            if ratio is None:
                if case.name(goal.peer) not in measured:
                    continue
            elif goal.counted:
                if counts is None:
                    continue
                ratio = counts[goal.counted[0]] / counts[goal.counted[1]]
            found.append({"goal": case.goal_text(goal), "case": case.key,
                          "peer": goal.peer, "limit": goal.limit,
                          "ratio": ratio,
                          "met": ratio is not None and ratio <= goal.limit,
                          "in": "instructions" if goal.counted else "time"})
    return found


def table(rows, goals):
    lines = ["| case | korvex | peer | peer time | korvex/peer |",
             "|---|---:|---|---:|---:|"]
    for i, row in enumerate(rows):
        first = i == 0 or row["case"] != rows[i - 1]["case"]
        mine = (f"{format_time(row['korvex_time'])} "
                f"±{row['korvex_rsd']:.0%}")
        lines.append(
            f"| {row['label'] if first else ''} | {mine if first else ''} | "
            f"`{row['peer_label']}` | {format_time(row['peer_time'])} "
            f"±{row['peer_rsd']:.0%} | **{row['ratio']:.3g}** |")
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
                         set(benches))
    method = ("pyperf median" if stats is pyperf_stats
              else f"fastest of {args.paired} interleaved rounds")
    print(f"\nTimes are the {method} per call, ± the relative standard "
          "deviation; korvex/peer below 1 means korvex is faster.\n")
    print(table(rows, goals))
    if args.summary:
        with open(args.summary, "w", encoding="utf-8") as out:
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
    option = runner.argparser.add_argument
    option("--cases", metavar="REGEX",
           help="only the cases whose key matches REGEX")
    option("--skip", type=lambda names: names.split(","), default=[],
           help=argparse.SUPPRESS)
    option("--chart", metavar="PNG",
           help="draw the ratios as a bar chart (matplotlib)")
    option("--summary", metavar="JSON",
           help="write the table and the goals as JSON")
    option("--report", metavar="JSON",
           help="measure nothing: print the table from a file written with -o")
    option("--check", action="store_true",
           help="measure nothing: run each operation once, compare results")
    option("--paired", metavar="ROUNDS", type=int,
           help="measure without pyperf, in one process: each round runs "
                "korvex and its peers back to back; the fastest round counts")
    option("--list", action="store_true", help="list the cases and exit")
    args = runner.parse_args()
    if args.fast and not {"-p", "--processes"} & {
            arg.split("=")[0] for arg in sys.argv[1:]}:
        # pyperf's --fast still spawns 10 processes per benchmark; 4 keep a
        # few hash seeds.
        args.processes = 4
    cases = [case for case in CASES if re.search(args.cases or "", case.key)]
    if args.list:
        for case in cases:
            print(f"{case.key:28} {case.label}")
        return
    if args.report:
        suite = pyperf.BenchmarkSuite.load(args.report)
        report({bench.get_name(): bench for bench in suite.get_benchmarks()},
               cases, args)
        return
    if not args.worker:
        floor_build.build()
    from floor import sink
    set_writer(sink)
    if args.check:
        sys.exit(1 if check(cases) else 0)
    elif args.paired:
        report(measure_paired(cases, args.paired), cases, args,
               paired_stats)
    else:
        benches = measure(runner, cases)
        if benches is not None:
            report(benches, cases, args)


if __name__ == "__main__":
    main()
