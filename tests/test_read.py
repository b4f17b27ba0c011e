"""korvex.list.read: read(n, s="", func) and read_split(s="", spl=" ", func)
on standard input, their binding, defaults, code objects and traceback
entries."""

import builtins
import inspect
import io
import json
import subprocess
import sys
import warnings
import weakref

import pytest

import korvex.list.read as module
from conftest import Boom, entries, entries_from_korvex, run_python
from korvex.list.read import read, read_split

# The traceback form of the source path (two backslashes between parts) and
# the code-object form (one backslash).
TB_FILE = "src\\\\korvex\\\\list\\\\read.cpp"
CODE_FILE = "src\\korvex\\list\\read.cpp"

READ_LAMBDA = read.__defaults__[1]
SPLIT_LAMBDA = read_split.__defaults__[2]
POK = inspect.Parameter.POSITIONAL_OR_KEYWORD


@pytest.fixture
def stdin(monkeypatch):
    """Replaces sys.stdin with a StringIO holding `text`; returns it."""
    def feed(text):
        stream = io.StringIO(text)
        monkeypatch.setattr(sys, "stdin", stream)
        return stream
    return feed


def korvex_entries(exc):
    """(name, line) of every korvex traceback entry of `exc`, all of which
    must carry this module's traceback file name."""
    found = entries_from_korvex(exc)
    assert {filename for _, _, filename, _ in found} <= {TB_FILE}
    return [(name, line) for name, line, _, _ in found]


# --- read ------------------------------------------------------------------

@pytest.mark.parametrize("args, kwargs, text, expected, written, rest", [
    ((0,), {}, "a\n", [], "", "a\n"),
    ((-3, "> "), {}, "a\n", [], "", "a\n"),
    ((0, "> ", None), {}, "a\n", [], "", "a\n"),
    ((2,), {}, "a\nb\nc\n", ["a", "b"], "", "c\n"),
    ((2,), {"func": int}, "1\n2\n", [1, 2], "", ""),
    ((), {"n": 2, "s": "> "}, "a\nb\n", ["a", "b"], "> > ", ""),
    ((2, 5), {}, "a\nb\n", ["a", "b"], "55", ""),
    ((3,), {}, "\n  x \nlast", ["", "  x ", "last"], "", ""),
    ((True, "? ", str.upper), {}, "q\nr\n", ["Q"], "? ", "r\n"),
], ids=["zero", "negative", "zero-func-none", "two", "func-int", "keywords",
        "prompt-not-str", "blank-and-no-newline", "bool-count"])
def test_read_returns_converted_lines(stdin, capsys, args, kwargs, text,
                                      expected, written, rest):
    stream = stdin(text)
    result = read(*args, **kwargs)
    assert type(result) is list
    assert result == expected
    assert capsys.readouterr().out == written
    assert stream.read() == rest


def test_read_prompts_reads_and_converts_one_line_at_a_time(stdin, capsys):
    stdin("a\nb\nc\n")
    seen = []

    def func(line):
        seen.append((line, capsys.readouterr().out, sys.stdin.tell()))
        return line.upper()

    assert read(2, "> ", func) == ["A", "B"]
    assert seen == [("a", "> ", 2), ("b", "> ", 4)]
    assert capsys.readouterr().out == ""


def test_stdin_is_looked_up_at_each_call(stdin):
    stdin("first\n")
    assert read(1) == ["first"]
    stdin("second third\n")
    assert read_split() == ["second", "third"]


@pytest.mark.parametrize("name", ["input", "range"])
def test_builtins_replaced_after_import_are_not_used(stdin, monkeypatch,
                                                     name):
    def replaced(*args):
        raise AssertionError(f"builtins.{name} was called")

    monkeypatch.setattr(builtins, name, replaced)
    stdin("a\nb\nc d\n")
    assert read(2) == ["a", "b"]
    assert read_split() == ["c", "d"]


@pytest.mark.parametrize("call, text, expected", [
    (lambda f: read(3, "", f), "a\nb\nc\n", ["a", "b", "c"]),
    (lambda f: read_split("", ",", f), "a,b,c\n", ["a", "b", "c"]),
], ids=["read", "read_split"])
def test_result_holds_exactly_the_objects_func_returns(stdin, call, text,
                                                       expected):
    stdin(text)
    given, made = [], []

    def func(item):
        given.append(item)
        made.append(object())
        return made[-1]

    result = call(func)
    assert given == expected
    assert len(result) == len(made)
    assert all(got is want for got, want in zip(result, made))


# --- read_split ------------------------------------------------------------

