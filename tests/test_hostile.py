"""Hostile but ordinary Python: call cycles through C-level callables,
callbacks that free what korvex is using, errors raised inside look-ups,
Ctrl-C during long C-only work and imports that fail half-way. Whatever can
crash runs in a child process, which must survive and go on working."""

import textwrap

import pytest

from conftest import entries, run_python
from korvex.dict.write import write_klist
from korvex.list.strutils.sundle import multi_str_sundle


def run_child(code):
    """Runs `code` in a fresh interpreter and returns its standard output;
    the child must exit normally."""
    returncode, out, err = run_python(textwrap.dedent(code))
    assert returncode == 0, err
    return out


# Each cycle calls a korvex function back with no Python frame in between.
CYCLES = {
    "class attribute": """
        from korvex.dict.write import write_klist as f
        class D:
            items = f
        call = lambda: f(D())
        """,
    "partial": """
        import functools
        from korvex.dict.write import write_vlist as f
        class D:
            pass
        d = D()
        d.items = functools.partial(f, d)
        call = lambda: f(d)
        """,
    "staticmethod": """
        from korvex.list.count import elemcount as f
        class L(list):
            count = staticmethod(f)
        l = L()
        l.append(l)
        call = lambda: f(l)
        """,
    "split method": """
        from korvex.list.strutils.sundle import multi_str_sundle as f
        class A:
            split = f
        a = A()
        call = lambda: f(a, a)
        """,
    "partial as func": """
        import functools
        from korvex.list.ambrel import ambrel as f
        ls = []
        p = functools.partial(f, ls)
        ls.append(p)
        call = lambda: f(ls, p)
        """,
    "partial keyword": """
        import functools, io, sys
        from korvex.list.read import read as f
        sys.stdin = io.StringIO("x\\n" * 30000)
        sys.stdout = io.StringIO()
        p = functools.partial(f, 1)
        p.keywords["func"] = p
        call = lambda: f(1, func=p)
        """,
    "bound method": """
        from korvex.list.ambrel import ambrel as f
        class O(list):
            m = f
        o = O()
        o.append(o.m)
        call = lambda: f(o, o.m)
        """,
    "split staticmethod": """
        import functools
        from korvex.list.strutils.sundle import multi_str_sundle as f
        class A:
            pass
        a = A()
        A.split = staticmethod(functools.partial(f, ",", a))
        call = lambda: f(",", a)
        """,
    "items staticmethod": """
        import functools
        from korvex.dict.write import write_klist as f
        class D:
            pass
        d = D()
        D.items = staticmethod(functools.partial(f, d))
        call = lambda: f(d)
        """,
}


@pytest.mark.parametrize("setup", CYCLES.values(), ids=CYCLES)
def test_call_cycles_through_c_end_in_recursion_error(setup):
    # In a thread with 3.5 MiB of stack, a little above what the deepest
    # shape needs (3,072 KiB with GCC, 3,264 KiB with Clang, 3,136 KiB
    # under the sanitizer):
    # frames that grow (inlining large locals into the bodies, say) fail
    # here before they overflow a main thread.
    out = run_child(setup + """
        import os, sys, threading
        def cycle():
            try:
                call()
            except RecursionError as e:
                tb, entries = e.__traceback__, []
                while tb is not None:
                    entries.append(tb.tb_frame.f_code.co_name)
                    tb = tb.tb_next
                names = {n for n in entries if n.startswith("korvex.")}
                print(names == {f.__module__ + "." + f.__name__},
                      len(entries) > 100, file=sys.__stdout__)
        threading.stack_size(3584 << 10)
        thread = threading.Thread(target=cycle)
        thread.start()
        thread.join()
        print(f.__name__ in repr(f), file=sys.__stdout__)
        """)
    assert out.split() == ["True", "True", "True"]


