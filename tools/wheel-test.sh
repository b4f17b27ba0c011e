#!/usr/bin/env bash
# Builds the sdist and, from it, the wheel (python -m build), checks what
# both hold (tools/check-dist.py), installs the wheel with its `test` extra
# and the writer distribution into a fresh virtual environment, and runs
# the test suite against it from a temporary directory, where the source
# tree cannot be imported. Everything lives in one temporary directory,
# removed at the end; .venv is not touched.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
python="$(tools/find-python.sh)"
work="$(mktemp -d "${TMPDIR:-/tmp}/korvex-wheel-test.XXXXXX")"
trap 'rm -rf "$work"' EXIT

"$python" -m venv "$work/build-venv"
"$work/build-venv/bin/python" -m pip install -q build
"$work/build-venv/bin/python" -m build --outdir "$work/dist" .
"$work/build-venv/bin/python" tools/check-dist.py "$work/dist"

"$python" -m venv "$work/venv"
wheel=("$work"/dist/korvex-*.whl)
"$work/venv/bin/python" -m pip install -q ./writer "${wheel[0]}[test]"
cd "$work"
PYTHONDONTWRITEBYTECODE=1 "$work/venv/bin/python" -m pytest -q -p no:cacheprovider --rootdir "$work" \
    "$repo/tests"