@pytest.mark.parametrize("args, kwargs, line, expected", [
    ((), {}, "1 2 3", ["1", "2", "3"]),
    ((), {}, "1  2", ["1", "", "2"]),
    ((), {}, " 1 ", ["", "1", ""]),
    ((), {}, "", [""]),
    ((), {}, "a\tb", ["a\tb"]),
    ((), {"spl": None}, "1  2", ["1", "2"]),
    ((), {"spl": None}, " \t1 2\t ", ["1", "2"]),
    ((), {"spl": None}, "", []),
    ((), {"spl": ","}, "a,b", ["a", "b"]),
    ((), {"spl": ", "}, "a, b,c", ["a", "b,c"]),
    ((), {"func": int}, "1 2 3", [1, 2, 3]),
    (("? ", ";", float), {}, "1;2.5", [1.0, 2.5]),
    ((), {"s": "> ", "func": len}, "ab c", [2, 1]),
], ids=["spaces", "two-spaces", "edge-spaces", "empty-line", "tab-kept",
        "none", "none-whitespace", "none-empty", "comma", "two-char",
        "func-int", "positional", "keywords"])
def test_read_split_pieces_of_one_line(stdin, capsys, args, kwargs, line,
                                       expected):
    stream = stdin(line + "\nnext line\n")
    assert read_split(*args, **kwargs) == expected
    prompt = args[0] if args else kwargs.get("s", "")
    assert capsys.readouterr().out == prompt
    assert stream.read() == "next line\n"


# --- failures in the bodies --------------------------------------------------

@pytest.mark.parametrize("call, text, exc, message, written, rest, entry", [
    (lambda: read(3, "> "), "a\nb\n", EOFError, "EOF when reading a line",
     "> > > ", "", ("korvex.list.read.read", 2)),
    (lambda: read("x", "> "), "a\n", TypeError,
     "'str' object cannot be interpreted as an integer", "", "a\n",
     ("korvex.list.read.read", 2)),
    (lambda: read(None), "a\n", TypeError,
     "'NoneType' object cannot be interpreted as an integer", "", "a\n",
     ("korvex.list.read.read", 2)),
    (lambda: read(1, "> ", None), "a\nb\n", TypeError,
     "'NoneType' object is not callable", "> ", "b\n",
     ("korvex.list.read.read", 2)),
    (lambda: read(3, func=int), "1\nz\n3\n", ValueError,
     "invalid literal for int() with base 10: 'z'", "", "3\n",
     ("korvex.list.read.read", 2)),
    (lambda: read_split("> "), "", EOFError, "EOF when reading a line", "> ",
     "", ("korvex.list.read.read_split", 4)),
    (lambda: read_split(func=int), "1  2\nn\n", ValueError,
     "invalid literal for int() with base 10: ''", "", "n\n",
     ("korvex.list.read.read_split", 4)),
    (lambda: read_split(spl=""), "1 2\nn\n", ValueError, "empty separator",
     "", "n\n", ("korvex.list.read.read_split", 4)),
    (lambda: read_split(spl=1), "1 2\nn\n", TypeError,
     "must be str or None, not int", "", "n\n",
     ("korvex.list.read.read_split", 4)),
    (lambda: read_split(func=None), "1 2\nn\n", TypeError,
     "'NoneType' object is not callable", "", "n\n",
     ("korvex.list.read.read_split", 4)),
], ids=["read-eof", "read-range-str", "read-range-none", "read-func-none",
        "read-func-raises", "split-eof", "split-int-empty", "split-empty-sep",
        "split-int-sep", "split-func-none"])
def test_body_failures(stdin, capsys, call, text, exc, message, written, rest,
                       entry):
    stream = stdin(text)
    with pytest.raises(exc) as info:
        call()
    assert type(info.value) is exc
    assert str(info.value) == message
    assert korvex_entries(info.value) == [entry]
    assert capsys.readouterr().out == written
    assert stream.read() == rest


def inner(item):
    raise Boom(item)


def outer(item):
    inner(item)


@pytest.mark.parametrize("call, text, entry", [
    (lambda: read(2, "", outer), "a\nb\n", ("korvex.list.read.read", 2)),
    (lambda: read_split("", " ", outer), "a b\n",
     ("korvex.list.read.read_split", 4)),
], ids=["read", "read_split"])
def test_func_exception_keeps_its_own_entries(stdin, call, text, entry):
    stdin(text)
    with pytest.raises(Boom) as info:
        call()
    assert info.value.args == ("a",)
    names = [(name, line) for name, line, _, _ in entries(info.value)]
    assert names[-3] == entry
    assert [name for name, _ in names[-2:]] == ["outer", "inner"]
    assert korvex_entries(info.value) == [entry]