def test_elements_freed_by_count_stay_alive_as_keys():
    """A `count` that empties every list holding the element it is given
    (the private list of distinct elements among them)."""
    out = run_child("""
        import gc
        from korvex.list.count import elemcount
        class Key:
            def __init__(self, n): self.n = n
            def __hash__(self): return self.n
            def __eq__(self, other): return self.n == other.n
        class L(list):
            def __iter__(self):
                return (Key(n) for n in range(3))
            def count(self, v):
                for holder in gc.get_referrers(v):
                    if type(holder) is list:
                        holder.clear()
                return 1
        counts = elemcount(L())
        junk = [Key(-1) for _ in range(10000)]
        print(sorted(k.n for k in counts), list(counts.values()))
        """)
    assert out.strip() == "[0] [1]"


def test_keys_put_into_the_index_dict_by_a_handler_stay_alive():
    """A signal handler finds the result dict that serves as the index and
    adds a key whose hash drops it from that dict, and a value that is no
    count; the switch from that dict to the counter meets both."""
    out = run_child("""
        import ctypes, functools, gc, operator, signal
        from korvex.list.count import elemcount
        class Plain:
            pass
        class DropsItself:
            armed = False
            def __hash__(self):
                if DropsItself.armed:
                    DropsItself.armed = False
                    index.pop(self)
                return 13
        ls = [Plain() for _ in range(4200)]
        ls += [ls[0]] * 5000
        index = None
        def handler(*_):
            global index
            index = next(o for o in gc.get_objects()
                         if type(o) is dict and ls[1] in o)
            index[DropsItself()] = Plain()
            DropsItself.armed = True
        signal.signal(signal.SIGUSR1, handler)
        raise_it = functools.partial(ctypes.CDLL(None)["raise"],
                                     signal.SIGUSR1)
        *_, counts = map(operator.call,
                         [raise_it, functools.partial(elemcount, ls)])
        junk = [Plain() for _ in range(10000)]
        print(index is not None, counts[ls[0]], counts[ls[1]],
              sorted(n for k, n in counts.items() if type(k) is not Plain))
        """)
    assert out.strip() == "True 5001 1 [0]"


def test_argument_freed_by_its_own_method_stays_alive():
    """A partial whose state is replaced while its korvex function runs
    drops the only other reference to the argument."""
    out = run_child("""
        import functools
        from korvex.list.count import elemcount
        class L(list):
            def __iter__(self):
                return iter(["a", "b"])
            def count(self, v):
                p.__setstate__((elemcount, ((),), {}, None))
                return len(self.tag)
        l = L()
        l.tag = "xyz"
        p = functools.partial(elemcount, l)
        del l
        print(p())
        """)
    assert out.strip() == "{'a': 3, 'b': 3}"


def test_arguments_freed_during_a_long_split_stay_alive():
    """The partial's state holds the only references to the strings it
    passes; a signal handler, run at the signal check of a long split,
    replaces that state. The signal is raised with no Python frame between
    it and the call, so the handler runs inside the split."""
    out = run_child("""
        import ctypes, functools, operator, signal
        from korvex.list.strutils.sundle import multi_str_sundle
        strings = ["%d,%d" % (i, -i) for i in range(300_000)]
        expected = [piece for s in strings for piece in s.split(",")]
        p = functools.partial(multi_str_sundle, ",", *strings)
        del strings
        order = []
        def handler(*_):
            order.append("handler")
            p.__setstate__((multi_str_sundle, (",",), {}, None))
            junk = ["J%dJ" % i for i in range(300_000)]
        signal.signal(signal.SIGUSR1, handler)
        # libc's raise: os.kill and signal.raise_signal run the handler
        # before they return.
        raise_it = functools.partial(ctypes.CDLL(None)["raise"], signal.SIGUSR1)
        after = functools.partial(order.append, "after")
        _, result, _ = map(operator.call, [raise_it, p, after])
        print(order, result == expected)
        """)
    assert out.strip() == "['handler', 'after'] True"


class Rows:
    @property
    def items(self):
        return self._rows


