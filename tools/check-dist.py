"""Checks the release files in DIST: the sdist and wheel of korvex and of
the writer distribution (./writer).

usage: check-dist.py DIST

The korvex sdist must hold the build files, the README, the LICENSE and
every source under src/ (C++ sources and headers, Python files, stubs,
py.typed, meson.build); the korvex wheel every extension module with its
stub beside it, the Python files and py.typed. Both distributions carry
the repository's LICENSE in both files and declare it the PEP 639 way.
korvex's wheel has a manylinux tag and requires the writer, whose version
is korvex's. Neither description (the README, what an index shows) has
images or links that are not absolute. Prints what is wrong and exits 1,
or prints a summary.
"""

import email.parser
import pathlib
import re
import sys
import tarfile
import tomllib
import zipfile

REPO = pathlib.Path(__file__).resolve().parent.parent
SOURCE_PATTERNS = ("*.cpp", "*.hpp", "*.py", "*.pyi", "py.typed", "meson.build")
LICENSE = (REPO / "LICENSE").read_bytes()


def sdist_files(path):
    """{name inside the top directory: bytes} of an sdist."""
    with tarfile.open(path) as archive:
        return {member.name.split("/", 1)[1]: archive.extractfile(member).read()
                for member in archive.getmembers()
                if member.isfile() and "/" in member.name}


def wheel_files(path):
    with zipfile.ZipFile(path) as archive:
        return {name: archive.read(name) for name in archive.namelist()}


def metadata(files):
    [name] = [n for n in files if n.endswith(".dist-info/METADATA")]
    return email.parser.BytesParser().parsebytes(files[name])


def bad_links(markdown):
    """Images, and links whose target is not an absolute http(s) URL, in
    markdown text outside code."""
    text = re.sub(r"^(```|~~~).*?^\1", "", markdown, flags=re.M | re.S)
    text = re.sub(r"`[^`\n]*`", "", text)
    found = re.findall(r"!\[[^\]]*\]\([^)]*\)|<img\b[^>]*>", text)
    targets = re.findall(r"\]\(\s*<?([^)\s>]*)", text)
    targets += re.findall(r"^\s*\[[^\]]+\]:\s*<?(\S+?)>?\s*$", text, re.M)
    targets += re.findall(r"<a\b[^>]*\bhref=[\"']([^\"']*)", text)
    return found + [t for t in targets if not re.match(r"https?://", t)]


def check_licence(label, files, license_name, meta=None):
    problems = []
    if files.get(license_name) != LICENSE:
        problems.append(f"{label}: {license_name} missing or not the "
                        "repository's LICENSE")
    if meta is not None:
        if meta["License-Expression"] != "MIT":
            problems.append(f"{label}: License-Expression is "
                            f"{meta['License-Expression']!r}, not 'MIT'")
        if meta.get_all("License-File") != ["LICENSE"]:
            problems.append(f"{label}: License-File is "
                            f"{meta.get_all('License-File')}")
    return problems


def main(dist):
    with open(REPO / "pyproject.toml", "rb") as stream:
        version = tomllib.load(stream)["project"]["version"]
    [sdist] = dist.glob("korvex-*.tar.gz")
    [wheel] = dist.glob("korvex-*.whl")
    [writer_sdist] = dist.glob("korvex_list_writer-*.tar.gz")
    [writer_wheel] = dist.glob("korvex_list_writer-*.whl")
    missing = []

    held = sdist_files(sdist)
    sources = sorted({str(p.relative_to(REPO))
                      for pattern in SOURCE_PATTERNS
                      for p in (REPO / "src").rglob(pattern)})
    needed = ["pyproject.toml", "meson.build", "meson.options", "README.md",
              "LICENSE", *sources]
    missing += [f"{sdist.name}: {name}" for name in needed if name not in held]
    missing += check_licence(sdist.name, held, "LICENSE")

    held = wheel_files(wheel)
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
    meta = metadata(held)
    missing += check_licence(wheel.name, held,
                             f"korvex-{version}.dist-info/licenses/LICENSE",
                             meta)
    if "manylinux_" not in wheel.name:
        missing.append(f"{wheel.name}: no manylinux tag")
    requires = f"korvex-list-writer=={version}"
    if requires not in (meta.get_all("Requires-Dist") or []):
        missing.append(f"{wheel.name}: does not require {requires}")
    if "Typing :: Typed" not in meta.get_all("Classifier"):
        missing.append(f"{wheel.name}: no Typing :: Typed classifier")
    missing += [f"{wheel.name}: description has {link}"
                for link in bad_links(meta.get_payload())]

    held = sdist_files(writer_sdist)
    missing += check_licence(writer_sdist.name, held, "LICENSE")
    held = wheel_files(writer_wheel)
    meta = metadata(held)
    if meta["Version"] != version:
        missing.append(f"{writer_wheel.name}: version {meta['Version']}, "
                       f"korvex's is {version}")
    missing += check_licence(
        writer_wheel.name, held,
        f"korvex_list_writer-{meta['Version']}.dist-info/licenses/LICENSE",
        meta)
    missing += [f"{writer_wheel.name}: description has {link}"
                for link in bad_links(meta.get_payload())]

    missing = list(dict.fromkeys(missing))
    if not modules or missing:
        print("missing:", *missing or ["any extension module source"],
              sep="\n  ")
        return 1
    print(f"{sdist.name}: {len(needed)} required files present")
    print(f"{wheel.name}: {len(modules)} extension modules with stubs, "
          f"py.typed, LICENSE, requires {requires}")
    print(f"{writer_sdist.name}, {writer_wheel.name}: LICENSE")
    return 0


if __name__ == "__main__":
    sys.exit(main(pathlib.Path(sys.argv[1])))
