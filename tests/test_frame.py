"""The shared frame, seen through korvex.list.count.elemcount and, where it
is cheap, through every function of every installed module."""

import gc
import inspect
import json
import os
import pathlib
import pickle
import shutil
import subprocess
import sys
import sysconfig
import warnings
import weakref

import pytest

import korvex.list.count as count_module
from conftest import (REPO, Unequal, entries, innermost, korvex_entries,
                      korvex_functions, one_korvex_entry, run_python)
from korvex.list.count import elemcount

FUNCTIONS = [pytest.param(m, name, f, id=f"{m.__name__}.{name}")
             for m, name, f in korvex_functions()]
WITHOUT_VARKW = [p for p in FUNCTIONS
                 if not p.values[2].__code__.co_flags & inspect.CO_VARKEYWORDS]
ENTRY_NAME = "korvex.list.count.elemcount"
ENTRY_FILE = r"src\\korvex\\list\\count.cpp"
COUNT_ERROR = "elemcount() takes exactly 1 positional argument ({} given)"


@pytest.fixture
def restore():
    """Puts back elemcount's writable attributes, and the contents of its
    `__dict__`, after a test changes them."""
    saved = {name: getattr(elemcount, name) for name in (
        "__name__", "__qualname__", "__module__", "__doc__", "__dict__",
        "__defaults__", "__kwdefaults__", "__annotations__")}
    contents = dict(elemcount.__dict__)
    yield elemcount
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        for name, value in saved.items():
            setattr(elemcount, name, value)
    elemcount.__dict__.clear()
    elemcount.__dict__.update(contents)


def assert_binding_entry(exc):
    """A failure inside elemcount carries exactly one korvex entry, the
    innermost one, at its def line."""
    assert korvex_entries(exc) == 1
    name, line, filename, globals_ = innermost(exc)
    assert (name, line, filename) == (ENTRY_NAME, 1, ENTRY_FILE)
    assert globals_ is count_module.__dict__


# --- every function -----------------------------------------------------------

@pytest.mark.parametrize("module,key,function", FUNCTIONS)
def test_every_function_is_registered_like_a_python_function(
        module, key, function):
    assert function.__name__ is sys.intern(key)
    assert function.__module__ == module.__name__
    assert function.__globals__ is vars(module)
    assert function.__closure__ is None
    assert function._is_coroutine is False
    assert function.__reduce__() == function.__qualname__
    assert pickle.loads(pickle.dumps(function)) is function
    assert weakref.ref(function)() is function
    assert function.__qualname__ in repr(function)
    assert hex(id(function)) in repr(function)
    assert function.__code__.co_name == key
    assert function.__code__.co_filename.startswith("src\\korvex\\")
    assert "\\\\" not in function.__code__.co_filename
    assert gc.is_tracked(function)


@pytest.mark.parametrize("module,key,function", WITHOUT_VARKW)
def test_every_binding_failure_has_one_entry_at_the_def_line(
        module, key, function):
    with pytest.raises(TypeError) as info:
        function(**{"no such parameter": 1})
    assert str(info.value).startswith(f"{key}() ")
    assert korvex_entries(info.value) == 1
    name, line, filename, globals_ = innermost(info.value)
    assert name == f"{module.__name__}.{key}"
    assert line == function.__code__.co_firstlineno
    assert filename == function.__code__.co_filename.replace("\\", "\\\\")
    assert globals_ is vars(module)


# --- attributes ---------------------------------------------------------------

@pytest.mark.parametrize("value", ["renamed", type("Name", (str,), {})("sub")])
def test_name_accepts_str_and_messages_keep_the_fixed_name(restore, value):
    elemcount.__name__ = value
    assert elemcount.__name__ is value
    with pytest.raises(TypeError) as info:
        elemcount()
    assert str(info.value) == COUNT_ERROR.format(0)
    assert innermost(info.value)[0] == ENTRY_NAME