@pytest.mark.parametrize("d,message,name", [
    (Rows(), "'Rows' object has no attribute '_rows'", "_rows"),
    ([("a", 1)], "'list' object has no attribute 'items'", "items"),
    (None, "'NoneType' object has no attribute 'items'", "items"),
])
def test_attribute_errors_are_the_ones_that_happened(d, message, name):
    with pytest.raises(AttributeError) as caught:
        write_klist(d)
    assert str(caught.value) == message
    assert (caught.value.name, caught.value.obj) == (
        name, d if name == "items" else caught.value.obj)
    assert ("korvex.dict.write.write_klist", 3) in [
        entry[:2] for entry in entries(caught.value)]


def test_exception_kept_as_context_when_its_entry_cannot_be_made():
    out = run_child("""
        import korvex.list.count as m
        class Evil(str):
            def __hash__(self): return hash("__builtins__")
            def __eq__(self, other): raise ZeroDivisionError("evil")
        del m.__dict__["__builtins__"]
        m.__dict__[Evil("x")] = 1
        try:
            m.elemcount(5)
        except ZeroDivisionError as e:
            print(type(e.__context__).__name__, e.__context__)
        """)
    assert out.strip() == "TypeError 'int' object is not iterable"


def test_non_iterable_split_result_fails_like_slice_assignment():
    class Splits:
        def split(self, sep):
            return 7
    with pytest.raises(TypeError,
                       match="^must assign iterable to extended slice$"):
        multi_str_sundle(",", "a", Splits())


# Long C-only work, interrupted by SIGINT from another process: (set-up,
# call, the traceback entry the KeyboardInterrupt must carry).
INTERRUPTED = {
    "elemcount general walk": (
        "from korvex.list.count import elemcount as f",
        "f([[i] for i in range(40000)])", "korvex.list.count.elemcount 3"),
    "ambrel endless": (
        "from korvex.list.ambrel import ambrel as f; import itertools",
        "f(itertools.repeat(None), bool)", "korvex.list.ambrel.ambrel 2"),
    "split of many long strings": (
        "from korvex.list.strutils.sundle import multi_str_sundle as f\n"
        "strings = ['x' * 1_000_000] * 100_000",
        "f(',', *strings)", "korvex.list.strutils.sundle.multi_str_sundle 5"),
    "write endless items": (
        "from korvex.dict.write import write_klist as f; import itertools\n"
        "class D:\n    def items(self): return itertools.repeat((1, 2))",
        "f(D())", "korvex.dict.write.write_klist 3"),
}


# Two ways a long C-only loop must be stopped: a signal (Ctrl-C) that the
# loop's checks see, and a thread that waits for the interpreter lock,
# which the checks let run, and which then interrupts the main thread;
# without the hand-over the loop would run to its end (or for ever) first.
INTERRUPTERS = {
    "Ctrl-C": 'subprocess.Popen(["sh", "-c", '
              'f"sleep 0.3; kill -INT {os.getpid()}"])',
    "waiting thread": "threading.Thread(target=lambda: (time.sleep(0.2), "
                      "_thread.interrupt_main())).start()",
}


@pytest.mark.parametrize("interrupter", INTERRUPTERS.values(),
                         ids=INTERRUPTERS)
@pytest.mark.parametrize("setup,call,entry", INTERRUPTED.values(),
                         ids=INTERRUPTED)
def test_long_c_loops_are_interrupted(setup, call, entry, interrupter):
    out = run_child(setup + f"""
import _thread, os, resource, subprocess, threading, time
if "libasan" not in os.environ.get("LD_PRELOAD", ""):  # ASan maps terabytes
    resource.setrlimit(resource.RLIMIT_AS, (6 << 30, 6 << 30))
{interrupter}
try:
    {call}
except KeyboardInterrupt as e:
    tb = e.__traceback__
    while tb.tb_next is not None:
        tb = tb.tb_next
    print(tb.tb_frame.f_code.co_name, tb.tb_lineno)
""")
    assert out.strip() == entry


