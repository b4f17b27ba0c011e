"""One interpreter per process: a korvex module loads into the first
interpreter that imports it; any other gets ImportError, an isolated
subinterpreter always. Each case runs in a fresh process."""

import pytest

from conftest import run_python

MODULES = ["korvex.list.read", "korvex.list.strutils.sundle",
           "korvex.list.ambrel", "korvex.list.count", "korvex.dict.write"]

# Prints what importing `name` in a new interpreter made as `config` says:
# its ImportError or "imported".
IN_SUBINTERPRETER = """
import _interpreters, _testcapi, sys
name, config = {name!r}, {config!r}
if config == "main first":
    __import__(name)
if config == "isolated":
    # What the interpreters module makes: its own GIL, no legacy modules.
    error = _interpreters.exec(_interpreters.create(), "import " + name)
    print(error.formatted if error else "imported")
    sys.exit(0)
sys.exit(_testcapi.run_in_subinterp(
    "try:\\n"
    "    import " + name + "\\n"
    "except ImportError as error:\\n"
    "    print(type(error).__name__ + ':', error, flush=True)\\n"
    "else:\\n"
    "    print('imported', flush=True)\\n"))
"""


@pytest.mark.parametrize("name", MODULES)
@pytest.mark.parametrize("config, expected", [
    ("isolated", "ImportError: module {name} does not support loading in "
                 "subinterpreters"),
    ("main first", "ImportError: Interpreter change detected - this module "
                   "can only be loaded into one interpreter per process."),
    # The first interpreter to import it may be a legacy subinterpreter.
    ("legacy first", "imported"),
], ids=["isolated", "main first", "legacy first"])
def test_second_interpreter(name, config, expected):
    code, out, err = run_python(IN_SUBINTERPRETER.format(name=name,
                                                         config=config))
    assert (code, out.strip()) == (0, expected.format(name=name)), err