@pytest.mark.parametrize("attribute", ["__name__", "__qualname__"])
@pytest.mark.parametrize("value", [None, 1, b"elemcount"])
def test_name_and_qualname_reject_non_str(restore, attribute, value):
    before = getattr(elemcount, attribute)
    with pytest.raises(TypeError,
                       match=f"^{attribute} must be set to a string object$"):
        setattr(elemcount, attribute, value)
    with pytest.raises(TypeError,
                       match=f"^{attribute} must be set to a string object$"):
        delattr(elemcount, attribute)
    assert getattr(elemcount, attribute) is before


def test_qualname_assignment_shows_in_repr_and_reduce(restore):
    assert elemcount.__qualname__ == "elemcount"
    elemcount.__qualname__ = "Other.elemcount"
    assert elemcount.__qualname__ == "Other.elemcount"
    assert "Other.elemcount" in repr(elemcount)
    assert elemcount.__reduce__() == "Other.elemcount"


@pytest.mark.parametrize("attribute,initial", [
    ("__module__", "korvex.list.count"),
    ("__doc__", None),
])
@pytest.mark.parametrize("value", [42, None, "text", (1, 2)])
def test_module_and_doc_store_anything_and_delete_to_none(
        restore, attribute, initial, value):
    assert getattr(elemcount, attribute) == initial
    setattr(elemcount, attribute, value)
    assert getattr(elemcount, attribute) is value
    delattr(elemcount, attribute)
    assert getattr(elemcount, attribute) is None


def test_module_attribute_leaves_the_type_and_the_dict_alone(restore):
    elemcount.__module__ = "elsewhere"
    assert type(elemcount).__module__ == "korvex"
    assert type(elemcount).__qualname__ == "function"
    assert "__module__" not in elemcount.__dict__


def test_dict_holds_attributes(restore):
    first = elemcount.__dict__
    assert first == {} and elemcount.__dict__ is first
    elemcount.marker = 17
    assert first == {"marker": 17}
    assert elemcount.func_dict is first
    replacement = type("D", (dict,), {})(other=5)
    elemcount.__dict__ = replacement
    assert elemcount.__dict__ is replacement
    assert elemcount.other == 5
    assert not hasattr(elemcount, "marker")


@pytest.mark.parametrize("action,message", [
    (lambda f: setattr(f, "__dict__", [("a", 1)]),
     "setting function's dictionary to a non-dict"),
    (lambda f: setattr(f, "__dict__", None),
     "setting function's dictionary to a non-dict"),
    (lambda f: delattr(f, "__dict__"),
     "function's dictionary may not be deleted"),
])
def test_dict_rejects_non_dict_and_deletion(restore, action, message):
    elemcount.marker = 1
    with pytest.raises(TypeError) as info:
        action(elemcount)
    assert str(info.value) == message
    assert elemcount.__dict__ == {"marker": 1}


@pytest.mark.parametrize("attribute", [
    "__globals__", "func_globals", "__closure__", "func_closure", "__code__",
    "func_code", "_is_coroutine",
])
def test_read_only_attributes(attribute):
    before = getattr(elemcount, attribute)
    with pytest.raises(AttributeError):
        setattr(elemcount, attribute, before)
    with pytest.raises(AttributeError):
        delattr(elemcount, attribute)
    assert getattr(elemcount, attribute) is before


@pytest.mark.parametrize("alias,attribute", [
    ("func_name", "__name__"),
    ("func_doc", "__doc__"),
    ("func_dict", "__dict__"),
    ("func_globals", "__globals__"),
    ("func_closure", "__closure__"),
    ("func_code", "__code__"),
    ("func_defaults", "__defaults__"),
])
def test_aliases_read_the_same_object(alias, attribute):
    assert getattr(elemcount, alias) is getattr(elemcount, attribute)


@pytest.mark.parametrize("alias,attribute,value", [
    ("func_name", "__name__", "aliased"),
    ("func_doc", "__doc__", "documented"),
    ("func_dict", "__dict__", {"k": 1}),
])
def test_aliases_write_the_same_slot(restore, alias, attribute, value):
    setattr(elemcount, alias, value)
    assert getattr(elemcount, attribute) is value