class FailingStream(io.StringIO):
    def readline(self, *args):
        raise KeyboardInterrupt


@pytest.mark.parametrize("call, entry", [
    (lambda: read(1), ("korvex.list.read.read", 2)),
    (lambda: read_split(), ("korvex.list.read.read_split", 4)),
], ids=["read", "read_split"])
def test_stream_errors_pass_through(monkeypatch, call, entry):
    monkeypatch.setattr(sys, "stdin", FailingStream("a\n"))
    with pytest.raises(KeyboardInterrupt) as info:
        call()
    assert korvex_entries(info.value) == [entry]


class Token:
    pass


@pytest.mark.parametrize("call, text", [
    (lambda f: read(3, "", f), "a\nb\nc\n"),
    (lambda f: read_split("", " ", f), "a b c\n"),
], ids=["read", "read_split"])
def test_partial_results_are_released_on_failure(stdin, call, text):
    stdin(text)
    alive = []

    def func(item):
        if len(alive) == 2:
            raise Boom(item)
        token = Token()
        alive.append(weakref.ref(token))
        return token

    with pytest.raises(Boom):
        call(func)
    assert len(alive) == 2
    assert [ref() for ref in alive] == [None, None]


def test_calls_keep_no_references_to_their_arguments(stdin):
    prompt = "".join(["p", "> "])
    sep = "".join([",", ";"])

    def func(item):
        return item

    objects = (prompt, sep, func)
    before = [sys.getrefcount(o) for o in objects]
    for _ in range(10):
        stdin("a,;b\nc,;d\n")
        read(1, prompt, func)
        read_split(prompt, sep, func)
        with pytest.raises(EOFError):
            read(1, prompt, func)
        with pytest.raises(EOFError):
            read_split(prompt, sep, func)
    assert [sys.getrefcount(o) for o in objects] == before


# --- binding ---------------------------------------------------------------

def at_least(name, given):
    return f"{name}() takes at least 1 positional argument ({given} given)"


def at_most(name, given):
    return f"{name}() takes at most 3 positional arguments ({given} given)"


def exactly(name, given):
    return f"{name}() takes exactly 1 positional argument ({given} given)"


R = ("korvex.list.read.read", 1)
RS = ("korvex.list.read.read_split", 3)
L = ("korvex.list.read.lambda", 1)
L1 = ("korvex.list.read.lambda1", 3)


@pytest.mark.parametrize("func, args, kwargs, message, entry", [
    (read, (), {}, at_least("read", 0), R),
    (read, (), {"func": str}, at_least("read", 0), R),
    (read, (), {"x": 1}, at_least("read", 0), R),
    (read, (), {"s": "", "func": str, "x": 1}, at_least("read", 0), R),
    (read, (1, 2, 3, 4), {}, at_most("read", 4), R),
    (read, (1, 2, 3, 4), {"x": 1}, at_most("read", 4), R),
    (read, (1,), {"n": 2},
     "read() got multiple values for keyword argument 'n'", R),
    (read, (1, "", str), {"s": ""},
     "read() got multiple values for keyword argument 's'", R),
    (read, (1,), {"x": 2}, "read() got an unexpected keyword argument 'x'", R),
    (read, (), {"n": 1, "spl": " "},
     "read() got an unexpected keyword argument 'spl'", R),
    (read_split, (1, 2, 3, 4), {}, at_most("read_split", 4), RS),
    (read_split, (1, 2, 3, 4, 5), {}, at_most("read_split", 5), RS),
    (read_split, (1, 2, 3, 4), {"x": 1}, at_most("read_split", 4), RS),
    (read_split, (), {"x": 1},
     "read_split() got an unexpected keyword argument 'x'", RS),
    (read_split, (), {"n": 1},
     "read_split() got an unexpected keyword argument 'n'", RS),
    (read_split, ("",), {"s": ""},
     "read_split() got multiple values for keyword argument 's'", RS),
    (read_split, ("", " ", str), {"func": str},
     "read_split() got multiple values for keyword argument 'func'", RS),
    (READ_LAMBDA, (), {}, exactly("lambda", 0), L),
    (READ_LAMBDA, (1, 2), {}, exactly("lambda", 2), L),
    (READ_LAMBDA, (), {"x": 1}, exactly("lambda", 0), L),
    (READ_LAMBDA, (1,), {"s": 2},
     "lambda() got multiple values for keyword argument 's'", L),
    (READ_LAMBDA, (1,), {"x": 2},
     "lambda() got an unexpected keyword argument 'x'", L),
    (SPLIT_LAMBDA, (1, 2), {}, exactly("lambda1", 2), L1),
    (SPLIT_LAMBDA, (), {}, exactly("lambda1", 0), L1),
    (SPLIT_LAMBDA, (), {"s": 1, "t": 2},
     "lambda1() got an unexpected keyword argument 't'", L1),
])
def test_binding_errors(stdin, capsys, func, args, kwargs, message, entry):
    stream = stdin("a b\n")
    with pytest.raises(TypeError) as info:
        func(*args, **kwargs)
    assert str(info.value) == message
    assert korvex_entries(info.value) == [entry]
    assert capsys.readouterr().out == ""
    assert stream.read() == "a b\n"


