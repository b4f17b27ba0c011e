"""Checks the sdist and the wheel that `python -m build` left in DIST.

usage: check-dist.py DIST

The sdist must hold the build files, the README and every source under
src/ (C++ sources and headers, Python files, stubs, py.typed, meson.build);
the wheel every extension module with its stub beside it, the Python files
and py.typed. Prints what is missing and exits 1, or prints a summary.
"""

import pathlib
import sys
import tarfile
import zipfile

REPO = pathlib.Path(__file__).resolve().parent.parent
SOURCE_PATTERNS = ("*.cpp", "*.hpp", "*.py", "*.pyi", "py.typed", "meson.build")


def main(dist):
    [sdist] = dist.glob("korvex-*.tar.gz")
    [wheel] = dist.glob("korvex-*.whl")
    missing = []

    with tarfile.open(sdist) as archive:
        top = archive.getnames()[0].split("/")[0]
        held = {name.removeprefix(top + "/") for name in archive.getnames()}
    sources = sorted({str(p.relative_to(REPO))
                      for pattern in SOURCE_PATTERNS
                      for p in (REPO / "src").rglob(pattern)})
    needed = ["pyproject.toml", "meson.build", "meson.options", "README.md",
              *sources]
    missing += [f"{sdist.name}: {name}" for name in needed if name not in held]

    with zipfile.ZipFile(wheel) as archive:
        held = set(archive.namelist())
    package = REPO / "src"
    modules = [p.relative_to(package).with_suffix("")
               for p in package.rglob("*.cpp") if p.parent.name != "frame"]
    for module in modules:
        if not any(name.startswith(f"{module}.cpython-")
                   and name.endswith(".so") for name in held):
            missing.append(f"{wheel.name}: extension module {module}")
        if f"{module}.pyi" not in held:
            missing.append(f"{wheel.name}: {module}.pyi")
    for p in package.rglob("*"):
        if p.suffix in (".py", ".pyi") or p.name == "py.typed":
            name = str(p.relative_to(package))
            if name not in held:
                missing.append(f"{wheel.name}: {name}")

    missing = list(dict.fromkeys(missing))
    if not modules or missing:
        print("missing:", *missing or ["any extension module source"],
              sep="\n  ")
        return 1
    print(f"{sdist.name}: {len(needed)} required files present")
    print(f"{wheel.name}: {len(modules)} extension modules with stubs, "
          "py.typed")
    return 0


if __name__ == "__main__":
    sys.exit(main(pathlib.Path(sys.argv[1])))
