"""The version of korvex and of the writer distribution, which are always
released together at the same version.

usage: version.py            prints the version
       version.py X.Y.Z      sets it

The version is set here and nowhere else. Three fields have to spell it
out, because the build backends read them literally: `version` and the
writer requirement (`korvex-list-writer==X.Y.Z`) in pyproject.toml, and
`version` in writer/pyproject.toml; the README shows it in an example.
Everything else derives it: the wheel metadata from those fields,
`korvex.__version__` from the installed metadata. tests/test_stubs.py
checks that all four agree with the installed version.
"""

import pathlib
import re
import sys
import tomllib

REPO = pathlib.Path(__file__).resolve().parent.parent
# (file, pattern whose one group is the version); each must match once.
FIELDS = [
    ("pyproject.toml", r'^version = "([^"]+)"$'),
    ("pyproject.toml", r'"korvex-list-writer==([^"]+)"'),
    ("writer/pyproject.toml", r'^version = "([^"]+)"$'),
    ("README.md", r"^>>> korvex\.__version__\n'([^']+)'$"),
]
VERSION = re.compile(r"\d+\.\d+\.\d+((a|b|rc)\d+)?")


def current():
    with open(REPO / "pyproject.toml", "rb") as stream:
        return tomllib.load(stream)["project"]["version"]


def set_version(version):
    texts = {}
    for name, pattern in FIELDS:
        text = texts.get(name) or (REPO / name).read_text()
        found = list(re.finditer(pattern, text, re.M))
        if len(found) != 1:
            sys.exit(f"{name}: {len(found)} matches of {pattern!r}, not 1")
        start, end = found[0].span(1)
        texts[name] = text[:start] + version + text[end:]
    for name, text in texts.items():
        (REPO / name).write_text(text)


def main(args):
    if not args:
        print(current())
        return 0
    if len(args) != 1 or not VERSION.fullmatch(args[0]):
        sys.exit(__doc__.split("\n\n")[1])
    set_version(args[0])
    print(f"{current()} in", *sorted({name for name, _ in FIELDS}))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