@pytest.mark.parametrize("func, name", [
    (read, "read"), (read_split, "read_split"),
    (READ_LAMBDA, "lambda"), (SPLIT_LAMBDA, "lambda1"),
])
def test_messages_use_the_fixed_name_not_dunder_name(monkeypatch, func,
                                                     name):
    monkeypatch.setattr(func, "__name__", "renamed")
    with pytest.raises(TypeError) as info:
        func(1, 2, 3, 4, 5)
    assert str(info.value).startswith(f"{name}() takes ")
    assert korvex_entries(info.value)[0][0] == f"korvex.list.read.{name}"


@pytest.mark.parametrize("lam", [READ_LAMBDA, SPLIT_LAMBDA],
                         ids=["lambda", "lambda1"])
@pytest.mark.parametrize("keyword", [False, True], ids=["positional", "s="])
def test_lambdas_return_their_argument_itself(lam, keyword):
    for value in (object(), [1, 2], "text", None):
        before = sys.getrefcount(value)
        result = lam(s=value) if keyword else lam(value)
        assert result is value
        del result
        assert sys.getrefcount(value) == before


# --- attributes, defaults, code objects ------------------------------------

@pytest.mark.parametrize("func, name, qualname", [
    (read, "read", "read"),
    (read_split, "read_split", "read_split"),
    (READ_LAMBDA, "lambda", "read.<locals>.<lambda>"),
    (SPLIT_LAMBDA, "lambda1", "read_split.<locals>.<lambda>"),
])
def test_function_attributes(func, name, qualname):
    assert func.__name__ == name
    assert func.__qualname__ == qualname
    assert func.__module__ == "korvex.list.read"
    assert func.__doc__ is None
    assert func.__kwdefaults__ is None
    if func in (READ_LAMBDA, SPLIT_LAMBDA):
        assert func.__code__ is None
        assert func.__defaults__ is None


def test_namespace_binds_only_the_two_functions():
    public = {k for k in vars(module) if not k.startswith("__")}
    assert public == {"read", "read_split"}
    assert module.read is read and module.read_split is read_split


@pytest.mark.parametrize("func, constants, lambda_qualname", [
    (read, ("",), "read.<locals>.<lambda>"),
    (read_split, ("", " "), "read_split.<locals>.<lambda>"),
], ids=["read", "read_split"])
def test_defaults_tuple(func, constants, lambda_qualname):
    defaults = func.__defaults__
    assert defaults is func.__defaults__
    assert type(defaults) is tuple
    assert defaults[:-1] == constants
    assert all(type(value) is str for value in defaults[:-1])
    assert defaults[-1].__qualname__ == lambda_qualname
    assert func.__kwdefaults__ is None


def test_empty_prompt_default_is_one_shared_constant():
    assert read.__defaults__[0] is read_split.__defaults__[0]
    assert READ_LAMBDA is not SPLIT_LAMBDA


@pytest.mark.parametrize("func, expected", [
    (read, [("n", inspect.Parameter.empty), ("s", ""),
            ("func", READ_LAMBDA)]),
    (read_split, [("s", ""), ("spl", " "), ("func", SPLIT_LAMBDA)]),
], ids=["read", "read_split"])
def test_signature(func, expected):
    params = inspect.signature(func).parameters.values()
    assert [(p.name, p.default) for p in params] == expected
    assert {p.kind for p in params} == {POK}


