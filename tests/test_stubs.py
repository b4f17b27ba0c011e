"""The type stubs against the installed modules (stubtest), against mypy
(correct and wrong uses, the README's example), their docstrings, and what
help() shows for korvex functions."""

import ast
import importlib
import importlib.metadata
import importlib.util
import io
import pathlib
import pydoc
import re
import subprocess
import sys

import pytest

import korvex
from conftest import PACKAGE, REPO, extension_paths, korvex_functions, module_name

HERE = pathlib.Path(__file__).resolve().parent
MODULES = ["korvex.list.read", "korvex.list.strutils.sundle",
           "korvex.list.ambrel", "korvex.list.count", "korvex.dict.write"]


def run(args, cwd):
    """Runs `python -m args...` in `cwd`; returns (returncode, output)."""
    done = subprocess.run([sys.executable, "-m", *args], cwd=cwd,
                          capture_output=True, text=True, timeout=600)
    return done.returncode, done.stdout + done.stderr


def stubtest(cwd, *options):
    return run(["mypy.stubtest", "--allowlist",
                str(HERE / "stubtest-allowlist.txt"), *options, *MODULES], cwd)


def test_every_extension_module_is_covered():
    assert sorted(module_name(p) for p in extension_paths()) == sorted(MODULES)


@pytest.mark.parametrize("path", extension_paths(),
                         ids=lambda p: p.name.split(".")[0])
def test_stub_installed_beside_module(path):
    assert path.with_name(path.name.split(".")[0] + ".pyi").is_file()


def test_py_typed_installed():
    recorded = {str(f) for f in importlib.metadata.files("korvex")}
    assert "korvex/py.typed" in recorded
    assert (PACKAGE / "py.typed").is_file()


def test_stubtest_passes(tmp_path):
    code, output = stubtest(tmp_path)
    assert code == 0, output


# A stub that drifts from the runtime must be caught: this proves stubtest
# gets real signatures from the korvex function type (it silently skips
# the comparison for callables inspect.signature cannot read).
@pytest.mark.parametrize("module, old, new, message", [
    ("korvex.list.count", "def elemcount(ls:", "def elemcount(seq:",
     'stub parameter "seq" differs from runtime parameter "ls"'),
    ("korvex.dict.write", 'write_klist(d: _SupportsItems, sep: str | None = " "',
     'write_klist(d: _SupportsItems, sep: str | None = ","',
     "runtime parameter \"sep\" has a default value of ' '"),
    ("korvex.list.ambrel", "*args: Any, ", "",
     'stub does not have *args parameter "args"'),
    ("korvex.list.strutils.sundle", "s: object) -> None",
     "s: object, t: object) -> None",
     'runtime does not have parameter "t"'),
])
def test_stubtest_catches_drift(tmp_path, module, old, new, message):
    stubs = tmp_path / "stubs"
    for name in MODULES:
        source = PACKAGE.parent / (name.replace(".", "/") + ".pyi")
        text = source.read_text()
        if name == module:
            assert old in text
            text = text.replace(old, new)  # in every overload
        target = stubs / source.relative_to(PACKAGE.parent)
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_text(text)
    for package in ("korvex", "korvex/list", "korvex/list/strutils",
                    "korvex/dict"):
        (stubs / package / "__init__.pyi").touch()
    config = tmp_path / "mypy.ini"
    config.write_text(f"[mypy]\nmypy_path = {stubs}\n")
    code, output = stubtest(tmp_path, "--mypy-config-file", str(config))
    assert code == 1
    assert f"error: {module}." in output
    assert message in output
    assert output.count("error: ") == 1, output


# Each wrong use of typed_usage.py's functions, with the mypy error code it
# must draw.
MISUSES = [
    ("elemcount(5)", "call-overload"),
    # Iterable, but without the count method every non-empty ls needs.
    ("elemcount({1, 2})", "call-overload"),
    ("elemcount(x for x in [1])", "call-overload"),
    # Elements become keys, so they must be hashable.
    ("elemcount([[1], [1]])", "type-var"),
    ('elemcount({"a": 1}.keys())', "call-overload"),
    ('keys: dict[str, int] = elemcount([1])', "list-item"),
    ('read("3")', "call-overload"),
    ('read(3, "> ", 1)', "call-overload"),
    ("read_split(spl=1)", "call-overload"),
    ("numbers: list[int] = read_split()", "assignment"),
    ("ambrel(5, str)", "arg-type"),
    ("ambrel([1], 2)", "arg-type"),
    ('write_klist([("a", 1)])', "arg-type"),
    ('write_vlist({"a": 1}, "", "", "")', "call-arg"),
    # What the writer that comes with korvex, print(), takes.
    ('write_klist({"a": 1}, sep=5)', "arg-type"),
    ('write_vlist({"a": 1}, end=b".")', "arg-type"),
    ('multi_str_sundle(",", "a", 5)', "arg-type"),
    ('str_sundle(",")', "call-arg"),
    ("korvex.__version__ + 1", "operator"),
]


