#!/usr/bin/env bash
# Prints the path of a CPython 3.13 interpreter that korvex can be built with.
#
# KORVEX_PYTHON, when set, is the only candidate. Otherwise the candidates
# are python3.13 on PATH, the usual system locations and every pyenv 3.13.x
# install. A candidate counts only if it actually runs and reports CPython
# 3.13; among those, one that has the C headers and ensurepip (what a venv
# and a build need) is preferred.
set -u

works() {
    [ -n "$1" ] && [ -x "$1" ] && "$1" -c '
import sys
sys.exit(0 if sys.implementation.name == "cpython"
         and sys.version_info[:2] == (3, 13) else 1)' >/dev/null 2>&1
}

complete() {
    "$1" -c '
import ensurepip, os, sys, sysconfig, venv
sys.exit(0 if os.path.exists(os.path.join(sysconfig.get_paths()["include"],
                                          "Python.h")) else 1)' >/dev/null 2>&1
}

fail() {
    echo "korvex needs CPython 3.13; $1 (set KORVEX_PYTHON to its path)" >&2
    exit 1
}

if [ -n "${KORVEX_PYTHON:-}" ]; then
    works "$KORVEX_PYTHON" || fail "KORVEX_PYTHON=$KORVEX_PYTHON does not run as one"
    echo "$KORVEX_PYTHON"
    exit 0
fi

candidates=()
if path=$(command -v python3.13 2>/dev/null); then
    candidates+=("$path")
fi
candidates+=(/usr/bin/python3.13 /usr/local/bin/python3.13)
roots=()
if command -v pyenv >/dev/null 2>&1 && root=$(pyenv root 2>/dev/null); then
    roots+=("$root")
fi
roots+=("${PYENV_ROOT:-}" "${HOME:-/root}/.pyenv" /root/.pyenv)
for root in "${roots[@]}"; do
    [ -n "$root" ] || continue
    # Newest patch release first.
    while IFS= read -r path; do
        candidates+=("$path")
    done < <(ls -d "$root"/versions/3.13*/bin/python3.13 2>/dev/null | sort -rV)
done

fallback=
for path in "${candidates[@]}"; do
    works "$path" || continue
    if complete "$path"; then
        echo "$path"
        exit 0
    fi
    [ -n "$fallback" ] || fallback=$path
done
if [ -n "$fallback" ]; then
    echo "$fallback"
    exit 0
fi
fail "none was found"