@pytest.mark.parametrize("attribute,value", [
    ("__defaults__", ([9],)),
    ("func_defaults", ()),
    ("__kwdefaults__", {"ls": [9]}),
])
def test_defaults_assignment_warns_and_changes_only_the_attribute(
        restore, attribute, value):
    with pytest.warns(RuntimeWarning) as record:
        setattr(elemcount, attribute, value)
    assert len(record) == 1
    assert getattr(elemcount, attribute) is value
    # Calls keep the defaults captured at import: there are none.
    with pytest.raises(TypeError, match=r"\(0 given\)"):
        elemcount()


@pytest.mark.parametrize("attribute,value", [
    ("__defaults__", (1,)),
    ("__kwdefaults__", {"ls": 1}),
])
def test_defaults_assignment_fails_when_warnings_are_errors(
        restore, attribute, value):
    with warnings.catch_warnings():
        warnings.simplefilter("error", RuntimeWarning)
        with pytest.raises(RuntimeWarning):
            setattr(elemcount, attribute, value)
    assert getattr(elemcount, attribute) is None


@pytest.mark.parametrize("attribute,value,message", [
    ("__defaults__", [1], "__defaults__ must be set to a tuple object"),
    ("__defaults__", {"ls": 1}, "__defaults__ must be set to a tuple object"),
    ("__kwdefaults__", (1,), "__kwdefaults__ must be set to a dict object"),
    ("__kwdefaults__", "ls", "__kwdefaults__ must be set to a dict object"),
])
def test_defaults_reject_other_types(restore, attribute, value, message):
    with warnings.catch_warnings():
        warnings.simplefilter("error", RuntimeWarning)
        with pytest.raises(TypeError) as info:
            setattr(elemcount, attribute, value)
    assert str(info.value) == message
    assert getattr(elemcount, attribute) is None


def test_annotations_are_made_once_and_replaceable(restore):
    first = elemcount.__annotations__
    assert first == {} and elemcount.__annotations__ is first
    mine = {"ls": list}
    elemcount.__annotations__ = mine
    assert elemcount.__annotations__ is mine


@pytest.mark.parametrize("clear", [
    lambda f: setattr(f, "__annotations__", None),
    lambda f: delattr(f, "__annotations__"),
], ids=["none", "delete"])
def test_annotations_clear_to_a_new_empty_dict(restore, clear):
    old = {"ls": list}
    elemcount.__annotations__ = old
    clear(elemcount)
    new = elemcount.__annotations__
    assert new == {} and new is not old
    assert elemcount.__annotations__ is new


@pytest.mark.parametrize("value", [[("ls", list)], "ls", 0])
def test_annotations_reject_other_types(restore, value):
    with pytest.raises(TypeError,
                       match="^__annotations__ must be set to a dict object$"):
        elemcount.__annotations__ = value


def test_class_attribute_binds_the_instance_as_ls():
    class Counted(list):
        count_all = elemcount

    counted = Counted([2, 1, 2])
    method = counted.count_all
    assert method.__self__ is counted and method.__func__ is elemcount
    assert method() == {2: 2, 1: 1}
    assert Counted.count_all is elemcount
    assert Counted.__dict__["count_all"].__get__(None, Counted) is elemcount


# --- code object and signature ------------------------------------------------

def test_signature_and_code_object():
    assert str(inspect.signature(elemcount)) == "(ls)"
    code = elemcount.__code__
    assert code.co_varnames == ("ls", "vis", "l", "v")
    assert (code.co_argcount, code.co_posonlyargcount, code.co_kwonlyargcount,
            code.co_nlocals, code.co_flags, code.co_firstlineno) == \
        (1, 0, 0, 4, 3, 1)
    assert code.co_filename == "src\\korvex\\list\\count.cpp"
    assert code.co_name == "elemcount"
    assert elemcount.__defaults__ is None
    assert elemcount.__kwdefaults__ is None