@pytest.fixture(scope="module")
def mypy_report(tmp_path_factory):
    """One `mypy --strict` run over typed_usage.py and a file with one
    misuse per line; returns {(file name, line): [error codes]}."""
    work = tmp_path_factory.mktemp("mypy")
    usage = (HERE / "typed_usage.py").read_text()
    imports = "".join(line + "\n" for line in usage.splitlines()
                      if line.startswith(("import ", "from ")))
    (work / "typed_usage.py").write_text(usage)
    (work / "misuse.py").write_text(
        imports + "".join(code + "\n" for code, _ in MISUSES))
    _, output = run(["mypy", "--strict", "--cache-dir", str(work / "cache"),
                     "--hide-error-context", "--no-pretty",
                     "typed_usage.py", "misuse.py"], work)
    found = {}
    for match in re.finditer(r"^(\S+\.py):(\d+): error: .*\[([a-z-]+)\]$",
                             output, re.M):
        found.setdefault((match[1], int(match[2])), []).append(match[3])
    first = len(imports.splitlines()) + 1
    return found, first, output


def test_typed_usage_passes_strict(mypy_report):
    found, _, output = mypy_report
    assert [k for k in found if k[0] == "typed_usage.py"] == [], output
    assert "misuse.py" in output


@pytest.mark.parametrize("index, code", [
    pytest.param(i, code, id=use) for i, (use, code) in enumerate(MISUSES)])
def test_misuse_reported(mypy_report, index, code):
    found, first, output = mypy_report
    assert found.get(("misuse.py", first + index)) == [code], output


@pytest.mark.parametrize("path", extension_paths(),
                         ids=lambda p: p.name.split(".")[0])
def test_every_signature_has_a_docstring(path):
    """Editors show the docstring of the overload that matches, so every
    overload carries one."""
    stub = path.with_name(path.name.split(".")[0] + ".pyi")
    functions = [node for node in ast.parse(stub.read_text()).body
                 if isinstance(node, ast.FunctionDef)]
    assert functions
    assert [f.name for f in functions if not ast.get_docstring(f)] == []


def test_readme_typing_example(tmp_path):
    """The README's type-checking example, run: its file, and exactly what
    `mypy --strict` prints for it."""
    readme = (REPO / "README.md").read_text()
    source, shown = re.search(
        r"^\$ cat example\.py\n(.*?)^\$ mypy --strict example\.py\n(.*?)^```",
        readme, re.M | re.S).groups()
    (tmp_path / "example.py").write_text(source)
    _, output = run(["mypy", "--strict", "--cache-dir", str(tmp_path / "cache"),
                     "example.py"], tmp_path)
    assert output == shown


def load_version_tool():
    spec = importlib.util.spec_from_file_location(
        "version_tool", REPO / "tools" / "version.py")
    tool = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(tool)
    return tool


def test_one_version_everywhere():
    """korvex, its requirement of the writer and the writer carry one
    version: the installed metadata, and every field tools/version.py
    writes."""
    version = importlib.metadata.version("korvex")
    assert korvex.__version__ == version
    assert importlib.metadata.version("korvex-list-writer") == version
    assert importlib.metadata.requires("korvex") == [
        f"korvex-list-writer=={version}"]
    tool = load_version_tool()
    written = [re.findall(pattern, (REPO / name).read_text(), re.M)
               for name, pattern in tool.FIELDS]
    assert written == [[version]] * len(tool.FIELDS)


def flatten(text):
    """pydoc's text with long signatures unwrapped onto one line."""
    text = re.sub(r"\(\n\s+", "(", text)
    text = re.sub(r",\n\s+", ", ", text)
    return re.sub(r",?\n\s*\)", ")", text)


SIGNATURES = {
    "read": r"read\(n, s='', func=<korvex function read\.<locals>\.<lambda>"
            r" at 0x[0-9a-f]+>\)",
    "read_split": r"read_split\(s='', spl=' ', func=<korvex function "
                  r"read_split\.<locals>\.<lambda> at 0x[0-9a-f]+>\)",
    "multi_str_sundle": r"multi_str_sundle\(sep, \*args\)",
    "str_sundle": r"str_sundle\(sep, s\)",
    "ambrel": r"ambrel\(ls, func, \*args, \*\*kwargs\)",
    "elemcount": r"elemcount\(ls\)",
    "write_klist": r"write_klist\(d, sep=' ', end='\\n'\)",
    "write_vlist": r"write_vlist\(d, sep=' ', end='\\n'\)",
}


@pytest.mark.parametrize("module, name, function", [
    pytest.param(m, name, f, id=name) for m, name, f in korvex_functions()])
def test_help_shows_name_and_parameters(module, name, function):
    out = io.StringIO()
    pydoc.Helper(output=out).help(function)
    shown = flatten(out.getvalue())
    assert f"in module {module.__name__}" in shown
    assert re.search(r"^" + SIGNATURES[name] + r"$", shown, re.M), shown
    listing = flatten(pydoc.render_doc(module, renderer=pydoc.plaintext))
    assert re.search(r"^    " + SIGNATURES[name] + r"$", listing, re.M), \
        listing
