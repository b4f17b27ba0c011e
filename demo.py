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


def demo_sundle():
    section("korvex.list.strutils.sundle")
    from korvex.list.strutils.sundle import multi_str_sundle, str_sundle

    show("multi_str_sundle(',', 'a,b', 'c', 'd,,e')",
         lambda: multi_str_sundle(",", "a,b", "c", "d,,e"))
    show("multi_str_sundle(None, ' x  y ', 'z\\tw')",
         lambda: multi_str_sundle(None, " x  y ", "z\tw"))
    show("multi_str_sundle(b'-', b'1-2', b'3')",
         lambda: multi_str_sundle(b"-", b"1-2", b"3"))
    show("multi_str_sundle(',')", lambda: multi_str_sundle(","))
    show("multi_str_sundle(',', 'a,b', 5)",
         lambda: multi_str_sundle(",", "a,b", 5))
    show("multi_str_sundle('', 'a')", lambda: multi_str_sundle("", "a"))
    show("multi_str_sundle(',', 'a', sep=';')",
         lambda: multi_str_sundle(",", "a", sep=";"))
    show("str_sundle(s=1, sep=2)", lambda: str_sundle(s=1, sep=2))
    show("str_sundle(sep=',')", lambda: str_sundle(sep=","))


def demo_ambrel():
    section("korvex.list.ambrel")
    from korvex.list.ambrel import ambrel

    show("ambrel([1, 2, 3], pow, 2)", lambda: ambrel([1, 2, 3], pow, 2))
    show("ambrel(['a,b', 'c;d'], str.split, sep=',')",
         lambda: ambrel(["a,b", "c;d"], str.split, sep=","))
    show("ambrel({'k': 1, 'j': 2}, str.upper)",
         lambda: ambrel({"k": 1, "j": 2}, str.upper))
    show("ambrel(ls=[1, 2], func=str)", lambda: ambrel(ls=[1, 2], func=str))
    show("ambrel([], None)", lambda: ambrel([], None))
    show("ambrel(5, str)", lambda: ambrel(5, str))
    show("ambrel([1, 0], lambda x: 1 / x)",
         lambda: ambrel([1, 0], lambda x: 1 / x))
    show("ambrel(ls=[1])", lambda: ambrel(ls=[1]))


def demo_write():
    section("korvex.dict.write")
    from korvex.dict.write import write_klist, write_vlist

    colours = {"red": 1, "green": 2, "blue": 3}

    class Pairs:
        def items(self):
            return ["ab", ("one", 1)]

    # The writer prints the line; `show` then reports the None returned.
    show("write_klist(colours)", lambda: write_klist(colours))
    show("write_vlist(colours, ', ', '.\\n')",
         lambda: write_vlist(colours, ", ", ".\n"))
    show("write_klist(d=colours, sep='|')",
         lambda: write_klist(d=colours, sep="|"))
    show("write_vlist(Pairs())", lambda: write_vlist(Pairs()))
    show("write_klist(None)", lambda: write_klist(None))
    show("write_klist([('a', 1)])", lambda: write_klist([("a", 1)]))
    show("write_vlist(colours, '-', sep='+')",
         lambda: write_vlist(colours, "-", sep="+"))


SECTIONS = [
    demo_count,
    demo_read,
    demo_sundle,
    demo_ambrel,
    demo_write,
]


def main():
    print("korvex demo")
    for run in SECTIONS:
        run()


if __name__ == "__main__":
    main()
