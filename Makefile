# Set-up, build, demo and tests, all in a local .venv on CPython 3.13.
#
#   make demo   set up .venv, build and install korvex, run demo.py
#   make test   the same set-up plus the test dependencies, then pytest
#   make wheel-test   sdist and wheel via python -m build, the wheel tested
#                     in a fresh venv (tools/wheel-test.sh)

VENV := .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip

.PHONY: venv install demo test wheel-test clean

# Creates .venv with CPython 3.13 unless a working one is already there.
venv:
	@if ! $(PY) -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' >/dev/null 2>&1; then \
		python="$$(tools/find-python.sh)" || exit 1; \
		echo "creating $(VENV) with $$python"; \
		rm -rf $(VENV); \
		"$$python" -m venv $(VENV) || exit 1; \
		$(PIP) install --upgrade pip || exit 1; \
	fi

# The writer distribution first (when present), then korvex, always rebuilt
# from the current sources.
install: venv
	@if [ -d writer ]; then $(PIP) install ./writer; fi
	$(PIP) install --force-reinstall --no-deps .

demo: install
	printf '3\n10 20 30\n' | $(PY) demo.py

# The `test` extra of pyproject.toml, read with the venv's interpreter.
test: install
	$(PY) -c 'import tomllib; print(*tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["test"], sep="\n")' \
		| $(PIP) install -r /dev/stdin
	$(PY) -m pytest -q tests

# The benchmarks: bench/bench.py (pyperf) with the `bench` extra of
# pyproject.toml. Options go through ARGS, e.g.
#   make bench ARGS="--fast -o results.json --chart ratios.png"
.PHONY: bench bench-fast
bench: install
	$(PY) -c 'import tomllib; print(*tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["bench"], sep="\n")' \
		| $(PIP) install -r /dev/stdin
	$(PY) bench/bench.py $(ARGS)

# The same with pyperf's --fast (4 worker processes per benchmark here):
# a few minutes on two cores.
bench-fast:
	$(MAKE) bench ARGS="--fast $(ARGS)"

# Needs no .venv: the script finds CPython 3.13 itself.
wheel-test:
	tools/wheel-test.sh

clean:
	rm -rf $(VENV) build