@pytest.mark.parametrize("load", [
    "spec_from_file_location('alias.write', origin)",
    "spec_from_file_location('korvex.dict.write', origin)",
])
def test_failed_exec_leaves_no_module_behind(load):
    out = run_child(f"""
        import importlib.util, sys
        origin = importlib.util.find_spec("korvex.dict.write").origin
        sys.modules["list"] = None
        spec = importlib.util.{load}
        module = importlib.util.module_from_spec(spec)
        try:
            spec.loader.exec_module(module)
        except ModuleNotFoundError as e:
            print("korvex.dict.write" in sys.modules, e.__notes__)
        del sys.modules["list"]
        import korvex.dict.write
        print(hasattr(korvex.dict.write, "write_klist"))
        """)
    first, second = out.splitlines()
    assert first.startswith("False [") and "korvex-list-writer" in first
    assert second == "True"


# A partial hands its stored arguments over borrowed. Replacing its state
# from a keyword name's `__eq__` (comparing it with a parameter name) or
# `__hash__` (storing it into `**kwargs`), which the binding runs, frees
# them: (set-up, the partial's arguments, its keyword, what a def with the
# same signature prints).
BINDING_CALLS = {
    "ambrel": ("from korvex.list.ambrel import ambrel as f",
               "[str(i) * 3 for i in range(50)]", "__eq__ func=len",
               "[3, 3, 3]"),
    "ambrel **kwargs": (
        "from korvex.list.ambrel import ambrel as f",
        "[str(i) * 3 for i in range(50)], lambda l, **kw: len(l) + len(kw)",
        "__hash__ extra=0", "[4, 4, 4]"),
    "write_klist": ("from korvex.dict.write import write_klist as f",
                    "{str(i) * 3: i for i in range(3)}", "__eq__ sep=','",
                    "000,111,222"),
    "write_vlist": ("from korvex.dict.write import write_vlist as f",
                    "{i: str(i) * 3 for i in range(3)}, '-'.join('ab')",
                    "__eq__ end=''", "000a-b111a-b222"),
    "read": ("from korvex.list.read import read as f",
             "2, ''.join(['?', '?'])", "__eq__ func=str.upper",
             "['A', 'B']"),
    "read_split": ("from korvex.list.read import read_split as f",
                   "'', ''.join(['-', '-'])", "__eq__ func=str.upper",
                   "['A', 'B']"),
}


@pytest.mark.parametrize("setup,positional,keyword,expected",
                         BINDING_CALLS.values(), ids=BINDING_CALLS)
def test_arguments_freed_while_keywords_bind_stay_alive(
        setup, positional, keyword, expected):
    hook, keyword = keyword.split()
    name, value = keyword.split("=")
    out = run_child(setup + f"""
import functools, io, sys
sys.stdin = io.StringIO("a\\nb\\n" if f.__name__ == "read" else "a--b\\n")
sys.stdout = io.StringIO()
armed = False
class Name(str):
    __hash__ = str.__hash__
    def {hook}(self, *other):
        global armed
        if armed:
            armed = False
            p.__setstate__((print, (), {{}}, None))
            junk = [[-1] * 8 for _ in range(1000)]
        return getattr(str, "{hook}")(self, *other)
p = functools.partial(f, {positional})
keywords = {{Name("{name}"): {value}}}
armed = True
result = p(**keywords)
out = sys.stdout.getvalue()
sys.stdout = sys.__stdout__
print(armed, out.replace("??", "") + str(result[:3] if result else ""))
""")
    assert out.strip() == f"False {expected}"


def test_attribute_error_raised_by_the_lookup_is_kept():
    class Key:
        def __hash__(self):
            return hash("items")

        def __eq__(self, other):
            raise AttributeError("raised by Key.__eq__")

    class O:
        pass
    o = O()
    o.__dict__[Key()] = 1
    with pytest.raises(AttributeError) as python:
        o.items()
    with pytest.raises(AttributeError) as korvex:
        write_klist(o)
    assert str(korvex.value) == str(python.value) == "raised by Key.__eq__"
