#!/usr/bin/env bash
# Tests the release files as a user gets them: builds them into dist/
# (tools/dist.sh: both sdists and wheels, korvex's wheel repaired to a
# manylinux tag), installs korvex into a fresh virtual environment from
# dist/ alone (no index: the writer must come along as korvex's
# dependency), checks that every module imports and writes through the
# writer (tools/smoke.py), then adds the `test` dependency group from the
# index and runs the test suite from a temporary directory, where the
# source tree cannot be imported. The venv lives in a temporary directory, removed at
# the end; .venv is not touched.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
python="$(tools/find-python.sh)"
work="$(mktemp -d "${TMPDIR:-/tmp}/korvex-wheel-test.XXXXXX")"
trap 'rm -rf "$work"' EXIT

tools/dist.sh dist

"$python" -m venv "$work/venv"
# --group needs pip 25.1 or later.
"$work/venv/bin/python" -m pip install -q --disable-pip-version-check --upgrade 'pip>=25.1'
"$work/venv/bin/python" -m pip install -q --disable-pip-version-check --no-index --find-links "$repo/dist" korvex
cd "$work"
"$work/venv/bin/python" "$repo/tools/smoke.py"
"$work/venv/bin/python" -m pip install -q --disable-pip-version-check \
    --group "$repo/pyproject.toml:test"
PYTHONDONTWRITEBYTECODE=1 "$work/venv/bin/python" -m pytest -q -p no:cacheprovider --rootdir "$work" \
    "$repo/tests"
