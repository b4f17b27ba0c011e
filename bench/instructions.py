"""Call overhead in instructions, counted by callgrind.

    python bench/instructions.py            # N = 100,000 calls
    python bench/instructions.py -n 20000

For each callable one interpreter runs under callgrind, which counts only
inside `floor.measure` (bench/floor.c): a loop of N calls, one of 2N calls,
and the same two loops with an empty body, each after a warm-up that lets
the interpreter specialise the loop. A call then costs

    ((calls(2N) - calls(N)) - (empty(2N) - empty(N))) / N

instructions: what runs once per loop cancels out, and so does the loop.
The counts depend neither on the machine's load nor on its clock, so every
interpreter runs twice and the two must agree exactly (exit status 1
otherwise). Instructions are not time (a cache miss costs more than an
add), which is why bench.py measures the same calls with pyperf.
"""

import argparse
import os
import pathlib
import subprocess
import sys
import tempfile

import floor_build

# (key, label, setup binding `f`, the call)
CALLABLES = [
    ("str_sundle", "str_sundle(1, 2)",
     "from korvex.list.strutils.sundle import str_sundle as f", "f(1, 2)"),
    ("floor", "floor(1, 2)", "from floor import floor as f", "f(1, 2)"),
    ("is_", "operator.is_(1, 2)", "from operator import is_ as f", "f(1, 2)"),
    ("python", "py(1, 2), def py(sep, s): pass",
     "def f(sep, s):\n    pass", "f(1, 2)"),
    ("str_sundle_kw", "str_sundle(s=1, sep=2)",
     "from korvex.list.strutils.sundle import str_sundle as f",
     "f(s=1, sep=2)"),
    ("python_kw", "py(s=1, sep=2)", "def f(sep, s):\n    pass",
     "f(s=1, sep=2)"),
]

# The goals set in instructions (bench.py checks them too):
# {(korvex's key, the peer's key): at most this ratio}
GOALS = {
    ("str_sundle", "floor"): 1.25,
    ("str_sundle_kw", "python_kw"): 0.7,
}

# (korvex's key, the peer's key) of every ratio printed
RATIOS = [("str_sundle", "floor"), ("str_sundle", "is_"),
          ("str_sundle", "python"), ("str_sundle_kw", "python_kw")]

SCRIPT = """\
import sys
sys.path.insert(0, {build!r})
from floor import measure
{setup}

def calls(n, f):
    for _ in range(n):
        {call}

def empty(n, f):
    for _ in range(n):
        pass

calls(1000, f)
empty(1000, f)
for loop in (calls, empty):
    for n in ({n}, {n2}):
        measure(loop, n, f)
"""


def count(setup, call, n, out):
    """The instructions of the four measured loops (calls N, calls 2N,
    empty N, empty 2N), from one interpreter under callgrind."""
    script = SCRIPT.format(build=str(floor_build.DIR), setup=setup, call=call,
                           n=n, n2=2 * n)
    for old in out.parent.glob(out.name + "*"):
        old.unlink()
    subprocess.run(
        ["valgrind", "--tool=callgrind", "--collect-atstart=no",
         "--toggle-collect=floor_measure", "--dump-after=floor_measure",
         f"--callgrind-out-file={out}", sys.executable, "-c", script],
        check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
        env=dict(os.environ, PYTHONHASHSEED="0"))
    totals = []
    for part in range(1, 5):
        text = pathlib.Path(f"{out}.{part}").read_text()
        totals.append(next(int(line.split()[1]) for line in text.splitlines()
                           if line.startswith("totals:")))
    return totals


def measure(n, show=lambda line: None):
    """Instructions per call of every callable, net of the loop, and
    whether every count repeated exactly; `show` gets a line per callable."""
    floor_build.build()
    per_call = {}
    repeated = True
    with tempfile.TemporaryDirectory(prefix="korvex-callgrind-") as tmp:
        out = pathlib.Path(tmp) / "callgrind.out"
        for key, label, setup, call in CALLABLES:
            first = count(setup, call, n, out)
            again = count(setup, call, n, out)
            calls_n, calls_2n, empty_n, empty_2n = first
            per_call[key] = ((calls_2n - calls_n) - (empty_2n - empty_n)) / n
            verdict = "repeated exactly" if again == first else \
                f"NOT REPEATED: {first} then {again}"
            repeated = repeated and again == first
            show(f"  {label:34} {per_call[key]:8.1f}   {verdict}")
    return per_call, repeated


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("-n", type=int, default=100_000,
                        help="calls in the shorter loop (default 100,000)")
    args = parser.parse_args()
    print(f"instructions per call, net of the loop, N = {args.n:,}")
    per_call, repeated = measure(args.n, print)
    print()
    labels = {key: label for key, label, _, _ in CALLABLES}
    for mine, peer in RATIOS:
        goal = GOALS.get((mine, peer))
        ratio = per_call[mine] / per_call[peer]
        line = f"  {labels[mine]} / {labels[peer]}: {ratio:.3f}"
        if goal is not None:
            line += f"  (goal <= {goal}: {'met' if ratio <= goal else 'missed'})"
        print(line)
    sys.exit(0 if repeated else 1)


if __name__ == "__main__":
    main()