# --- binding ------------------------------------------------------------------

def direct(args, kwargs):
    return elemcount(*args, **kwargs)


def classic(args, kwargs):
    return type(elemcount).__call__(elemcount, *args, **kwargs)


BINDING_FAILURES = [
    ((), {}, COUNT_ERROR.format(0)),
    (([1], [2]), {}, COUNT_ERROR.format(2)),
    (([1], [2], [3]), {}, COUNT_ERROR.format(3)),
    ((), {"lst": [1]}, COUNT_ERROR.format(0)),
    ((), {"x": [1]}, COUNT_ERROR.format(0)),
    ((), {"x": [1], "y": 2}, COUNT_ERROR.format(0)),
    (([1],), {"x": 2},
     "elemcount() got an unexpected keyword argument 'x'"),
    (([1],), {"ls": [2]},
     "elemcount() got multiple values for keyword argument 'ls'"),
    (([1], [2]), {"ls": [3]}, COUNT_ERROR.format(2)),
    (([1], [2]), {"x": 3}, COUNT_ERROR.format(2)),
]


@pytest.mark.parametrize("style", [direct, classic])
@pytest.mark.parametrize("args,kwargs,message", BINDING_FAILURES)
def test_binding_failures(style, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        style(args, kwargs)
    assert str(info.value) == message
    assert_binding_entry(info.value)


class Key(str):
    pass


class BadKey(str):
    __hash__ = str.__hash__

    def __eq__(self, other):
        raise LookupError("no comparing")


@pytest.mark.parametrize("style", [direct, classic])
@pytest.mark.parametrize("args,kwargs", [
    (([2, 1, 2],), {}),
    ((), {"ls": [2, 1, 2]}),
    ((), {Key("ls"): [2, 1, 2]}),
])
def test_binding_successes(style, args, kwargs):
    assert style(args, kwargs) == {2: 2, 1: 1}


@pytest.mark.parametrize("style", [direct, classic])
def test_keyword_whose_comparison_raises(style):
    with pytest.raises(LookupError, match="no comparing") as info:
        style((), {BadKey("ls"): [1]})
    assert korvex_entries(info.value) == 1
    name, line, filename, frame = one_korvex_entry(info.value, ENTRY_FILE)
    assert (name, line) == (ENTRY_NAME, 1)
    # The comparison's own frame stays below the korvex entry.
    assert entries(info.value)[-1][0] == "__eq__"


@pytest.mark.parametrize("style", [direct, classic])
@pytest.mark.parametrize("args", [(), ([1],)])
def test_non_string_keywords_are_refused_before_binding(style, args):
    with pytest.raises(TypeError, match="^keywords must be strings$") as info:
        style(args, {1: 2})
    assert korvex_entries(info.value) == 0


# --- traceback entries of callbacks ------------------------------------------

class CountFails(list):
    def count(self, value):
        raise KeyError("from count")


@pytest.mark.parametrize("argument,error,line,callback", [
    ([Unequal(), Unequal()], ArithmeticError, 4, "__eq__"),
    (CountFails([1, 2]), KeyError, 6, "count"),
])
def test_callback_exception_gains_one_entry(argument, error, line, callback):
    with pytest.raises(error) as info:
        elemcount(argument)
    names = [e[0] for e in entries(info.value)]
    assert names[-2:] == [ENTRY_NAME, callback]
    assert korvex_entries(info.value) == 1
    name, entry_line, filename, frame = one_korvex_entry(info.value,
                                                         ENTRY_FILE)
    assert entry_line == line
    assert frame.f_lineno == line
    assert frame.f_globals is count_module.__dict__


# --- GC and module life -------------------------------------------------------

def test_function_in_a_cycle_through_its_dict_is_collected():
    code = """
import gc, weakref
import korvex.list.count as m
f = m.__dict__.pop("elemcount")
f.__dict__["self"] = f
probe = weakref.ref(f)
del f
gc.collect()
print(probe() is None)
"""
    assert run_python(code) == (0, "True\n", "")


def test_module_namespace():
    import builtins
    assert count_module.__test__ == {}
    assert count_module.__builtins__ is builtins
    assert count_module.__name__ == "korvex.list.count"
    assert count_module.__package__ == "korvex.list"
    assert count_module.__file__ == count_module.__spec__.origin
    assert not hasattr(count_module, "__path__")


def test_reimport_returns_the_same_module():
    code = """
import sys
import korvex.list.count as first
first.kept = "survives"
del sys.modules["korvex.list.count"]
import korvex.list.count as second
print(second is first, second.kept, second.elemcount is first.elemcount)
"""
    assert run_python(code) == (0, "True survives True\n", "")


# The loader finds PyInit_<last name component>, so the other name must end
# in "count".
def test_loading_under_another_name():
    code = """
import importlib.util, sys
origin = importlib.util.find_spec("korvex.list.count").origin
spec = importlib.util.spec_from_file_location("elsewhere.count", origin)
module = importlib.util.module_from_spec(spec)
spec.loader.exec_module(module)
print(module.__name__)
print(sys.modules["korvex.list.count"] is module)
print(module.elemcount.__module__)
import korvex.list.count as imported
print(imported is module, module.elemcount([1, 1]))
"""
    assert run_python(code) == (
        0, "elsewhere.count\nTrue\nkorvex.list.count\nTrue {1: 2}\n", "")


def test_loading_under_another_name_keeps_a_registered_module():
    code = """
import importlib.util, sys
origin = importlib.util.find_spec("korvex.list.count").origin
placeholder = object()
sys.modules["korvex.list.count"] = placeholder
spec = importlib.util.spec_from_file_location("elsewhere.count", origin)
module = importlib.util.module_from_spec(spec)
spec.loader.exec_module(module)
print(sys.modules["korvex.list.count"] is placeholder)
"""
    assert run_python(code) == (0, "True\n", "")


CREATE = """
import importlib.machinery, importlib.util, types
found = importlib.util.find_spec("korvex.list.count")
loader = found.loader
spec = importlib.machinery.ModuleSpec("korvex.list.count", loader,
                                      origin=found.origin)
{change}
module = loader.create_module(spec)
shown = {{}}
for key in ("__loader__", "__file__", "__package__", "__path__"):
    if key in vars(module):
        value = vars(module)[key]
        shown[key] = ("loader" if value is loader else
                      "origin" if value == found.origin else value)
print(module.__name__, shown)
"""


@pytest.mark.parametrize("change,attributes", [
    ("", {"__loader__": "loader", "__file__": "origin",
          "__package__": "korvex.list"}),
    ("spec.submodule_search_locations = ['here']",
     {"__loader__": "loader", "__file__": "origin",
      "__package__": "korvex.list.count", "__path__": ["here"]}),
    ("spec.submodule_search_locations = None",
     {"__loader__": "loader", "__file__": "origin",
      "__package__": "korvex.list"}),
    ("spec.loader = None",
     {"__loader__": None, "__file__": "origin",
      "__package__": "korvex.list"}),
    ("spec = types.SimpleNamespace(name=spec.name, origin=spec.origin)",
     {"__loader__": None, "__file__": "origin", "__package__": None}),
])
def test_create_copies_the_spec_attributes_it_finds(change, attributes):
    status, out, err = run_python(CREATE.format(change=change))
    assert (status, err) == (0, "")
    assert out == f"korvex.list.count {attributes!r}\n"


def test_exec_of_a_second_module_object_is_refused():
    code = """
import importlib.util
spec = importlib.util.find_spec("korvex.list.count")
second = spec.loader.create_module(spec)
import korvex.list.count as first
assert second is not first
try:
    spec.loader.exec_module(second)
except RuntimeError as exc:
    print(exc)
"""
    assert run_python(code) == (
        0, "Module 'count' has already been imported. "
        "Re-initialisation is not supported.\n", "")


# --- runtime version check ----------------------------------------------------

def build_claiming(version, build_dir):
    """Builds the count module from the source tree with `built_for` set;
    returns the path of the built file."""
    if not (REPO / "meson.build").is_file() or \
            not (REPO / "src" / "frame").is_dir():
        pytest.skip(f"no source tree at {REPO} to build from")
    # The test extra's meson and ninja, installed beside this interpreter,
    # never whatever else is on PATH; meson finds that ninja through PATH.
    bin_dir = pathlib.Path(sys.executable).parent
    env = dict(os.environ, PATH=f"{bin_dir}{os.pathsep}{os.environ['PATH']}")
    meson, ninja = bin_dir / "meson", bin_dir / "ninja"
    assert meson.is_file() and ninja.is_file(), \
        f"meson or ninja is missing from {bin_dir}: install the test extra"

    def run(*command):
        done = subprocess.run(command, env=env, capture_output=True,
                              text=True)
        assert done.returncode == 0, done.stdout + done.stderr
        return done.stdout

    run(meson, "setup", str(build_dir), str(REPO), f"-Dbuilt_for={version}")
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    targets = json.loads(run(meson, "introspect", str(build_dir), "--targets"))
    path, = [pathlib.Path(name) for target in targets
             for name in target["filename"]
             if pathlib.Path(name).name == "count" + suffix]
    run(ninja, "-C", str(build_dir),
        str(path.relative_to(build_dir.resolve())))
    return path


LOAD = """
import importlib.util, sys, warnings
spec = importlib.util.spec_from_file_location("korvex.list.count", {path!r})

def load():
    module = importlib.util.module_from_spec(spec)
    try:
        spec.loader.exec_module(module)
    except Exception as exc:
        print("failed:", type(exc).__name__, exc)
    else:
        print(module.elemcount([1, 1]), sys.modules["korvex.list.count"] is module)

if sys.warnoptions:
    load()
    # A failed exec leaves nothing behind: the next one starts afresh.
    warnings.simplefilter("ignore")
    load()
else:
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        load()
    for warning in caught:
        print(warning.category.__name__, warning.message)
"""
MISMATCH = ("compile time Python version 3.14 of module 'korvex.list.count' "
            "does not match runtime version 3.13")


def test_runtime_version_mismatch_warns(tmp_path):
    path = build_claiming("3.14", tmp_path / "build")
    assert run_python(LOAD.format(path=str(path))) == (
        0, f"{{1: 2}} True\nRuntimeWarning {MISMATCH}\n", "")
    assert run_python(LOAD.format(path=str(path)),
                      "-W", "error::RuntimeWarning") == (
        0, f"failed: RuntimeWarning {MISMATCH}\n{{1: 2}} True\n", "")


@pytest.mark.skipif(not (REPO / "src" / "frame").is_dir() or
                    shutil.which("g++") is None,
                    reason="needs the source tree and g++")
@pytest.mark.parametrize("change,reason", [
    (None, None),
    (("{s_sep, s_s};", "{s_sep, s_s, s_a, s_ls, s_args};"),
     "more parameters than max_params"),
    (("{s_split, \"split\", true}", "{s_sep, \"split\", true}"),
     "string row not at its own index"),
])
def test_a_malformed_table_fails_to_build(tmp_path, change, reason):
    source = (REPO / "src/korvex/list/strutils/sundle.cpp").read_text()
    if change is not None:
        assert change[0] in source
        source = source.replace(change[0], change[1])
    (tmp_path / "module.cpp").write_text(source)
    done = subprocess.run(
        ["g++", "-std=c++20", "-fsyntax-only", "-I", str(REPO / "src/frame"),
         "-I", sysconfig.get_paths()["include"], str(tmp_path / "module.cpp")],
        capture_output=True, text=True)
    assert (done.returncode == 0) == (reason is None), done.stderr
    assert reason is None or reason in done.stderr