@pytest.mark.parametrize("func, name, varnames, first_line", [
    (read, "read", ("n", "s", "func", "i"), 1),
    (read_split, "read_split", ("s", "spl", "func", "i"), 3),
], ids=["read", "read_split"])
def test_code_object(func, name, varnames, first_line):
    code = func.__code__
    assert code is func.__code__
    assert (code.co_name, code.co_qualname) == (name, name)
    assert code.co_varnames == varnames
    assert code.co_firstlineno == first_line
    assert (code.co_argcount, code.co_posonlyargcount,
            code.co_kwonlyargcount, code.co_nlocals) == (3, 0, 0, 4)
    assert code.co_flags == inspect.CO_OPTIMIZED | inspect.CO_NEWLOCALS == 3
    assert code.co_filename == CODE_FILE
    assert code.co_filename.split("\\") == ["src", "korvex", "list",
                                            "read.cpp"]
    assert (code.co_code, code.co_linetable,
            code.co_exceptiontable) == (b"", b"", b"")
    assert (code.co_consts, code.co_names, code.co_freevars,
            code.co_cellvars) == ((), (), (), ())


@pytest.mark.parametrize("func, replacement, call, text, expected", [
    (read, ("x", len), lambda: read(1), "abc\n", ["abc"]),
    (read_split, ("x", ",", len), lambda: read_split(), "a,b c\n",
     ["a,b", "c"]),
], ids=["read", "read_split"])
def test_assigned_defaults_change_only_the_attribute(stdin, capsys, func,
                                                     replacement, call, text,
                                                     expected):
    original = func.__defaults__
    with pytest.warns(RuntimeWarning, match="__defaults__"):
        func.__defaults__ = replacement
    try:
        assert func.__defaults__ is replacement
        stdin(text)
        assert call() == expected
        assert capsys.readouterr().out == ""
    finally:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            func.__defaults__ = original
    assert func.__defaults__ is original


# --- once per process: traceback entries of line 1 and line 3 -------------

ENTRY_SCRIPT = """
import json, sys
from korvex.list import read as module
calls = {
    "read": lambda: module.read(),
    "lambda": lambda: module.read.__defaults__[1](),
    "read_split": lambda: module.read_split(1, 2, 3, 4),
    "lambda1": lambda: module.read_split.__defaults__[2](1, 2),
}
out = []
for key in sys.argv[1:]:
    try:
        calls[key]()
    except TypeError as exc:
        tb = exc.__traceback__
        while tb.tb_next is not None:
            tb = tb.tb_next
        code = tb.tb_frame.f_code
        out.append([code.co_name, tb.tb_lineno, code.co_filename,
                    tb.tb_frame.f_globals is vars(module)])
print(json.dumps(out))
"""

EXPECTED_ENTRY = {
    "read": ["korvex.list.read.read", 1],
    "lambda": ["korvex.list.read.lambda", 1],
    "read_split": ["korvex.list.read.read_split", 3],
    "lambda1": ["korvex.list.read.lambda1", 3],
}


@pytest.mark.parametrize("order", [
    ["read", "lambda", "read"],
    ["lambda", "read", "lambda"],
    ["read_split", "lambda1", "read_split"],
    ["lambda1", "read_split", "lambda1"],
], ids="-".join)
def test_entries_sharing_a_line_keep_their_names_in_a_fresh_process(order):
    code, out, err = run_python(ENTRY_SCRIPT.replace(
        "sys.argv[1:]", repr(order)))
    assert code == 0, err
    assert json.loads(out) == [EXPECTED_ENTRY[key] + [TB_FILE, True]
                               for key in order]


# --- a real pipe ------------------------------------------------------------

def run_child(script, text):
    return subprocess.run([sys.executable, "-c", script], input=text,
                          capture_output=True, text=True, timeout=300)


def test_reads_from_a_real_pipe():
    script = ("from korvex.list.read import read, read_split\n"
              "print(read(2, '? ', int))\n"
              "print(read_split(func=int))\n"
              "print(read_split('> ', ','))\n")
    done = run_child(script, "1\n2\n3 4 5\nx,y\n")
    assert done.returncode == 0, done.stderr
    assert done.stdout == "? ? [1, 2]\n[3, 4, 5]\n> ['x', 'y']\n"


@pytest.mark.parametrize("call, text, written, entry", [
    ("read(2, '? ', int)", "1\n", "? ? ",
     f'File "{TB_FILE}", line 2, in korvex.list.read.read'),
    ("read_split('> ')", "", "> ",
     f'File "{TB_FILE}", line 4, in korvex.list.read.read_split'),
], ids=["read", "read_split"])
def test_end_of_a_real_pipe(call, text, written, entry):
    script = ("from korvex.list.read import read, read_split\n"
              f"print({call})\n")
    done = run_child(script, text)
    assert done.returncode == 1
    assert done.stdout == written
    lines = done.stderr.splitlines()
    assert lines[-1] == "EOFError: EOF when reading a line"
    assert lines[-2].strip() == entry
