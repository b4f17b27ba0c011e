"""A short tour of korvex: one section per module, each printing what its
calls return. Run it through `make demo`, which feeds a few lines on stdin.

Every section imports its own module, so a module that fails to build or
import stops the tour with its error instead of being left out.
"""

import traceback


def section(title):
    print()
    print(f"== {title} ==")


def show(label, thunk):
    """Prints what a call returns, or the exception it raises and the
    innermost traceback line it carries."""
    try:
        result = thunk()
    except Exception as exc:
        last = traceback.extract_tb(exc.__traceback__)[-1]
        print(f"{label} -> {type(exc).__name__}: {exc}"
              f"  [{last.name}, line {last.lineno}]")
    else:
        print(f"{label} -> {result!r}")


def demo_count():
    section("korvex.list.count")
    from korvex.list.count import elemcount

    show("elemcount([3, 1, 3, 2, 1, 3])", lambda: elemcount([3, 1, 3, 2, 1, 3]))
    show("elemcount('origin')", lambda: elemcount("origin"))
    show("elemcount((1, 1.0, True, 2))", lambda: elemcount((1, 1.0, True, 2)))
    show("elemcount([])", lambda: elemcount([]))
    show("elemcount(5)", lambda: elemcount(5))
    show("elemcount([[1], [1]])", lambda: elemcount([[1], [1]]))


def demo_read():
    # Reads the lines `make demo` feeds on stdin: "3", then "10 20 30".
    section("korvex.list.read")
    from korvex.list.read import read, read_split

    show("read(1, func=int)", lambda: read(1, func=int))
    show("read_split(func=int)", lambda: read_split(func=int))
    show("read(1) with no line left", lambda: read(1))
    show("read(0)", lambda: read(0))
    show("read.__defaults__[1]('kept')", lambda: read.__defaults__[1]("kept"))


SECTIONS = [
    demo_count,
    demo_read,
]


def main():
    print("korvex demo")
    for run in SECTIONS:
        run()


if __name__ == "__main__":
    main()
